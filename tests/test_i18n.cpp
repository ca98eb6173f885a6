#include "base/i18n.h"
#include "base/i18n_data.h"

#include "child.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// The 44 interface languages in table order with direction and conventions, written out
// independently of the implementation's tables.
struct Expected {
    const char* code;
    bool rtl;
    const char* decimal;
    const char* group;
    const char* date;
};
const char* const NNBSP = "\xE2\x80\xAF"; // U+202F

const std::vector<Expected> kExpected = {
    {"ar", true, ".", ",", "%d/%m/%y"},    {"bg", false, ",", "", "%d.%m.%y"},
    {"bn", false, ".", ",", "%d/%m/%y"},   {"ca", false, ",", ".", "%d/%m/%y"},
    {"cs", false, ",", NNBSP, "%d.%m.%y"}, {"da", false, ",", ".", "%d-%m-%y"},
    {"de", false, ",", ".", "%d.%m.%y"},   {"el", false, ",", ".", "%d/%m/%y"},
    {"en", false, ".", ",", "%m/%d/%y"},   {"es", false, ",", ".", "%d/%m/%y"},
    {"fa", true, ".", ",", "%y/%m/%d"},    {"fi", false, ",", NNBSP, "%d.%m.%y"},
    {"fr", false, ",", NNBSP, "%d/%m/%y"}, {"he", true, ".", ",", "%d/%m/%y"},
    {"hi", false, ".", ",", "%d/%m/%y"},   {"hr", false, ",", ".", "%d.%m.%y"},
    {"hu", false, ",", ".", "%y-%m-%d"},   {"id", false, ",", ".", "%d/%m/%y"},
    {"it", false, ",", ".", "%d/%m/%y"},   {"ja", false, ".", ",", "%y/%m/%d"},
    {"ko", false, ".", ",", "%y/%m/%d"},   {"lt", false, ",", ".", "%y-%m-%d"},
    {"lv", false, ",", NNBSP, "%y.%m.%d"}, {"ms", false, ".", ",", "%d/%m/%y"},
    {"nb", false, ",", NNBSP, "%d.%m.%y"}, {"ne", false, ".", ",", "%y/%m/%d"},
    {"nl", false, ",", ".", "%d-%m-%y"},   {"pl", false, ",", NNBSP, "%d.%m.%y"},
    {"pt", false, ",", "", "%d/%m/%y"},    {"ro", false, ",", ".", "%d.%m.%y"},
    {"ru", false, ",", NNBSP, "%d.%m.%y"}, {"sk", false, ",", NNBSP, "%d.%m.%y"},
    {"sl", false, ",", ".", "%d.%m.%y"},   {"sr", false, ",", "", "%d.%m.%y"},
    {"sv", false, ",", NNBSP, "%y-%m-%d"}, {"sw", false, ".", ",", "%d/%m/%y"},
    {"th", false, ".", ",", "%d/%m/%y"},   {"tl", false, ".", ",", "%m/%d/%y"},
    {"tr", false, ",", ".", "%d-%m-%y"},   {"uk", false, ",", NNBSP, "%d.%m.%y"},
    {"ur", true, ".", ",", "%d/%m/%y"},    {"vi", false, ",", ".", "%d/%m/%y"},
    {"zh", false, ".", ",", "%y/%m/%d"},   {"zh_TW", false, ".", ",", "%y/%m/%d"},
};

int table_index(const std::string& code) {
    for (size_t i = 0; i < kExpected.size(); ++i)
        if (code == kExpected[i].code) return static_cast<int>(i);
    return -1;
}

// The singleton is shared by every test; each starts from English and leaves it so.
class I18nTest : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset() {
        I18n::instance().set_language("en");
        I18n::instance().set_ui_font("");
    }
};

TEST_F(I18nTest, EnglishTextsByKey) {
    struct Case {
        const char* key;
        const char* text;
    };
    const std::vector<Case> cases = {
        {"dlg.error", "Caution"},
        {"dlg.delete_count", "Delete %d entries?"},
        {"progress.no_space", "Not enough space: %s free, %s needed"},
        {"status.copied_summary", "%d copied, %d failed"},
        {"action.go_to_path", "Go to folder…"},
        {"%s d ago", "%s d ago"},                         // first key in byte order
        {"unpack.where", "Where should it be unpacked?"}, // last key
        {"s", "s"},
        {"1 file", "1 file"},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(I18n::instance().tr(c.key), c.text) << c.key;
        EXPECT_STREQ(tr(c.key), c.text) << "free function, " << c.key;
    }
}

TEST_F(I18nTest, MissingKeysComeBackUnchanged) {
    // Near misses around real keys and keys beyond both ends of the sorted table.
    const std::vector<std::string> keys = {
        "no.such.key", "dlg.erro", "dlg.errorx", "dlg.error ", "DLG.ERROR",
        "!",           "~~~",      "zzz",        "%s",         "unpack.where."};
    for (const auto& key : keys) {
        const char* got = tr(key.c_str());
        EXPECT_EQ(got, key.c_str()) << "'" << key << "' must be returned as the same pointer";
    }
    const char* empty = "";
    EXPECT_EQ(tr(empty), empty);
    EXPECT_EQ(tr(nullptr), nullptr);
}

TEST_F(I18nTest, TrfFormatsTheTranslation) {
    EXPECT_EQ(trf("dlg.delete_count", 5), "Delete 5 entries?");
    EXPECT_EQ(trf("progress.no_space", "1.20 GB", "3.50 GB"),
              "Not enough space: 1.20 GB free, 3.50 GB needed");
    EXPECT_EQ(trf("status.copied_summary", 12, 0), "12 copied, 0 failed");
    EXPECT_EQ(trf("%s files", "1,234"), "1,234 files");
    EXPECT_EQ(trf("hex.changed", size_t{3}), "3 bytes changed");
    EXPECT_EQ(trf("dlg.error"), "Caution");
    // A missing key is used as the format itself.
    EXPECT_EQ(trf("%d of %s", 2, "x"), "2 of x");
    // Output far beyond any small fixed buffer.
    std::string long_name(20000, 'n');
    std::string stalled = trf("progress.stalled", long_name.c_str());
    EXPECT_EQ(stalled, "Waiting for " + long_name + " — the drive is not responding");
}

TEST_F(I18nTest, KeysAreSortedUniqueAndComplete) {
    ASSERT_EQ(i18n_data::KEY_COUNT, 299);
    for (int i = 1; i < i18n_data::KEY_COUNT; ++i)
        EXPECT_LT(std::strcmp(i18n_data::KEYS[i - 1], i18n_data::KEYS[i]), 0)
            << i18n_data::KEYS[i - 1] << " / " << i18n_data::KEYS[i];

    // Family sizes of the catalogue: a lost or misspelt key changes one of them.
    const std::map<std::string, int> families = {
        {"about", 5},     {"action", 39},   {"archive", 3},   {"bookmark", 8}, {"bridge", 9},   {"btn", 7},
        {"col", 8},       {"conflict", 13}, {"dlg", 30},      {"drive", 8},    {"elevate", 5},  {"err", 36},
        {"header", 1},    {"hex", 13},      {"label", 3},     {"licenses", 5}, {"log", 4},      {"menu", 9},
        {"nav", 1},       {"pane", 4},      {"progress", 17}, {"prop", 14},    {"sandbox", 13}, {"search", 1},
        {"settings", 18}, {"status", 7},    {"task", 7},      {"unpack", 1},
    };
    std::map<std::string, int> counted;
    int phrases = 0;
    for (int i = 0; i < i18n_data::KEY_COUNT; ++i) {
        std::string key = i18n_data::KEYS[i];
        auto dot = key.find('.');
        bool dotted = dot != std::string::npos && key.find(' ') == std::string::npos;
        if (dotted)
            ++counted[key.substr(0, dot)];
        else
            ++phrases;
    }
    EXPECT_EQ(counted, families);
    EXPECT_EQ(phrases, 10);
}

TEST_F(I18nTest, EveryLanguageHasEveryText) {
    ASSERT_GE(i18n_data::LANG_COUNT, 1);
    for (int l = 0; l < i18n_data::LANG_COUNT; ++l) {
        const auto& lang = i18n_data::LANGS[l];
        for (int i = 0; i < i18n_data::KEY_COUNT; ++i) {
            ASSERT_NE(lang.values[i], nullptr) << lang.code << " " << i18n_data::KEYS[i];
            EXPECT_GT(std::strlen(lang.values[i]), 0u) << lang.code << " " << i18n_data::KEYS[i];
        }
    }
}

TEST_F(I18nTest, AvailableListsBuiltInLanguagesInTableOrder) {
    auto langs = I18n::available();
    ASSERT_EQ(static_cast<int>(langs.size()), i18n_data::LANG_COUNT);
    int previous = -1;
    bool has_english = false;
    for (const auto& lang : langs) {
        int index = table_index(lang.code);
        ASSERT_GE(index, 0) << lang.code << " is not an interface language";
        EXPECT_GT(index, previous) << lang.code << " out of table order";
        previous = index;
        EXPECT_EQ(lang.rtl, kExpected[static_cast<size_t>(index)].rtl) << lang.code;
        EXPECT_FALSE(lang.native_name.empty()) << lang.code;
        if (lang.code == "en") {
            has_english = true;
            EXPECT_EQ(lang.native_name, "English");
        }
    }
    EXPECT_TRUE(has_english);
}

// Each built-in language carries its own name as the language dialog shows it.
TEST_F(I18nTest, NativeNamesOfBuiltInLanguages) {
    const std::map<std::string, std::string> names = {
        {"ar", "العربية"},      {"bg", "Български"},   {"bn", "বাংলা"},
        {"ca", "Català"},       {"cs", "Čeština"},     {"da", "Dansk"},
        {"de", "Deutsch"},      {"el", "Ελληνικά"},    {"en", "English"},
        {"es", "Español"},      {"fa", "فارسی"},       {"fi", "Suomi"},
        {"fr", "Français"},     {"he", "עברית"},       {"hi", "हिन्दी"},
        {"hr", "Hrvatski"},     {"hu", "Magyar"},      {"id", "Bahasa Indonesia"},
        {"it", "Italiano"},     {"ja", "日本語"},      {"ko", "한국어"},
        {"lt", "Lietuvių"},     {"lv", "Latviešu"},    {"ms", "Bahasa Melayu"},
        {"nb", "Norsk bokmål"}, {"ne", "नेपाली"},       {"nl", "Nederlands"},
        {"pl", "Polski"},       {"pt", "Português"},   {"ro", "Română"},
        {"ru", "Русский"},      {"sk", "Slovenčina"},  {"sl", "Slovenščina"},
        {"sr", "Српски"},       {"sv", "Svenska"},     {"sw", "Kiswahili"},
        {"th", "ไทย"},          {"tl", "Tagalog"},     {"tr", "Türkçe"},
        {"uk", "Українська"},   {"ur", "اردو"},        {"vi", "Tiếng Việt"},
        {"zh", "中文"},         {"zh_TW", "繁體中文"},
    };
    ASSERT_EQ(names.size(), 44u);
    for (const auto& lang : I18n::available()) {
        auto it = names.find(lang.code);
        ASSERT_NE(it, names.end()) << lang.code;
        EXPECT_EQ(lang.native_name, it->second) << lang.code;
    }
}

TEST_F(I18nTest, SetLanguageResolvesTheEffectiveCode) {
    struct Case {
        const char* setting;
        const char* language;
        const char* effective;
    };
    const std::vector<Case> cases = {
        {"xx", "xx", "en"}, {"de", "de", "de"}, {"zh_TW", "zh_TW", "zh_TW"}, {"pt_BR", "pt_BR", "en"},
        {"EN", "EN", "en"}, {"ar", "ar", "ar"}, {"en", "en", "en"},
    };
    for (const auto& c : cases) {
        I18n::instance().set_language(c.setting);
        EXPECT_EQ(I18n::instance().language(), c.language) << c.setting;
        EXPECT_EQ(I18n::instance().effective_language(), c.effective) << c.setting;
    }
    I18n::instance().set_language("");
    EXPECT_EQ(I18n::instance().language(), "auto");
    EXPECT_EQ(table_index(I18n::instance().effective_language()) >= 0, true);
}

TEST_F(I18nTest, UnknownLanguageShowsEnglish) {
    I18n::instance().set_language("xx");
    EXPECT_STREQ(tr("dlg.error"), "Caution");
    EXPECT_FALSE(I18n::instance().is_rtl());
    EXPECT_STREQ(I18n::instance().number_format().decimal, ".");
    EXPECT_STREQ(I18n::instance().number_format().group, ",");
    EXPECT_STREQ(I18n::instance().date_format(), "%m/%d/%y");
}

TEST_F(I18nTest, AllFortyFourLanguagesAreBuiltInInTableOrder) {
    auto langs = I18n::available();
    ASSERT_EQ(langs.size(), std::size(kExpected));
    for (size_t i = 0; i < langs.size(); ++i) {
        EXPECT_EQ(langs[i].code, kExpected[i].code) << i;
        EXPECT_EQ(langs[i].rtl, kExpected[i].rtl) << kExpected[i].code;
    }
}

// A translation file that copied the English table would still build; catch it by counting texts that
// are the same as the English one. A few are legitimately equal (OK, Terminal, units, loan words).
TEST_F(I18nTest, TranslationsAreNotEnglishCopies) {
    const i18n_data::LangEntry* en = nullptr;
    for (int l = 0; l < i18n_data::LANG_COUNT; ++l)
        if (std::string(i18n_data::LANGS[l].code) == "en") en = &i18n_data::LANGS[l];
    ASSERT_NE(en, nullptr);
    for (int l = 0; l < i18n_data::LANG_COUNT; ++l) {
        const auto& lang = i18n_data::LANGS[l];
        if (&lang == en) continue;
        int same = 0;
        for (int k = 0; k < i18n_data::KEY_COUNT; ++k)
            if (std::string(lang.values[k]) == en->values[k] && std::string(en->values[k]).size() > 2) ++same;
        EXPECT_LE(same, 12) << lang.code << " has " << same << " texts identical to English";
    }
}

TEST_F(I18nTest, DirectionNumbersAndDatesForAll44Languages) {
    ASSERT_EQ(kExpected.size(), 44u);
    for (const auto& e : kExpected) {
        I18n::instance().set_language(e.code);
        auto& cat = I18n::instance();
        EXPECT_EQ(cat.effective_language(), e.code);
        EXPECT_EQ(cat.is_rtl(), e.rtl) << e.code;
        EXPECT_STREQ(cat.number_format().decimal, e.decimal) << e.code;
        EXPECT_STREQ(cat.number_format().group, e.group) << e.code;
        EXPECT_STREQ(cat.date_format(), e.date) << e.code;
    }
}

TEST_F(I18nTest, FontFamilies) {
    auto& cat = I18n::instance();
    EXPECT_EQ(cat.ui_font_family(), "sans-serif");
    cat.set_ui_font("Noto Sans");
    EXPECT_EQ(cat.ui_font_family(), "Noto Sans");
    cat.set_ui_font("");
    EXPECT_EQ(cat.ui_font_family(), "sans-serif");
    EXPECT_EQ(I18n::mono_font_family(), "monospace");
}

// Background threads (drive refresh, file operations) translate while the UI thread may switch
// the language; every answer must be a complete text of some language, never a torn one.
TEST_F(I18nTest, TranslatesWhileTheLanguageChanges) {
    std::set<std::string> error_texts, delete_texts;
    for (int l = 0; l < i18n_data::LANG_COUNT; ++l) {
        I18n::instance().set_language(i18n_data::LANGS[l].code);
        error_texts.insert(tr("dlg.error"));
        delete_texts.insert(trf("dlg.delete_count", 3));
    }
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                if (error_texts.count(tr("dlg.error")) == 0) ++bad;
                if (delete_texts.count(trf("dlg.delete_count", 3)) == 0) ++bad;
                auto nf = I18n::instance().number_format();
                if (nf.decimal == nullptr || nf.group == nullptr || I18n::instance().date_format() == nullptr)
                    ++bad;
            }
        });
    }
    for (int round = 0; round < 50; ++round)
        for (const auto& e : kExpected)
            I18n::instance().set_language(e.code);
    stop = true;
    for (auto& t : readers)
        t.join();
    EXPECT_EQ(bad.load(), 0);
}

// The argument-reading conversions of a printf format, e.g. {"d", "s"}; "%%" reads nothing.
std::vector<std::string> conversions_of(const char* format) {
    std::vector<std::string> out;
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') continue;
        ++p;
        if (*p == '%') continue;
        while (*p != '\0' && std::strchr("-+ #0'", *p) != nullptr)
            ++p;
        while (*p >= '0' && *p <= '9')
            ++p;
        if (*p == '.') {
            ++p;
            while (*p >= '0' && *p <= '9')
                ++p;
        }
        std::string conv;
        while (*p != '\0' && std::strchr("hlLqjzt", *p) != nullptr)
            conv += *p++;
        if (*p == '\0') break;
        conv += *p;
        out.push_back(conv);
    }
    return out;
}

// Formats `key` in the current language with sample arguments chosen by the English text's
// conversions; false when the test does not know that argument list yet.
bool format_with_samples(const char* key, const std::vector<std::string>& convs, std::string* out) {
    using V = std::vector<std::string>;
    if (convs.empty())
        *out = trf(key);
    else if (convs == V{"s"})
        *out = trf(key, "ARG1");
    else if (convs == V{"d"})
        *out = trf(key, 4242);
    else if (convs == V{"zu"})
        *out = trf(key, size_t{4242});
    else if (convs == V{"s", "s"})
        *out = trf(key, "ARG1", "ARG2");
    else if (convs == V{"d", "d"})
        *out = trf(key, 4242, 5353);
    else
        return false;
    return true;
}

TEST_F(I18nTest, EveryTextOfEveryLanguageFormatsWithItsArguments) {
    std::vector<std::vector<std::string>> english(static_cast<size_t>(i18n_data::KEY_COUNT));
    I18n::instance().set_language("en");
    for (int i = 0; i < i18n_data::KEY_COUNT; ++i)
        english[static_cast<size_t>(i)] = conversions_of(tr(i18n_data::KEYS[i]));

    for (const auto& lang : I18n::available()) {
        I18n::instance().set_language(lang.code);
        for (int i = 0; i < i18n_data::KEY_COUNT; ++i) {
            const char* key = i18n_data::KEYS[i];
            const auto& convs = english[static_cast<size_t>(i)];
            EXPECT_EQ(conversions_of(tr(key)), convs) << lang.code << " " << key;
            std::string text;
            ASSERT_TRUE(format_with_samples(key, convs, &text))
                << key << ": add its argument list to format_with_samples";
            // Every argument must show up in the result.
            size_t ints = 0, strings = 0;
            for (const auto& c : convs)
                (c == "s" ? strings : ints)++;
            if (strings >= 1) {
                EXPECT_NE(text.find("ARG1"), std::string::npos) << lang.code << " " << key;
            }
            if (strings >= 2) {
                EXPECT_NE(text.find("ARG2"), std::string::npos) << lang.code << " " << key;
            }
            if (ints >= 1) {
                EXPECT_NE(text.find("4242"), std::string::npos) << lang.code << " " << key;
            }
            if (ints >= 2) {
                EXPECT_NE(text.find("5353"), std::string::npos) << lang.code << " " << key;
            }
        }
    }
}

// detect_system_language() reads the locale environment; each case runs in a child process
// with exactly the given variables so that neither the test runner's environment nor earlier
// cases leak in.
std::string detect_in_child(const std::map<std::string, std::string>& env) {
    return testsupport::in_child([&] {
        for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"})
            unsetenv(name);
        for (const auto& [name, value] : env)
            setenv(name.c_str(), value.c_str(), 1);
        std::string code = I18n::detect_system_language();
        I18n::instance().set_language("auto");
        return code + " " + I18n::instance().effective_language();
    });
}

TEST(I18nDetect, SystemLanguageFromTheEnvironment) {
    struct Case {
        std::map<std::string, std::string> env;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {{{"LANGUAGE", "pt_BR:en"}}, "pt"},
        {{{"LANGUAGE", "de:en"}}, "de"},
        {{{"LANG", "ja_JP.UTF-8"}}, "ja"},
        {{{"LANG", "pt_BR.UTF-8"}}, "pt"},
        {{{"LANG", "zh_TW.UTF-8"}}, "zh_TW"},
        {{{"LANG", "zh_CN.UTF-8"}}, "zh"},
        {{{"LANG", "C"}}, "en"},
        {{{"LANG", "POSIX"}}, "en"},
        {{}, "en"},
        {{{"LANGUAGE", "eo"}}, "en"},
        {{{"LANGUAGE", "eo:xx_YY:de"}}, "de"},
        {{{"LANG", "de_DE.UTF-8"}, {"LC_ALL", "fr_FR.UTF-8"}}, "fr"},
        {{{"LC_ALL", "fr_FR.UTF-8"}, {"LANGUAGE", "it"}}, "it"},
        {{{"LANGUAGE", ""}, {"LANG", "it_IT.UTF-8"}}, "it"},
        {{{"LC_MESSAGES", "sv_SE.UTF-8"}, {"LANG", "de_DE.UTF-8"}}, "sv"},
        {{{"LANG", "sr_RS@latin"}}, "sr"},
        {{{"LANG", "ca_ES.UTF-8@valencia"}}, "ca"},
        {{{"LANG", "nb_NO.UTF-8"}}, "nb"},
        {{{"LANG", "no_NO.UTF-8"}}, "nb"},
        {{{"LANG", "iw_IL.UTF-8"}}, "he"},
        {{{"LANG", "en_GB.UTF-8"}}, "en"},
        {{{"LANGUAGE", "ar_EG"}}, "ar"},
    };
    for (const auto& c : cases) {
        std::string env_text;
        for (const auto& [name, value] : c.env)
            env_text += name + "=" + value + " ";
        EXPECT_EQ(detect_in_child(c.env), std::string(c.expected) + " " + c.expected) << env_text;
    }
}

TEST(I18nDetect, AutoFollowsTheEnvironmentOnEveryResolve) {
    // GLib caches the language list per thread but must notice a changed environment.
    const std::string result = testsupport::in_child([] {
        for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"})
            unsetenv(name);
        std::string seen;
        setenv("LANG", "de_DE.UTF-8", 1);
        I18n::instance().set_language("auto");
        seen += I18n::instance().effective_language() + " ";
        setenv("LANG", "ja_JP.UTF-8", 1);
        I18n::instance().set_language("auto");
        return seen + I18n::instance().effective_language() + " " + I18n::instance().language();
    });
    EXPECT_EQ(result, "de ja auto");
}

} // namespace
