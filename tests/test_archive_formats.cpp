#include "engine/archive_ops.h"

#include "child.h"
#include "base/logger.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using archive_ops::Format;
// The tool caches are process-wide and filled once, so every scenario that controls which tools exist
// runs in a child process of its own.
using testsupport::Checks;
using testsupport::in_child;

namespace {

// The real program's path, looked up with the test's own PATH.
std::string resolved(const std::string& name) {
    std::string path = testsupport::capture("command -v " + name);
    while (!path.empty() && path.back() == '\n')
        path.pop_back();
    return path;
}

// A directory to put on PATH holding links to chosen real tools, so a test decides what is installed.
class ToolDir {
public:
    ToolDir() : m_dir("tools") {}
    void install(const std::string& name, const std::string& target = "") {
        const std::string real = target.empty() ? resolved(name) : target;
        if (symlink(real.c_str(), m_dir.sub(name).c_str()) != 0) ADD_FAILURE() << "cannot link " << name;
    }
    void uninstall(const std::string& name) { unlink(m_dir.sub(name).c_str()); }
    const std::string& path() const { return m_dir.path(); }

private:
    testsupport::TempDir m_dir;
};

bool log_has(const std::string& text) {
    for (const auto& entry : Log::instance().recent()) {
        if (entry.text == text) return true;
    }
    return false;
}

class ArchiveFormats : public ::testing::Test {
protected:
    void SetUp() override {
        // The log lives in the configuration directory; keep it out of the real home.
        testsupport::use_home(m_config.path(), m_config.path());
    }
    testsupport::TempDir m_config{"config"};
};

TEST_F(ArchiveFormats, LabelsAndExtensionsInDialogOrder) {
    struct Case {
        Format format;
        const char* label;
        const char* extension;
    };
    const std::vector<Case> cases = {
        {Format::TarGz, "tar.gz", ".tar.gz"},
        {Format::TarXz, "tar.xz", ".tar.xz"},
        {Format::TarBz2, "tar.bz2", ".tar.bz2"},
        {Format::TarZst, "tar.zst", ".tar.zst"},
        {Format::TarLz4, "tar.lz4", ".tar.lz4"},
        {Format::Tar, "tar", ".tar"},
        {Format::Zip, "zip", ".zip"},
        {Format::SevenZ, "7z", ".7z"},
    };
    ASSERT_EQ(archive_ops::kAllFormats.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].label);
        EXPECT_EQ(archive_ops::kAllFormats[i], cases[i].format);
        EXPECT_STREQ(archive_ops::label_for(cases[i].format), cases[i].label);
        EXPECT_STREQ(archive_ops::extension_for(cases[i].format), cases[i].extension);
    }
    for (int bad : {-1, 8, 1000}) {
        SCOPED_TRACE(bad);
        EXPECT_STREQ(archive_ops::label_for(static_cast<Format>(bad)), "tar.gz");
        EXPECT_STREQ(archive_ops::extension_for(static_cast<Format>(bad)), ".tar.gz");
    }
}

TEST_F(ArchiveFormats, FormatFromLabelIsExactAndCaseSensitive) {
    struct Case {
        const char* label;
        bool known;
        Format format;
    };
    const std::vector<Case> cases = {
        {"tar.gz", true, Format::TarGz},
        {"tar.xz", true, Format::TarXz},
        {"tar.bz2", true, Format::TarBz2},
        {"tar.zst", true, Format::TarZst},
        {"tar.lz4", true, Format::TarLz4},
        {"tar", true, Format::Tar},
        {"zip", true, Format::Zip},
        {"7z", true, Format::SevenZ},
        {"TAR.GZ", false, {}},
        {"Zip", false, {}},
        {".tar.gz", false, {}},
        {"tgz", false, {}},
        {"tar.gz ", false, {}},
        {"", false, {}},
        {"7z\n", false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Format out = Format::Zip;
        EXPECT_EQ(archive_ops::format_from_label(c.label, &out), c.known);
        EXPECT_EQ(out, c.known ? c.format : Format::Zip) << "unknown labels must leave *out alone";
        EXPECT_EQ(archive_ops::format_from_label(c.label), c.known);
    }
}

TEST_F(ArchiveFormats, SuffixesAreMatchedCaseInsensitivelyCompoundFirst) {
    struct Case {
        const char* name;
        const char* suffix; // null: not an archive name
        const char* reader;
        bool plain;
    };
    const std::vector<Case> cases = {
        {"backup.TAR.GZ", ".tar.gz", "gzip", false},
        {"x.tgz", ".tgz", "gzip", false},
        {"x.tar.xz", ".tar.xz", "xz", false},
        {"x.TXZ", ".txz", "xz", false},
        {"x.tar.lzma", ".tar.lzma", "xz", false},
        {"x.tar.lz", ".tar.lz", "lzip", false},
        {"x.tar.bz2", ".tar.bz2", "bzip2", false},
        {"x.tbz2", ".tbz2", "bzip2", false},
        {"x.tbz", ".tbz", "bzip2", false},
        {"x.tar.zst", ".tar.zst", "zstd", false},
        {"x.tzst", ".tzst", "zstd", false},
        {"x.tar.lz4", ".tar.lz4", "lz4", false},
        {"x.tar", ".tar", nullptr, false},
        {"Photos.ZIP", ".zip", "unzip", false},
        {"x.7z", ".7z", nullptr, false},
        {"notes.txt.gz", ".gz", "gzip", true},
        {"x.xz", ".xz", "xz", true},
        {"x.lzma", ".lzma", "xz", true},
        {"x.bz2", ".bz2", "bzip2", true},
        {"x.zst", ".zst", "zstd", true},
        {"x.lz4", ".lz4", "lz4", true},
        {"x.lz", ".lz", "lzip", true},
        {".gz", ".gz", "gzip", true},
        {"x.txt", nullptr, nullptr, false},
        {"x.tar.gz.part", nullptr, nullptr, false},
        {"tar", nullptr, nullptr, false},
        {"x.gzip", nullptr, nullptr, false},
        {"", nullptr, nullptr, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const archive_ops::SuffixReader* row = archive_ops::reader_for_name(c.name);
        EXPECT_EQ(archive_ops::is_archive_name(c.name), c.suffix != nullptr);
        if (!c.suffix) {
            EXPECT_EQ(row, nullptr);
            continue;
        }
        ASSERT_NE(row, nullptr);
        EXPECT_STREQ(row->suffix, c.suffix);
        if (c.reader) {
            EXPECT_STREQ(row->reader, c.reader);
        } else {
            EXPECT_EQ(row->reader, nullptr);
        }
        EXPECT_EQ(row->plain, c.plain);
    }
}

TEST_F(ArchiveFormats, TarCompressArgumentOnlyWhereTarNeedsHelp) {
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"a.tar.lz4", "--use-compress-program=lz4"},
        {"A.TAR.LZ4", "--use-compress-program=lz4"},
        {"a.lz4", ""},
        {"a.tar.gz", ""},
        {"a.tar.zst", ""},
        {"a.zip", ""},
        {"a.txt", ""},
    };
    for (const auto& [name, expected] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(archive_ops::tar_compress_arg(name), expected);
    }
}

TEST_F(ArchiveFormats, PlainInnerName) {
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"/home/u/notes.txt.GZ", "notes.txt"},
        {"/home/u/.gz", ".gz.out"},
        {"/home/u/.LZ", ".LZ.out"},
        {"data.bin.zst", "data.bin"},
        {"/a/b/x.y.lz", "x.y"},
        {"/a/archive.tar.gz", "archive.tar.gz"},
        {"/a/archive.tgz", "archive.tgz"},
        {"/a/readme.txt", "readme.txt"},
        {"/a/dir.xz/", "dir"},
    };
    for (const auto& [path, expected] : cases) {
        SCOPED_TRACE(path);
        EXPECT_EQ(archive_ops::plain_inner_name(path), expected);
    }
}

TEST_F(ArchiveFormats, RunsOkJudgesHowTheProgramEnded) {
    struct Case {
        std::vector<std::string> argv;
        bool runs;
    };
    const std::vector<Case> cases = {
        {{"true"}, true},
        {{"false"}, true}, // exists but rejects the probe
        {{"sh", "-c", "exit 2"}, true},
        {{"sh", "-c", "exit 126"}, false},
        {{"sh", "-c", "exit 127"}, false},
        {{"sh", "-c", "kill -KILL $$"}, false},
        {{"sh", "-c", "read line; exit 0"}, true}, // standard input is empty, so this cannot hang
        {{"sh", "-c", "echo noise; echo more >&2"}, true},
        {{"no-such-program-tavrin-test"}, false},
        {{"/nonexistent/dir/prog"}, false},
        {{""}, false},
        {{}, false},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const auto& a : c.argv)
            shown += a + " ";
        SCOPED_TRACE(shown);
        EXPECT_EQ(archive_ops::runs_ok(c.argv), c.runs);
    }
}

TEST_F(ArchiveFormats, AvailableFormatsFollowInstalledToolsAndAreCached) {
    ToolDir tools;
    for (const char* t : {"tar", "gzip", "xz", "zip"})
        tools.install(t);
    const std::string report = in_child([&] {
        Checks c;
        setenv("PATH", tools.path().c_str(), 1);
        const auto& formats = archive_ops::available_formats();
        const std::vector<Format> expected = {Format::TarGz, Format::TarXz, Format::Tar, Format::Zip};
        c.expect(formats == expected, "available formats");
        c.expect(!archive_ops::format_available(Format::TarBz2), "bzip2 missing");
        c.expect(!archive_ops::format_available(Format::SevenZ), "7-Zip missing");
        c.expect(log_has("archiver tar.gz   available"), "log line for tar.gz");
        c.expect(log_has("archiver tar.zst  missing"), "log line for tar.zst");
        c.expect(log_has("archivers: 4 of 8 formats available"), "summary log line");
        // Answers are kept for the process: removing gzip now changes nothing for creating archives,
        // while unpacking looks again.
        tools.uninstall("gzip");
        c.expect(archive_ops::format_available(Format::TarGz), "cached tar.gz answer");
        c.expect(!archive_ops::can_unpack("a.tar.gz"), "unpacking sees gzip gone");
        return c.failures;
    });
    EXPECT_EQ(report, "");
}

TEST_F(ArchiveFormats, TarFormatsNeedTarItself) {
    ToolDir tools;
    for (const char* t : {"gzip", "zstd"})
        tools.install(t);
    const std::string report = in_child([&] {
        Checks c;
        setenv("PATH", tools.path().c_str(), 1);
        c.expect(!archive_ops::format_available(Format::TarGz), "tar.gz without tar");
        c.expect(!archive_ops::format_available(Format::Tar), "tar without tar");
        c.expect(archive_ops::available_formats().empty(), "nothing available");
        return c.failures;
    });
    EXPECT_EQ(report, "");
}

TEST_F(ArchiveFormats, SevenZipProgramIsChosenOnceInOrder) {
    ToolDir tools;
    std::string real = resolved("7zz");
    if (real.empty()) real = resolved("7z");
    if (real.empty()) real = resolved("7za");
    if (real.empty()) GTEST_SKIP() << "no 7-Zip program installed";
    tools.install("7z", real);
    const std::string report = in_child([&] {
        Checks c;
        setenv("PATH", tools.path().c_str(), 1);
        c.expect(archive_ops::sevenzip_tool() == std::optional<std::string>("7z"),
                 "7z chosen when 7zz is missing");
        tools.install("7zz", real);
        c.expect(archive_ops::sevenzip_tool() == std::optional<std::string>("7z"),
                 "still 7z after 7zz appears");
        c.expect(archive_ops::format_available(Format::SevenZ), "7z format available");
        c.expect(archive_ops::can_unpack("x.7Z"), "7z archive unpackable");
        return c.failures;
    });
    EXPECT_EQ(report, "");
}

TEST_F(ArchiveFormats, NoSevenZipProgram) {
    ToolDir tools;
    tools.install("tar");
    const std::string report = in_child([&] {
        Checks c;
        setenv("PATH", tools.path().c_str(), 1);
        c.expect(!archive_ops::sevenzip_tool().has_value(), "no 7-Zip program");
        c.expect(!archive_ops::can_unpack("x.7z"), "7z archive not unpackable");
        c.expect(archive_ops::can_unpack("x.tar"), "plain tar needs only tar");
        return c.failures;
    });
    EXPECT_EQ(report, "");
}

TEST_F(ArchiveFormats, CanUnpackChecksTheToolsEveryTime) {
    ToolDir tools;
    tools.install("unzip");
    tools.install("gzip");
    // Resolved here: inside the child PATH no longer finds the real programs.
    const std::string tar = resolved("tar");
    const std::string report = in_child([&] {
        Checks c;
        setenv("PATH", tools.path().c_str(), 1);
        c.expect(archive_ops::can_unpack("Photos.ZIP"), "zip needs only unzip");
        c.expect(archive_ops::can_unpack("notes.txt.gz"), "single gzip file needs no tar");
        c.expect(!archive_ops::can_unpack("a.tar"), "tar archive without tar");
        c.expect(log_has("cannot unpack 'a.tar': tar is not runnable"), "tar warning");
        c.expect(!archive_ops::can_unpack("a.xz"), "xz missing");
        c.expect(log_has("cannot unpack 'a.xz': 'xz' is not runnable"), "reader warning");
        c.expect(!archive_ops::can_unpack("readme.txt"), "not an archive");
        tools.install("tar", tar);
        c.expect(archive_ops::can_unpack("a.tar"), "tar installed while running is seen");
        c.expect(archive_ops::can_unpack("a.tgz"), "tar and gzip");
        c.expect(!archive_ops::can_unpack("a.tar.bz2"), "bzip2 missing");
        tools.uninstall("unzip");
        c.expect(!archive_ops::can_unpack("a.zip"), "unzip removed while running");
        return c.failures;
    });
    EXPECT_EQ(report, "");
}

} // namespace
