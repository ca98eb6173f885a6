#include "engine/archive_ops.h"

#include "base/logger.h"
#include "base/strutil.h"

#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace archive_ops {

namespace {

struct FormatInfo {
    const char* label;
    const char* extension;
    // The compressor tar needs; null for a plain tar and for the formats tar does not make.
    const char* compressor;
};

constexpr std::array<FormatInfo, 8> kFormatInfo = {{
    {"tar.gz", ".tar.gz", "gzip"},
    {"tar.xz", ".tar.xz", "xz"},
    {"tar.bz2", ".tar.bz2", "bzip2"},
    {"tar.zst", ".tar.zst", "zstd"},
    {"tar.lz4", ".tar.lz4", "lz4"},
    {"tar", ".tar", nullptr},
    {"zip", ".zip", nullptr},
    {"7z", ".7z", nullptr},
}};

// Compound tar suffixes come first so that "x.tar.gz" is a tar archive and "x.gz" a single file.
constexpr std::array<SuffixReader, 22> kNameReaders = {{
    {".tar.gz", "gzip", nullptr, false},   {".tgz", "gzip", nullptr, false},
    {".tar.xz", "xz", nullptr, false},     {".txz", "xz", nullptr, false},
    {".tar.lzma", "xz", nullptr, false},   {".tar.lz", "lzip", nullptr, false},
    {".tar.bz2", "bzip2", nullptr, false}, {".tbz2", "bzip2", nullptr, false},
    {".tbz", "bzip2", nullptr, false},     {".tar.zst", "zstd", nullptr, false},
    {".tzst", "zstd", nullptr, false},     {".tar.lz4", "lz4", "lz4", false},
    {".tar", nullptr, nullptr, false},     {".zip", "unzip", nullptr, false},
    {".7z", nullptr, nullptr, false},      {".gz", "gzip", nullptr, true},
    {".xz", "xz", nullptr, true},          {".lzma", "xz", nullptr, true},
    {".bz2", "bzip2", nullptr, true},      {".zst", "zstd", nullptr, true},
    {".lz4", "lz4", nullptr, true},        {".lz", "lzip", nullptr, true},
}};

const FormatInfo& info_for(Format format) {
    const auto index = static_cast<int32_t>(format);
    if (index < 0 || index >= static_cast<int32_t>(kFormatInfo.size())) return kFormatInfo[0];
    return kFormatInfo[static_cast<size_t>(index)];
}

bool tool_answers_version(const char* program) {
    return runs_ok({program, "--version"});
}

bool probe_format(Format format) {
    switch (format) {
    case Format::Zip:
        return tool_answers_version("zip");
    case Format::SevenZ:
        return sevenzip_tool().has_value();
    default: {
        if (!tool_answers_version("tar")) return false;
        const char* compressor = info_for(format).compressor;
        return compressor == nullptr || tool_answers_version(compressor);
    }
    }
}

// posix_spawn file actions that give the probed program /dev/null for all three standard streams, so a
// program that prints help or waits for input neither clutters our output nor blocks.
class QuietStreams {
public:
    QuietStreams() {
        m_ok = posix_spawn_file_actions_init(&m_actions) == 0;
        if (!m_ok) return;
        m_ok = posix_spawn_file_actions_addopen(&m_actions, 0, "/dev/null", O_RDONLY, 0) == 0 &&
               posix_spawn_file_actions_addopen(&m_actions, 1, "/dev/null", O_WRONLY, 0) == 0 &&
               posix_spawn_file_actions_addopen(&m_actions, 2, "/dev/null", O_WRONLY, 0) == 0;
    }
    ~QuietStreams() { posix_spawn_file_actions_destroy(&m_actions); }
    QuietStreams(const QuietStreams&) = delete;
    QuietStreams& operator=(const QuietStreams&) = delete;

    bool ok() const { return m_ok; }
    const posix_spawn_file_actions_t* get() const { return &m_actions; }

private:
    posix_spawn_file_actions_t m_actions{};
    bool m_ok = false;
};

} // namespace

const char* extension_for(Format format) {
    return info_for(format).extension;
}

const char* label_for(Format format) {
    return info_for(format).label;
}

bool format_from_label(std::string_view label, Format* out) {
    for (Format format : kAllFormats) {
        if (label == label_for(format)) {
            if (out) *out = format;
            return true;
        }
    }
    return false;
}

bool is_archive_name(std::string_view name) {
    return reader_for_name(name) != nullptr;
}

bool runs_ok(const std::vector<std::string>& argv) {
    if (argv.empty() || argv[0].empty()) return false;
    QuietStreams streams;
    if (!streams.ok()) return false;

    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], streams.get(), nullptr, args.data(), environ) != 0) return false;

    int status = 0;
    pid_t waited;
    do {
        waited = waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited != pid) return false;
    if (!WIFEXITED(status)) return false;
    const int code = WEXITSTATUS(status);
    return code != 126 && code != 127;
}

std::optional<std::string> sevenzip_tool() {
    // Probed once for the life of the process; the listing thread and background tasks ask too, and a
    // function-local static makes the first filling safe.
    static const std::optional<std::string> tool = []() -> std::optional<std::string> {
        for (const char* name : {"7zz", "7z", "7za"}) {
            if (runs_ok({name})) return std::string(name);
        }
        return std::nullopt;
    }();
    return tool;
}

bool format_available(Format format) {
    const auto index = static_cast<int32_t>(format);
    if (index < 0 || index >= static_cast<int32_t>(kAllFormats.size())) return false;
    static std::array<std::once_flag, kAllFormats.size()> once;
    static std::array<bool, kAllFormats.size()> answer{};
    const auto i = static_cast<size_t>(index);
    std::call_once(once[i], [&] {
        answer[i] = probe_format(format);
        Log::instance().infof("archiver %-8s %s", label_for(format), answer[i] ? "available" : "missing");
    });
    return answer[i];
}

const std::vector<Format>& available_formats() {
    static const std::vector<Format> formats = [] {
        std::vector<Format> found;
        for (Format format : kAllFormats) {
            if (format_available(format)) found.push_back(format);
        }
        Log::instance().infof("archivers: %zu of %zu formats available", found.size(), kAllFormats.size());
        return found;
    }();
    return formats;
}

const SuffixReader* reader_for_name(std::string_view name) {
    const std::string lower = su::lower_ascii(std::string(name));
    for (const auto& row : kNameReaders) {
        if (su::ends_with(lower, row.suffix)) return &row;
    }
    return nullptr;
}

bool can_unpack(std::string_view name) {
    const SuffixReader* row = reader_for_name(name);
    if (!row) return false;
    const std::string lower = su::lower_ascii(std::string(name));
    if (su::ends_with(lower, ".7z")) return sevenzip_tool().has_value();
    const std::string shown(name);
    if (!su::ends_with(lower, ".zip") && !row->plain && !tool_answers_version("tar")) {
        Log::instance().warnf("cannot unpack '%s': tar is not runnable", shown.c_str());
        return false;
    }
    if (row->reader && !tool_answers_version(row->reader)) {
        Log::instance().warnf("cannot unpack '%s': '%s' is not runnable", shown.c_str(), row->reader);
        return false;
    }
    return true;
}

std::string tar_compress_arg(std::string_view name) {
    const SuffixReader* row = reader_for_name(name);
    if (!row || !row->tar_prog) return {};
    return std::string("--use-compress-program=") + row->tar_prog;
}

std::string plain_inner_name(std::string_view path) {
    const std::string component = su::basename_of(path);
    const SuffixReader* row = reader_for_name(component);
    if (!row || !row->plain) return component;
    const size_t suffix_len = std::string_view(row->suffix).size();
    std::string inner = component.substr(0, component.size() - suffix_len);
    if (inner.empty()) return component + ".out";
    return inner;
}

} // namespace archive_ops
