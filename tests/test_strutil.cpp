#include "base/strutil.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Shows bytes outside printable ASCII as \xNN so a failing UTF-8 case is readable.
std::string escaped(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else {
            char buf[8];
            snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    return out;
}

TEST(StrUtil, LowerAsciiTouchesOnlyAsciiLetters) {
    struct Case {
        std::string in, want;
    };
    std::vector<Case> cases = {
        {"", ""},
        {"ABCXYZ", "abcxyz"},
        {"MiXeD-Case_09.TXT", "mixed-case_09.txt"},
        {"@[`{", "@[`{"},                 // the bytes just outside A-Z and a-z
        {"\xC3\x84rger", "\xC3\x84rger"}, // "Ärger": the UTF-8 capital stays as it is
        {std::string("A\0B", 3), std::string("a\0b", 3)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(su::lower_ascii(c.in), c.want) << escaped(c.in);
}

TEST(StrUtil, AffixTests) {
    struct Case {
        std::string s, affix;
        bool starts, ends;
    };
    std::vector<Case> cases = {
        {"", "", true, true},
        {"abc", "", true, true},
        {"", "a", false, false},
        {"abc", "abc", true, true},
        {"abc", "abcd", false, false},
        {"abc", "ab", true, false},
        {"abc", "bc", false, true},
        {"abc", "ABC", false, false}, // byte comparison, no case folding
        {"/home/u", "/home/", true, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(su::starts_with(c.s, c.affix), c.starts)
            << "'" << c.s << "' starts with '" << c.affix << "'";
        EXPECT_EQ(su::ends_with(c.s, c.affix), c.ends) << "'" << c.s << "' ends with '" << c.affix << "'";
    }
}

TEST(StrUtil, BasenameAndParent) {
    struct Case {
        std::string path, base, parent;
    };
    std::vector<Case> cases = {
        {"/a/b/", "b", "/a"},
        {"/a", "a", "/"},
        {"a/b", "b", "a"},
        {"abc", "abc", ""},
        {"/", "/", ""},
        {"//", "", "/"},
        {"", "", ""},
        {"/a/b///", "b", "/a"},
        {"/usr/local/lib", "lib", "/usr/local"},
        {"a/", "a", ""},
        {"/a.tar.gz", "a.tar.gz", "/"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(su::basename_of(c.path), c.base) << "basename_of '" << c.path << "'";
        EXPECT_EQ(su::parent_of(c.path), c.parent) << "parent_of '" << c.path << "'";
    }
}

TEST(StrUtil, JoinPath) {
    struct Case {
        std::string dir, name, want;
    };
    std::vector<Case> cases = {
        {"", "x", "x"},
        {"/a", "", "/a"},
        {"", "", ""},
        {"/", "etc", "/etc"},
        {"/a/", "b", "/a/b"},
        {"/a", "b", "/a/b"},
        {"/a", "/b", "/a//b"}, // no normalisation
        {"rel", "b/c", "rel/b/c"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(su::join_path(c.dir, c.name), c.want) << "join '" << c.dir << "' + '" << c.name << "'";
}

TEST(StrUtil, NormalizePath) {
    struct Case {
        std::string in, want;
    };
    std::vector<Case> cases = {
        {"/a/b/../c", "/a/c"}, {"/a/./b//c/", "/a/b/c"},
        {"//", "/"},           {"/..", "/"},
        {"/a/../../b", "/b"},  {"/a/b/..", "/a"},
        {"/a/..b", "/a/..b"},  {"/a/b.", "/a/b."},
        {"/a\xff/../c", "/c"}, {"", "/"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(su::normalize_path(c.in), c.want) << "'" << c.in << "'";
}

TEST(StrUtil, ExtensionOf) {
    struct Case {
        std::string name, want;
    };
    std::vector<Case> cases = {
        {"Photo.JPG", "jpg"},
        {"a.tar.GZ", "gz"},
        {".bashrc", ""},
        {".config.old", "old"},
        {"name.", ""},
        {"README", ""},
        {"", ""},
        {".", ""},
        {"..", ""},
        {"x.y", "y"},
        {"dir.d/file", "d/file"}, // a bare name is expected; the last dot is taken wherever it is
    };
    for (const auto& c : cases)
        EXPECT_EQ(su::extension_of(c.name), c.want) << "extension_of '" << c.name << "'";
}

TEST(StrUtil, TruncateUtf8CutsAtCharacterBoundary) {
    const std::string a_umlaut = "a\xC3\xA4"; // 1 + 2 bytes
    const std::string euro_x = "\xE2\x82\xAC"
                               "x"; // 3 + 1 bytes
    const std::string emoji = "\xF0\x9F\x98\x80"
                              "b"; // 4 + 1 bytes
    struct Case {
        std::string s;
        uint64_t max;
        std::string want;
    };
    std::vector<Case> cases = {
        {a_umlaut, 2, "a"},
        {a_umlaut, 3, a_umlaut},
        {a_umlaut, 1, "a"},
        {a_umlaut, 0, ""},
        {a_umlaut, UINT64_MAX, a_umlaut},
        {euro_x, 1, ""},
        {euro_x, 2, ""},
        {euro_x, 3, "\xE2\x82\xAC"},
        {emoji, 3, ""},
        {emoji, 4, "\xF0\x9F\x98\x80"},
        {"hello", 3, "hel"},
        {"", 5, ""},
    };
    for (const auto& c : cases) {
        std::string got = su::truncate_utf8(c.s, c.max);
        EXPECT_EQ(got, c.want) << escaped(c.s) << " cut at " << c.max;
        EXPECT_TRUE(su::is_valid_utf8(got)) << escaped(c.s) << " cut at " << c.max;
    }
}

TEST(StrUtil, ValidityAndRepair) {
    const std::string fffd = "\xEF\xBF\xBD";
    struct Case {
        std::string in;
        bool valid;
        std::string sanitized;
    };
    std::vector<Case> cases = {
        {"", true, ""},
        {"plain ascii", true, "plain ascii"},
        {"\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80", true, "\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80"},
        {"\xFF", false, fffd},
        {"a\xC3", false, "a" + fffd},                                      // sequence runs past the end
        {"\x80", false, fffd},                                             // stray continuation byte
        {"\xF8\x88\x80\x80\x80", false, fffd + fffd + fffd + fffd + fffd}, // 11111xxx lead, then strays
        {"\xC3(", false, fffd + "("},                                      // second byte not a continuation
        {"\xE2\x82x", false, fffd + fffd + "x"}, // three-byte sequence broken after two
        {"ok\xE2\x82\xAC\xFFok", false, "ok\xE2\x82\xAC" + fffd + "ok"},
        {std::string("a\0b", 3), true, std::string("a\0b", 3)},
        {"\xC0\xAF", true, "\xC0\xAF"},         // overlong forms are not examined
        {"\xED\xA0\x80", true, "\xED\xA0\x80"}, // nor surrogates
    };
    for (const auto& c : cases) {
        EXPECT_EQ(su::is_valid_utf8(c.in), c.valid) << escaped(c.in);
        std::string got = su::sanitize_utf8(c.in);
        EXPECT_EQ(escaped(got), escaped(c.sanitized)) << escaped(c.in);
        EXPECT_TRUE(su::is_valid_utf8(got)) << escaped(c.in);
    }
}

} // namespace
