#include "config/settings.h"

#include "child.h"
#include "base/i18n.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using copy_engine::ConflictAction;
using dir_lister::SortKey;
using testsupport::exists;
using testsupport::in_child;
using testsupport::make_dir;
using testsupport::read_file;
using testsupport::write_file;

const char* const kDefaultFile = R"({
  "language": "auto",
  "theme": "light",
  "thread_count": 0,
  "show_hidden": true,
  "default_conflict": "ask",
  "confirm_delete": true,
  "delete_to_trash": true,
  "left_path": "",
  "right_path": "",
  "left_sort_key": "name",
  "left_sort_asc": true,
  "right_sort_key": "name",
  "right_sort_asc": true,
  "show_size": true,
  "show_type": false,
  "show_modified": true,
  "show_created": false,
  "show_permissions": false,
  "show_owner": false,
  "show_group": false,
  "font_family": "",
  "font_scale": 100,
  "archive_format": "tar.gz",
  "archive_view_w": 0,
  "archive_view_h": 0,
  "hex_view_w": 0,
  "hex_view_h": 0,
  "sandbox_notice_hidden": false,
  "col_w_name": 0,
  "col_w_size": 0,
  "col_w_type": 0,
  "col_w_modified": 0,
  "col_w_created": 0,
  "col_w_permissions": 0,
  "col_w_owner": 0,
  "col_w_group": 0
}
)";

// Every field differs from its default, so a test can tell "kept the current value" from "reset".
Settings primed() {
    Settings s;
    s.language = "primed-lang";
    s.theme = "auto";
    s.thread_count = 5;
    s.show_hidden = false;
    s.default_conflict = ConflictAction::Skip;
    s.confirm_delete = false;
    s.delete_to_trash = false;
    s.left_path = "/primed/left";
    s.right_path = "/primed/right";
    s.left_sort = {SortKey::Size, false, true};
    s.right_sort = {SortKey::Owner, false, true};
    s.show_size = false;
    s.show_type = true;
    s.show_modified = false;
    s.show_created = true;
    s.show_permissions = true;
    s.show_owner = true;
    s.show_group = true;
    s.font_family = "Primed Sans";
    s.font_scale = 150;
    s.archive_format = "zip";
    s.archive_view_w = s.archive_view_h = s.hex_view_w = s.hex_view_h = 500;
    s.sandbox_notice_hidden = true;
    s.col_w_name = s.col_w_size = s.col_w_type = s.col_w_modified = 100;
    s.col_w_created = s.col_w_permissions = s.col_w_owner = s.col_w_group = 100;
    return s;
}

std::string show(int v) {
    return std::to_string(v);
}
std::string show(bool v) {
    return v ? "true" : "false";
}
std::string show(const std::string& v) {
    return v;
}
std::string show(ConflictAction v) {
    return "conflict#" + std::to_string(static_cast<int>(v));
}
std::string show(SortKey v) {
    return "key#" + std::to_string(static_cast<int>(v));
}

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::use_home(m_root.path(), m_root.path());
        chmod(m_root.path().c_str(), 0755);
        make_dir(m_root.sub("Tavrin"), 0755);
        record() = Settings{};
    }
    void TearDown() override { record() = Settings{}; }

    static Settings& record() { return SettingsStore::instance().mutable_get(); }
    static const std::string path() { return SettingsStore::instance().path(); }

    // Loads `text` as the settings file over `start`.
    static Settings load_over(const Settings& start, const std::string& text) {
        record() = start;
        write_file(path(), text);
        SettingsStore::instance().load();
        return SettingsStore::instance().get();
    }

    testsupport::TempDir m_root{"settings"};
};

TEST_F(SettingsTest, PathIsInTheConfigurationDirectory) {
    EXPECT_EQ(path(), m_root.path() + "/Tavrin/settings.json");
}

TEST_F(SettingsTest, DefaultsAreSavedInTheExactLayout) {
    ASSERT_TRUE(SettingsStore::instance().save());
    EXPECT_EQ(read_file(path()), kDefaultFile);
    EXPECT_FALSE(exists(path() + ".tmp"));
}

TEST_F(SettingsTest, EveryFieldIsWrittenWhereTheLayoutPutsIt) {
    Settings& s = record();
    s = primed();
    s.language = "en";
    s.left_path = "/srv/a \"quoted\" \\ dir";
    s.right_path = "/tmp/tab\there";
    s.font_family = "Noto Sans \xe6\x97\xa5\xe6\x9c\xac";
    s.default_conflict = ConflictAction::OverwriteIfNewer;
    s.right_sort.key = SortKey::Group;
    s.col_w_group = 333;
    ASSERT_TRUE(SettingsStore::instance().save());
    EXPECT_EQ(read_file(path()), R"({
  "language": "en",
  "theme": "auto",
  "thread_count": 5,
  "show_hidden": false,
  "default_conflict": "overwrite_if_newer",
  "confirm_delete": false,
  "delete_to_trash": false,
  "left_path": "/srv/a \"quoted\" \\ dir",
  "right_path": "/tmp/tab here",
  "left_sort_key": "size",
  "left_sort_asc": false,
  "right_sort_key": "group",
  "right_sort_asc": false,
  "show_size": false,
  "show_type": true,
  "show_modified": false,
  "show_created": true,
  "show_permissions": true,
  "show_owner": true,
  "show_group": true,
  "font_family": "Noto Sans )"
                                 "\xe6\x97\xa5\xe6\x9c\xac"
                                 R"(",
  "font_scale": 150,
  "archive_format": "zip",
  "archive_view_w": 500,
  "archive_view_h": 500,
  "hex_view_w": 500,
  "hex_view_h": 500,
  "sandbox_notice_hidden": true,
  "col_w_name": 100,
  "col_w_size": 100,
  "col_w_type": 100,
  "col_w_modified": 100,
  "col_w_created": 100,
  "col_w_permissions": 100,
  "col_w_owner": 100,
  "col_w_group": 333
}
)");
}

TEST_F(SettingsTest, EnumerationsAreWrittenByName) {
    const std::vector<std::pair<ConflictAction, const char*>> conflicts = {
        {ConflictAction::Ask, "ask"},
        {ConflictAction::Overwrite, "overwrite"},
        {ConflictAction::Skip, "skip"},
        {ConflictAction::RenameNew, "rename_new"},
        {ConflictAction::RenameExisting, "rename_existing"},
        {ConflictAction::OverwriteIfNewer, "overwrite_if_newer"},
        {ConflictAction::Cancel, "ask"}, // cancelling every job is no standing rule
    };
    for (const auto& [action, name] : conflicts) {
        SCOPED_TRACE(name);
        record().default_conflict = action;
        ASSERT_TRUE(SettingsStore::instance().save());
        EXPECT_NE(read_file(path()).find(std::string("\"default_conflict\": \"") + name + "\",\n"),
                  std::string::npos);
    }
    const std::vector<std::pair<SortKey, const char*>> keys = {
        {SortKey::Name, "name"},
        {SortKey::Size, "size"},
        {SortKey::Modified, "modified"},
        {SortKey::Kind, "kind"},
        {SortKey::Permissions, "permissions"},
        {SortKey::Owner, "owner"},
        {SortKey::Created, "created"},
        {SortKey::Group, "group"},
    };
    for (const auto& [key, name] : keys) {
        SCOPED_TRACE(name);
        record().left_sort.key = key;
        record().right_sort.key = key;
        ASSERT_TRUE(SettingsStore::instance().save());
        const std::string text = read_file(path());
        EXPECT_NE(text.find(std::string("\"left_sort_key\": \"") + name + "\",\n"), std::string::npos);
        EXPECT_NE(text.find(std::string("\"right_sort_key\": \"") + name + "\",\n"), std::string::npos);
        record() = Settings{};
        SettingsStore::instance().load();
        EXPECT_EQ(SettingsStore::instance().get().left_sort.key, key);
        EXPECT_EQ(SettingsStore::instance().get().right_sort.key, key);
    }
}

TEST_F(SettingsTest, StringsAreEscapedByteByByte) {
    struct Case {
        std::string stored;
        std::string written;
        std::string loaded;
    };
    const std::vector<Case> cases = {
        {"Plain", "Plain", "Plain"},
        {"say \"hi\"", "say \\\"hi\\\"", "say \"hi\""},
        {"back\\slash\\", "back\\\\slash\\\\", "back\\slash\\"},
        {"\\\"", "\\\\\\\"", "\\\""},
        {"tab\tnew\nline\r\x01", "tab new line  ", "tab new line  "},
        {"\xc3\xa9t\xc3\xa9 \xf0\x9f\x98\x80", "\xc3\xa9t\xc3\xa9 \xf0\x9f\x98\x80",
         "\xc3\xa9t\xc3\xa9 \xf0\x9f\x98\x80"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.written);
        record() = Settings{};
        record().font_family = c.stored;
        ASSERT_TRUE(SettingsStore::instance().save());
        EXPECT_NE(read_file(path()).find("  \"font_family\": \"" + c.written + "\",\n"), std::string::npos);
        record() = Settings{};
        SettingsStore::instance().load();
        EXPECT_EQ(SettingsStore::instance().get().font_family, c.loaded);
    }
}

TEST_F(SettingsTest, EveryValidRecordSurvivesSaveAndLoad) {
    const std::string left = m_root.sub("dir \"with\" quote\\and backslash");
    const std::string right = m_root.sub("ends with backslash\\");
    make_dir(left);
    make_dir(right);
    Settings s = primed();
    s.language = I18n::available().empty() ? "auto" : I18n::available().back().code;
    s.left_path = left;
    s.right_path = right;
    s.font_family = "Odd \"Font\" \\ Name";
    s.archive_format = "7z";
    s.left_sort = {SortKey::Created, true, true};
    s.right_sort = {SortKey::Kind, false, true};
    s.col_w_name = 40;
    s.col_w_group = 900;
    s.hex_view_w = 201;
    s.hex_view_h = 19999;
    for (ConflictAction conflict :
         {ConflictAction::Ask, ConflictAction::RenameExisting, ConflictAction::Overwrite}) {
        s.default_conflict = conflict;
        record() = s;
        ASSERT_TRUE(SettingsStore::instance().save());
        record() = Settings{};
        SettingsStore::instance().load();
        EXPECT_EQ(SettingsStore::instance().get(), s) << read_file(path());
    }
}

TEST_F(SettingsTest, FoldersFirstIsNotStoredAndStaysOn) {
    record().left_sort.dirs_first = false;
    record().right_sort.dirs_first = false;
    ASSERT_TRUE(SettingsStore::instance().save());
    EXPECT_EQ(read_file(path()).find("dirs_first"), std::string::npos);
    record() = Settings{};
    SettingsStore::instance().load();
    EXPECT_TRUE(SettingsStore::instance().get().left_sort.dirs_first);
    EXPECT_TRUE(SettingsStore::instance().get().right_sort.dirs_first);
}

// One row per acceptance rule: the value found in the file, loaded over a record whose every field differs
// from its default, and the field's value afterwards.
TEST_F(SettingsTest, AcceptanceRules) {
    struct Case {
        std::string file;
        std::function<std::string(const Settings&)> field;
        std::string expected;
    };
#define FIELD(expr) [](const Settings& s) { return show(s.expr); }
    const std::string long_family(121, 'f');
    const std::vector<Case> cases = {
        {R"("language": "auto")", FIELD(language), "auto"},
        {R"("language": "en")", FIELD(language), "en"},
        {R"("language": "EN")", FIELD(language), "primed-lang"},
        {R"("language": "xx")", FIELD(language), "primed-lang"},
        {R"("language": "")", FIELD(language), "primed-lang"},
        {R"("theme": "dark")", FIELD(theme), "dark"},
        {R"("theme": "light")", FIELD(theme), "light"},
        {R"("theme": "Dark")", FIELD(theme), "auto"},
        {R"("theme": "blue")", FIELD(theme), "auto"},
        {R"("thread_count": 7)", FIELD(thread_count), "7"},
        {R"("thread_count": 99)", FIELD(thread_count), "16"},
        {R"("thread_count": -3)", FIELD(thread_count), "0"},
        {R"("thread_count": 99999999999999999999999)", FIELD(thread_count), "16"},
        {R"("thread_count": "8")", FIELD(thread_count), "5"},
        {R"("thread_count": many)", FIELD(thread_count), "5"},
        {R"("thread_count":)", FIELD(thread_count), "5"},
        {R"("show_hidden": true)", FIELD(show_hidden), "true"},
        {R"("show_hidden": trueish)", FIELD(show_hidden), "true"},
        {R"("show_hidden": yes)", FIELD(show_hidden), "false"},
        {R"("show_hidden": True)", FIELD(show_hidden), "false"},
        {R"("confirm_delete": true)", FIELD(confirm_delete), "true"},
        {R"("delete_to_trash": true)", FIELD(delete_to_trash), "true"},
        {R"("sandbox_notice_hidden": false)", FIELD(sandbox_notice_hidden), "false"},
        {R"("sandbox_notice_hidden": 0)", FIELD(sandbox_notice_hidden), "true"},
        {R"("default_conflict": "overwrite")", FIELD(default_conflict), show(ConflictAction::Overwrite)},
        {R"("default_conflict": "rename_new")", FIELD(default_conflict), show(ConflictAction::RenameNew)},
        {R"("default_conflict": "rename_existing")", FIELD(default_conflict),
         show(ConflictAction::RenameExisting)},
        {R"("default_conflict": "overwrite_if_newer")", FIELD(default_conflict),
         show(ConflictAction::OverwriteIfNewer)},
        {R"("default_conflict": "ask")", FIELD(default_conflict), show(ConflictAction::Ask)},
        {R"("default_conflict": "cancel")", FIELD(default_conflict), show(ConflictAction::Ask)},
        {R"("default_conflict": "Skip")", FIELD(default_conflict), show(ConflictAction::Ask)},
        {R"("default_conflict": "")", FIELD(default_conflict), show(ConflictAction::Skip)},
        {R"("left_sort_key": "modified")", FIELD(left_sort.key), show(SortKey::Modified)},
        {R"("left_sort_key": "permissions")", FIELD(left_sort.key), show(SortKey::Permissions)},
        {R"("left_sort_key": "SIZE")", FIELD(left_sort.key), show(SortKey::Name)},
        {R"("left_sort_key": "")", FIELD(left_sort.key), show(SortKey::Name)},
        {R"("left_sort_asc": false)", FIELD(left_sort.ascending), "false"},
        {R"("left_sort_asc": maybe)", FIELD(left_sort.ascending), "true"},
        {R"("right_sort_key": "owner")", FIELD(right_sort.key), show(SortKey::Owner)},
        {R"("right_sort_key": "group")", FIELD(right_sort.key), show(SortKey::Group)},
        {R"("right_sort_key": "x")", FIELD(right_sort.key), show(SortKey::Name)},
        {R"("right_sort_asc": false)", FIELD(right_sort.ascending), "false"},
        {R"("right_sort_asc": 1)", FIELD(right_sort.ascending), "true"},
        {R"("show_size": true)", FIELD(show_size), "true"},
        {R"("show_type": false)", FIELD(show_type), "false"},
        {R"("show_modified": true)", FIELD(show_modified), "true"},
        {R"("show_created": false)", FIELD(show_created), "false"},
        {R"("show_permissions": false)", FIELD(show_permissions), "false"},
        {R"("show_owner": false)", FIELD(show_owner), "false"},
        {R"("show_group": false)", FIELD(show_group), "false"},
        {R"("show_group": nope)", FIELD(show_group), "true"},
        {R"("font_family": "DejaVu Sans")", FIELD(font_family), "DejaVu Sans"},
        {R"("font_family": "")", FIELD(font_family), ""},
        {"\"font_family\": \"" + std::string(120, 'f') + "\"", FIELD(font_family), std::string(120, 'f')},
        {"\"font_family\": \"" + long_family + "\"", FIELD(font_family), "Primed Sans"},
        {"\"font_family\": \"Raw\tTab\"", FIELD(font_family), "Primed Sans"},
        {"\"font_family\": \"Del\x7f\"", FIELD(font_family), "Primed Sans"},
        {R"("font_family": "A \"B\" \\C")", FIELD(font_family), "A \"B\" \\C"},
        {R"("font_scale": 120)", FIELD(font_scale), "120"},
        {R"("font_scale": 500)", FIELD(font_scale), "200"},
        {R"("font_scale": 10)", FIELD(font_scale), "70"},
        {R"("font_scale": big)", FIELD(font_scale), "150"},
        {R"("archive_format": "tar.xz")", FIELD(archive_format), "tar.xz"},
        {R"("archive_format": "7z")", FIELD(archive_format), "7z"},
        {R"("archive_format": "TAR.GZ")", FIELD(archive_format), "zip"},
        {R"("archive_format": "rar")", FIELD(archive_format), "zip"},
        {R"("archive_format": "")", FIELD(archive_format), "zip"},
        {R"("archive_view_w": 201)", FIELD(archive_view_w), "201"},
        {R"("archive_view_w": 200)", FIELD(archive_view_w), "0"},
        {R"("archive_view_h": 19999)", FIELD(archive_view_h), "19999"},
        {R"("archive_view_h": 20000)", FIELD(archive_view_h), "0"},
        {R"("hex_view_w": 200)", FIELD(hex_view_w), "0"},
        {R"("hex_view_w": 201)", FIELD(hex_view_w), "201"},
        {R"("hex_view_h": -300)", FIELD(hex_view_h), "0"},
        {R"("hex_view_h": wide)", FIELD(hex_view_h), "0"},
        {R"("col_w_name": 40)", FIELD(col_w_name), "40"},
        {R"("col_w_size": 39)", FIELD(col_w_size), "0"},
        {R"("col_w_size": 900)", FIELD(col_w_size), "900"},
        {R"("col_w_type": 901)", FIELD(col_w_type), "0"},
        {R"("col_w_modified": 250)", FIELD(col_w_modified), "250"},
        {R"("col_w_created": 41)", FIELD(col_w_created), "41"},
        {R"("col_w_permissions": 0)", FIELD(col_w_permissions), "0"},
        {R"("col_w_owner": 899)", FIELD(col_w_owner), "899"},
        {R"("col_w_group": 77)", FIELD(col_w_group), "77"},
    };
#undef FIELD
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const Settings loaded = load_over(primed(), "{\n  " + c.file + "\n}\n");
        EXPECT_EQ(c.field(loaded), c.expected);
    }
}

TEST_F(SettingsTest, EmptyBracesResetOnlyWhatMustBeReset) {
    Settings expected = primed();
    expected.left_path.clear();
    expected.right_path.clear();
    expected.left_sort = {};
    expected.right_sort = {};
    expected.font_family.clear(); // a missing string reads as empty, which is acceptable
    expected.archive_view_w = expected.archive_view_h = expected.hex_view_w = expected.hex_view_h = 0;
    expected.col_w_name = expected.col_w_size = expected.col_w_type = expected.col_w_modified = 0;
    expected.col_w_created = expected.col_w_permissions = expected.col_w_owner = expected.col_w_group = 0;
    EXPECT_EQ(load_over(primed(), "{}"), expected);
    // Over the defaults, nothing changes at all.
    EXPECT_EQ(load_over(Settings{}, "{}"), Settings{});
}

TEST_F(SettingsTest, EdgeCasesFromDefaults) {
    struct Case {
        std::string file;
        std::function<bool(const Settings&)> holds;
        const char* what;
    };
    const std::vector<Case> cases = {
        {R"({"theme": "sepia"})", [](const Settings& s) { return s.theme == "light"; }, "theme keeps light"},
        {R"({"default_conflict": "whatever"})",
         [](const Settings& s) { return s.default_conflict == ConflictAction::Ask; },
         "unknown conflict asks"},
        {R"({"thread_count": 99, "font_scale": 500})",
         [](const Settings& s) { return s.thread_count == 16 && s.font_scale == 200; }, "upper clamps"},
        {R"({"thread_count": -3, "font_scale": 10})",
         [](const Settings& s) { return s.thread_count == 0 && s.font_scale == 70; }, "lower clamps"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_TRUE(c.holds(load_over(Settings{}, c.file)));
    }
}

TEST_F(SettingsTest, PanePathsMustNameAnExistingFolder) {
    const std::string dir = m_root.sub("real dir");
    make_dir(dir);
    const std::string file = m_root.sub("plain file");
    write_file(file, "x");
    const std::string link = m_root.sub("link to dir");
    ASSERT_EQ(symlink(dir.c_str(), link.c_str()), 0);
    // A folder that vanished since the save loads as empty, so the pane opens its default folder.
    const std::string gone = m_root.sub("gone");
    make_dir(gone);
    record().left_path = gone;
    record().right_path = dir;
    ASSERT_TRUE(SettingsStore::instance().save());
    rmdir(gone.c_str());
    record() = Settings{};
    SettingsStore::instance().load();
    EXPECT_EQ(SettingsStore::instance().get().left_path, "");
    EXPECT_EQ(SettingsStore::instance().get().right_path, dir);

    struct Case {
        std::string value;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {dir, dir},           {link, link}, {file, ""}, {gone, ""},
        {"relative/dir", ""}, {"", ""},     {"/", "/"}, {dir + "/", dir + "/"},
    };
    auto escape = [](const std::string& s) {
        std::string out;
        for (char ch : s) {
            if (ch == '"' || ch == '\\') out += '\\';
            out += ch;
        }
        return out;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        const std::string text =
            "{\"left_path\": \"" + escape(c.value) + "\", \"right_path\": \"" + escape(c.value) + "\"}";
        const Settings loaded = load_over(primed(), text);
        EXPECT_EQ(loaded.left_path, c.expected);
        EXPECT_EQ(loaded.right_path, c.expected);
    }
}

TEST_F(SettingsTest, HandWrittenFilesLoadTheSame) {
    const std::string dir = m_root.sub("hand");
    make_dir(dir);
    struct Case {
        const char* what;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"one line, no blanks",
         "{\"theme\":\"dark\",\"thread_count\":4,\"show_hidden\":false,\"left_path\":\"" + dir +
             "\",\"left_sort_key\":\"size\",\"left_sort_asc\":false,\"col_w_size\":120}"},
        {"other order, tabs, CRLF and unknown keys",
         "{\r\n\t\"col_w_size\":\t120 ,\r\n\t\"unknown\": [1, 2],\r\n\t\"left_sort_asc\" :\tfalse\r\n,\t"
         "\"left_sort_key\" : \"size\",\r\n\t\"left_path\": \"" +
             dir +
             "\",\r\n\t\"show_hidden\": false,\r\n\t\"thread_count\": 4,\r\n\t\"theme\": \"dark\"\r\n}\r\n"},
        {"last value before the brace", "{\"theme\": \"dark\", \"thread_count\": 4, \"show_hidden\": false, "
                                        "\"left_path\": \"" +
                                            dir +
                                            "\", \"left_sort_key\": \"size\", \"left_sort_asc\": false, "
                                            "\"col_w_size\": 120}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Settings s = load_over(Settings{}, c.text);
        EXPECT_EQ(s.theme, "dark");
        EXPECT_EQ(s.thread_count, 4);
        EXPECT_FALSE(s.show_hidden);
        EXPECT_EQ(s.left_path, dir);
        EXPECT_EQ(s.left_sort.key, SortKey::Size);
        EXPECT_FALSE(s.left_sort.ascending);
        EXPECT_EQ(s.col_w_size, 120);
    }
}

TEST_F(SettingsTest, UnreadableOrMissingFileChangesNothing) {
    record() = primed();
    SettingsStore::instance().load(); // no file yet
    EXPECT_EQ(SettingsStore::instance().get(), primed());
    make_dir(path()); // a directory where the file should be
    SettingsStore::instance().load();
    EXPECT_EQ(SettingsStore::instance().get(), primed());
}

TEST_F(SettingsTest, ATruncatedStringReadsAsEmpty) {
    // The closing quote is missing: the value counts as empty, never as the rest of the file.
    const Settings s = load_over(primed(), "{\"theme\": \"dark\", \"font_family\": \"Unclosed\\\"}");
    EXPECT_EQ(s.font_family, "");
    EXPECT_EQ(s.theme, "dark");
}

// ---- never a half-written file ----

TEST_F(SettingsTest, SaveIntoAnUnwritableDirectoryLeavesTheOldFile) {
    write_file(path(), "old settings");
    const std::string report = in_child([] {
        if (!testsupport::drop_to_nobody()) return std::string("cannot drop privileges");
        SettingsStore::instance().mutable_get().theme = "dark";
        return std::string(SettingsStore::instance().save() ? "save reported success" : "");
    });
    EXPECT_EQ(report, "");
    EXPECT_EQ(read_file(path()), "old settings");
    EXPECT_FALSE(exists(path() + ".tmp"));
}

TEST_F(SettingsTest, SaveThatCannotBeWrittenCompletelyLeavesTheOldFile) {
    write_file(path(), "old settings");
    // Every write to the temporary file fails with "no space left".
    ASSERT_EQ(symlink("/dev/full", (path() + ".tmp").c_str()), 0);
    EXPECT_FALSE(SettingsStore::instance().save());
    EXPECT_EQ(read_file(path()), "old settings");
    EXPECT_FALSE(exists(path() + ".tmp"));
}

TEST_F(SettingsTest, FailedRenameRemovesTheTemporaryFile) {
    make_dir(path()); // rename cannot replace a directory with a file
    EXPECT_FALSE(SettingsStore::instance().save());
    EXPECT_FALSE(exists(path() + ".tmp"));
}

TEST_F(SettingsTest, StaleTemporaryFileFromACrashIsReplaced) {
    write_file(path() + ".tmp", std::string(100000, 'x'));
    ASSERT_TRUE(SettingsStore::instance().save());
    EXPECT_EQ(read_file(path()), kDefaultFile);
    EXPECT_FALSE(exists(path() + ".tmp"));
}

// ---- columns ----

TEST_F(SettingsTest, ColumnFlags) {
    struct Case {
        ColumnId id;
        Action toggle;
        bool Settings::*flag;
    };
    const std::vector<Case> cases = {
        {ColumnId::Size, Action::ToggleColSize, &Settings::show_size},
        {ColumnId::Type, Action::ToggleColType, &Settings::show_type},
        {ColumnId::Modified, Action::ToggleColModified, &Settings::show_modified},
        {ColumnId::Created, Action::ToggleColCreated, &Settings::show_created},
        {ColumnId::Permissions, Action::ToggleColPermissions, &Settings::show_permissions},
        {ColumnId::Owner, Action::ToggleColOwner, &Settings::show_owner},
        {ColumnId::Group, Action::ToggleColGroup, &Settings::show_group},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(action_name(c.toggle));
        Settings s;
        EXPECT_EQ(column_enabled(s, c.id), s.*c.flag);
        for (bool on : {true, false}) {
            set_column_enabled(s, c.id, on);
            EXPECT_EQ(s.*c.flag, on);
            EXPECT_EQ(column_enabled(s, c.id), on);
            // No other column moves.
            Settings other = s;
            other.*c.flag = !on;
            set_column_enabled(other, c.id, on);
            EXPECT_EQ(other, s);
        }
        EXPECT_EQ(column_for_action(c.toggle), std::optional<ColumnId>(c.id));
    }
    int mapped = 0;
    for (int v = 0; v < kActionCount; ++v) {
        if (column_for_action(static_cast<Action>(v))) ++mapped;
    }
    EXPECT_EQ(mapped, 7);
    EXPECT_FALSE(column_for_action(Action::ToggleHidden).has_value());
    EXPECT_FALSE(column_for_action(Action::COUNT_).has_value());
}

} // namespace
