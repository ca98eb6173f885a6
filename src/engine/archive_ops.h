#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Archives are handled by running the system's command-line tools; this module holds what the archive
// code shares: the formats that can be created, the suffixes that can be read and which program reads
// each, and whether those programs are installed.
namespace archive_ops {

// Formats the pack dialog can create. The values are stored (by label) in the settings.
enum class Format : int32_t {
    TarGz = 0,
    TarXz = 1,
    TarBz2 = 2,
    TarZst = 3,
    TarLz4 = 4,
    Tar = 5,
    Zip = 6,
    SevenZ = 7,
};

// In the order the pack dialog offers them.
inline constexpr std::array<Format, 8> kAllFormats = {Format::TarGz,  Format::TarXz,  Format::TarBz2,
                                                      Format::TarZst, Format::TarLz4, Format::Tar,
                                                      Format::Zip,    Format::SevenZ};

// ".tar.gz" and "tar.gz" and so on; a value outside the enumeration counts as TarGz. Static strings.
const char* extension_for(Format format);
const char* label_for(Format format);

// True when `label` is exactly (case-sensitively) the label of a format; stores it in *out when given.
bool format_from_label(std::string_view label, Format* out = nullptr);

// True when the name ends (in any case) with a suffix this module can read.
bool is_archive_name(std::string_view name);

// True when the name has a readable suffix and the programs needed to read it run now. Not cached, so a
// tool installed while the program runs is seen here.
bool can_unpack(std::string_view name);

// True when the programs needed to create the format are installed; probed once per format.
bool format_available(Format format);

// The formats of kAllFormats, in that order, that can be created; computed once.
const std::vector<Format>& available_formats();

// ---- Shared with listing, packing and unpacking ----

// One readable file-name suffix: the program that reads it (null for none), a program tar must be told
// to use (null when tar knows the compression itself), and whether it is a single compressed file
// rather than an archive.
struct SuffixReader {
    const char* suffix;
    const char* reader;
    const char* tar_prog;
    bool plain;
};

// Whether the program can be run: started from PATH with its output discarded, it exits normally with
// any status but 126 and 127 (a program that rejects the probe argument still runs).
bool runs_ok(const std::vector<std::string>& argv);

// The 7-Zip program to use ("7zz", "7z" or "7za"), probed once; nothing when none runs.
std::optional<std::string> sevenzip_tool();

// The first readable suffix that ends the lower-cased name, or null.
const SuffixReader* reader_for_name(std::string_view name);

// "--use-compress-program=<prog>" for suffixes whose compression tar does not know; otherwise empty.
std::string tar_compress_arg(std::string_view name);

// The output name for unpacking a single compressed file: the last component without its suffix
// ("notes.txt.GZ" gives "notes.txt"), or the component followed by ".out" when nothing would remain.
// Names that are not single compressed files come back as their last component.
std::string plain_inner_name(std::string_view path);

} // namespace archive_ops
