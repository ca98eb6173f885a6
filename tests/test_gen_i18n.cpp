// The translation generator must refuse every source that would make trf() read arguments of
// the wrong type, or leave a language without a text; these run it on small faulty po folders.
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

using testsupport::TempDir;

const std::string kSource = TAVRIN_SOURCE_DIR;

struct GenResult {
    int status = -1;
    std::string errors;
    bool wrote = false;
    std::string output;
};

// Runs tools/gen_i18n.py on `po_dir`; output and messages land in `work`.
GenResult run_generator(const TempDir& work, const std::string& po_dir) {
    GenResult r;
    std::string out = work.sub("i18n_data.cpp");
    std::string err = work.sub("stderr.txt");
    std::string cmd = "python3 '" + kSource + "/tools/gen_i18n.py' --out '" + out + "' --po-dir '" + po_dir +
                      "' >/dev/null 2>'" + err + "'";
    int raw = std::system(cmd.c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.errors = testsupport::read_file(err);
    r.wrote = testsupport::exists(out);
    if (r.wrote) r.output = testsupport::read_file(out);
    return r;
}

std::string real_en_po() {
    return testsupport::read_file(kSource + "/po/en.po");
}

std::string replace_once(std::string text, const std::string& from, const std::string& to) {
    auto pos = text.find(from);
    EXPECT_NE(pos, std::string::npos) << "fixture text not found: " << from;
    if (pos != std::string::npos) text.replace(pos, from.size(), to);
    return text;
}

// One entry of a po file, with the comment line that the real files carry.
std::string entry(const std::string& key, const std::string& text) {
    return "#. context\nmsgid \"" + key + "\"\nmsgstr \"" + text + "\"\n\n";
}

struct Fault {
    const char* name;
    std::function<std::string(const std::string&)> make_de; // from the English source
    std::vector<std::string> expected;                      // all must occur in the messages
};

TEST(GenI18n, RefusesFaultyTranslations) {
    const std::string en = real_en_po();
    const std::vector<Fault> faults = {
        {"missing key",
         [](const std::string& s) {
             return replace_once(s, "msgid \"dlg.error\"\nmsgstr \"Caution\"\n", "");
         },
         {"de.po", "missing key 'dlg.error'"}},
        {"unknown key",
         [](const std::string& s) { return s + entry("dlg.no_such_thing", "Nichts"); },
         {"de.po", "dlg.no_such_thing", "unknown key"}},
        {"duplicate key",
         [](const std::string& s) { return s + entry("btn.ok", "OK"); },
         {"de.po", "btn.ok", "duplicate key"}},
        {"empty text",
         [](const std::string& s) {
             return replace_once(s, "msgid \"btn.close\"\nmsgstr \"Close\"",
                                 "msgid \"btn.close\"\nmsgstr \"\"");
         },
         {"de.po", "btn.close", "empty text"}},
        {"%d turned into %s",
         [](const std::string& s) {
             return replace_once(s, "msgstr \"Delete %d entries?\"", "msgstr \"%s Einträge löschen?\"");
         },
         {"de.po", "dlg.delete_count", "conversions"}},
        {"extra conversion",
         [](const std::string& s) {
             return replace_once(s, "msgstr \"%d selected\"", "msgstr \"%d ausgewählt (%s)\"");
         },
         {"de.po", "status.selected", "conversions"}},
        {"dropped conversion",
         [](const std::string& s) {
             return replace_once(s, "msgstr \"Not enough space: %s free, %s needed\"",
                                 "msgstr \"Nicht genug Platz: %s frei\"");
         },
         {"de.po", "progress.no_space"}},
        {"length modifier changed",
         [](const std::string& s) {
             return replace_once(s, "msgstr \"%zu bytes changed\"", "msgstr \"%d Bytes geändert\"");
         },
         {"de.po", "hex.changed"}},
        {"stray percent sign forms a conversion",
         [](const std::string& s) {
             return replace_once(s, "msgstr \"almost done\"", "msgstr \"zu 99% often fertig\"");
         },
         {"de.po", "progress.almost_done"}},
        {"invalid conversion",
         [](const std::string& s) { return replace_once(s, "msgstr \"Skip\"", "msgstr \"100%\""); },
         {"de.po", "conflict.skip", "invalid printf conversion"}},
        {"%n",
         [](const std::string& s) { return replace_once(s, "msgstr \"Skip\"", "msgstr \"x%n\""); },
         {"de.po", "conflict.skip", "%n"}},
        {"msgctxt",
         [](const std::string& s) {
             return replace_once(s, "msgid \"btn.ok\"", "msgctxt \"button\"\nmsgid \"btn.ok\"");
         },
         {"de.po", "msgctxt"}},
        {"fuzzy entry",
         [](const std::string& s) {
             return replace_once(s, "msgid \"btn.ok\"", "#, fuzzy\nmsgid \"btn.ok\"");
         },
         {"de.po", "btn.ok", "fuzzy"}},
        {"unknown escape",
         [](const std::string& s) { return replace_once(s, "msgstr \"Skip\"", "msgstr \"a\\qb\""); },
         {"de.po", "escape"}},
        {"broken UTF-8",
         [](const std::string& s) { return replace_once(s, "msgstr \"Skip\"", "msgstr \"\xC3\x28\""); },
         {"de.po", "UTF-8"}},
    };
    for (const auto& fault : faults) {
        TempDir work("gen_i18n");
        testsupport::make_dir(work.sub("po"));
        testsupport::write_file(work.sub("po/en.po"), en);
        testsupport::write_file(work.sub("po/de.po"), fault.make_de(en));
        GenResult r = run_generator(work, work.sub("po"));
        EXPECT_NE(r.status, 0) << fault.name << " was accepted";
        EXPECT_FALSE(r.wrote) << fault.name << ": output written despite the fault";
        for (const auto& want : fault.expected)
            EXPECT_NE(r.errors.find(want), std::string::npos)
                << fault.name << ": message lacks '" << want << "':\n"
                << r.errors;
    }
}

// A small reference catalogue exercises conversions the real texts do not use.
TEST(GenI18n, ComparesConversionsInOrderIncludingPercentSigns) {
    const std::string en = entry("mixed", "%s has %d items") + entry("pct", "%d %% done") +
                           entry("wide", "%lld of %lld, %5.1f MB/s, %02d:%02d, %x, %u, %ld, %.*s") +
                           entry("plain", "Plain");
    struct Case {
        const char* name;
        std::string de;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"%x became %X",
         entry("mixed", "%s hat %d Elemente") + entry("pct", "%d %% fertig") +
             entry("wide", "%lld von %lld, %.2f MB/s, %2d:%2d, %X?, %u, %ld, %.*s") +
             entry("plain", "Schlicht"),
         false},
        {"flags, widths and precisions may differ",
         entry("mixed", "%-10s hat %5d Elemente") + entry("pct", "%3d %% fertig") +
             entry("wide", "%lld von %lld, %.2f MB/s, %2d:%2d, %#x, %u, %ld, %.*s") +
             entry("plain", "Schlicht"),
         true},
        {"swapped order",
         entry("mixed", "%d Elemente in %s") + entry("pct", "%d %% fertig") +
             entry("wide", "%lld von %lld, %5.1f MB/s, %02d:%02d, %x, %u, %ld, %.*s") +
             entry("plain", "Schlicht"),
         false},
        {"dropped %%",
         entry("mixed", "%s hat %d Elemente") + entry("pct", "%d fertig") +
             entry("wide", "%lld von %lld, %5.1f MB/s, %02d:%02d, %x, %u, %ld, %.*s") +
             entry("plain", "Schlicht"),
         false},
        {"%lld shortened to %ld",
         entry("mixed", "%s hat %d Elemente") + entry("pct", "%d %% fertig") +
             entry("wide", "%ld von %lld, %5.1f MB/s, %02d:%02d, %x, %u, %ld, %.*s") +
             entry("plain", "Schlicht"),
         false},
        {"star precision dropped",
         entry("mixed", "%s hat %d Elemente") + entry("pct", "%d %% fertig") +
             entry("wide", "%lld von %lld, %5.1f MB/s, %02d:%02d, %x, %u, %ld, %.3s") +
             entry("plain", "Schlicht"),
         false},
        {"conversion added to a plain text",
         entry("mixed", "%s hat %d Elemente") + entry("pct", "%d %% fertig") +
             entry("wide", "%lld von %lld, %5.1f MB/s, %02d:%02d, %x, %u, %ld, %.*s") + entry("plain", "%s"),
         false},
    };
    for (const auto& c : cases) {
        TempDir work("gen_i18n");
        testsupport::make_dir(work.sub("po"));
        testsupport::write_file(work.sub("po/en.po"), en);
        testsupport::write_file(work.sub("po/de.po"), c.de);
        GenResult r = run_generator(work, work.sub("po"));
        EXPECT_EQ(r.status == 0, c.accepted) << c.name << "\n" << r.errors;
        EXPECT_EQ(r.wrote, c.accepted) << c.name;
    }
}

TEST(GenI18n, RefusesUnknownLanguageAndMissingReference) {
    {
        TempDir work("gen_i18n");
        testsupport::make_dir(work.sub("po"));
        testsupport::write_file(work.sub("po/en.po"), real_en_po());
        testsupport::write_file(work.sub("po/xx.po"), real_en_po());
        GenResult r = run_generator(work, work.sub("po"));
        EXPECT_NE(r.status, 0);
        EXPECT_NE(r.errors.find("unknown language code 'xx'"), std::string::npos) << r.errors;
    }
    {
        TempDir work("gen_i18n");
        testsupport::make_dir(work.sub("po"));
        testsupport::write_file(work.sub("po/de.po"), real_en_po());
        GenResult r = run_generator(work, work.sub("po"));
        EXPECT_NE(r.status, 0);
        EXPECT_NE(r.errors.find("en.po"), std::string::npos) << r.errors;
        EXPECT_FALSE(r.wrote);
    }
}

TEST(GenI18n, AcceptsCleanSourcesAndKeepsTableOrder) {
    TempDir work("gen_i18n");
    testsupport::make_dir(work.sub("po"));
    const std::string en = real_en_po();
    testsupport::write_file(work.sub("po/en.po"), en);
    // Written in an order unlike the table's, with continuation lines and escapes in one text.
    testsupport::write_file(work.sub("po/zh_TW.po"), en);
    testsupport::write_file(
        work.sub("po/ar.po"),
        replace_once(en, "msgstr \"Caution\"", "msgstr \"\"\n\"Say \\\"hi\\\"\\n\"\n\"\\tback\\\\slash\""));
    testsupport::write_file(work.sub("po/de.po"), en);
    testsupport::write_file(work.sub("po/README.txt"), "not a translation\n");
    GenResult r = run_generator(work, work.sub("po"));
    ASSERT_EQ(r.status, 0) << r.errors;
    ASSERT_TRUE(r.wrote);
    EXPECT_EQ(r.errors, "");

    auto ar = r.output.find("{\"ar\", \"العربية\", true, kValues_ar}");
    auto de = r.output.find("{\"de\", \"Deutsch\", false, kValues_de}");
    auto en_pos = r.output.find("{\"en\", \"English\", false, kValues_en}");
    auto zh = r.output.find("{\"zh_TW\", \"繁體中文\", false, kValues_zh_TW}");
    ASSERT_NE(ar, std::string::npos) << r.output.substr(r.output.size() - 400);
    ASSERT_NE(de, std::string::npos);
    ASSERT_NE(en_pos, std::string::npos);
    ASSERT_NE(zh, std::string::npos);
    EXPECT_LT(ar, de);
    EXPECT_LT(de, en_pos);
    EXPECT_LT(en_pos, zh);
    // The continued, escaped text arrives as one C string literal.
    EXPECT_NE(r.output.find("\"Say \\\"hi\\\"\\012\\011back\\\\slash\","), std::string::npos);
    // Keys are emitted in byte order: the phrase keys starting with '%' come first.
    EXPECT_LT(r.output.find("\"%s d ago\","), r.output.find("\"about.disclaimer\","));
    EXPECT_LT(r.output.find("\"1 file\","), r.output.find("\"about.disclaimer\","));
    EXPECT_LT(r.output.find("\"unpack.where\","), r.output.find("namespace {"));
}

} // namespace
