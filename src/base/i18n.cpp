#include "base/i18n.h"

#include "base/i18n_data.h"

#include <glib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

// U+202F NARROW NO-BREAK SPACE, the digit group separator of French, Russian and others.
constexpr const char kNarrowNbsp[] = "\u202F";

struct LocaleConventions {
    const char* code;
    bool rtl;
    const char* decimal;
    const char* group;
    const char* date; // strftime pattern of the short date, two-digit years
};

// All 44 interface languages in table order, whether or not their texts are built in, so that
// direction, numbers and dates follow the chosen language in every case.
constexpr LocaleConventions kLocales[] = {
    {"ar", true, ".", ",", "%d/%m/%y"},          {"bg", false, ",", "", "%d.%m.%y"},
    {"bn", false, ".", ",", "%d/%m/%y"},         {"ca", false, ",", ".", "%d/%m/%y"},
    {"cs", false, ",", kNarrowNbsp, "%d.%m.%y"}, {"da", false, ",", ".", "%d-%m-%y"},
    {"de", false, ",", ".", "%d.%m.%y"},         {"el", false, ",", ".", "%d/%m/%y"},
    {"en", false, ".", ",", "%m/%d/%y"},         {"es", false, ",", ".", "%d/%m/%y"},
    {"fa", true, ".", ",", "%y/%m/%d"},          {"fi", false, ",", kNarrowNbsp, "%d.%m.%y"},
    {"fr", false, ",", kNarrowNbsp, "%d/%m/%y"}, {"he", true, ".", ",", "%d/%m/%y"},
    {"hi", false, ".", ",", "%d/%m/%y"},         {"hr", false, ",", ".", "%d.%m.%y"},
    {"hu", false, ",", ".", "%y-%m-%d"},         {"id", false, ",", ".", "%d/%m/%y"},
    {"it", false, ",", ".", "%d/%m/%y"},         {"ja", false, ".", ",", "%y/%m/%d"},
    {"ko", false, ".", ",", "%y/%m/%d"},         {"lt", false, ",", ".", "%y-%m-%d"},
    {"lv", false, ",", kNarrowNbsp, "%y.%m.%d"}, {"ms", false, ".", ",", "%d/%m/%y"},
    {"nb", false, ",", kNarrowNbsp, "%d.%m.%y"}, {"ne", false, ".", ",", "%y/%m/%d"},
    {"nl", false, ",", ".", "%d-%m-%y"},         {"pl", false, ",", kNarrowNbsp, "%d.%m.%y"},
    {"pt", false, ",", "", "%d/%m/%y"},          {"ro", false, ",", ".", "%d.%m.%y"},
    {"ru", false, ",", kNarrowNbsp, "%d.%m.%y"}, {"sk", false, ",", kNarrowNbsp, "%d.%m.%y"},
    {"sl", false, ",", ".", "%d.%m.%y"},         {"sr", false, ",", "", "%d.%m.%y"},
    {"sv", false, ",", kNarrowNbsp, "%y-%m-%d"}, {"sw", false, ".", ",", "%d/%m/%y"},
    {"th", false, ".", ",", "%d/%m/%y"},         {"tl", false, ".", ",", "%m/%d/%y"},
    {"tr", false, ",", ".", "%d-%m-%y"},         {"uk", false, ",", kNarrowNbsp, "%d.%m.%y"},
    {"ur", true, ".", ",", "%d/%m/%y"},          {"vi", false, ",", ".", "%d/%m/%y"},
    {"zh", false, ".", ",", "%y/%m/%d"},         {"zh_TW", false, ".", ",", "%y/%m/%d"},
};
constexpr int kLocaleCount = static_cast<int>(std::size(kLocales));
static_assert(kLocaleCount == 44);

// Old or alternative codes that locales still use for languages of the table.
constexpr std::pair<std::string_view, std::string_view> kAliases[] = {
    {"no", "nb"},
    {"iw", "he"},
    {"in", "id"},
    {"fil", "tl"},
};

int locale_index(std::string_view code) {
    for (int i = 0; i < kLocaleCount; ++i)
        if (code == kLocales[i].code) return i;
    return -1;
}

int english_locale_index() {
    static const int index = locale_index("en");
    return index;
}

int lang_index(std::string_view code) {
    for (int i = 0; i < i18n_data::LANG_COUNT; ++i)
        if (code == i18n_data::LANGS[i].code) return i;
    return -1;
}

// A code of the table for one language name ("pt_BR", "zh_TW", "sr"), or empty.
std::string_view match_code(std::string_view name) {
    int i = locale_index(name);
    if (i >= 0) return kLocales[i].code;
    for (const auto& [alias, code] : kAliases)
        if (name == alias) return code;
    return {};
}

} // namespace

I18n& I18n::instance() {
    static I18n catalogue;
    return catalogue;
}

I18n::I18n() {
    set_language("auto");
}

void I18n::set_language(const std::string& code) {
    std::string setting = code.empty() ? std::string("auto") : code;
    std::string effective = setting == "auto" ? detect_system_language() : setting;
    int loc = locale_index(effective);
    if (loc < 0) loc = english_locale_index();
    const char* resolved = kLocales[loc].code;

    // A language of the table whose texts are not built in shows the English texts, but keeps
    // its own direction, number and date conventions.
    int lang = lang_index(resolved);
    if (lang < 0) lang = lang_index("en");
    if (lang < 0) lang = 0;

    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_setting = std::move(setting);
        m_code = resolved;
    }
    m_rtl.store(kLocales[loc].rtl, std::memory_order_relaxed);
    m_locale_index.store(loc, std::memory_order_relaxed);
    m_lang_index.store(lang, std::memory_order_release);
}

std::string I18n::language() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_setting;
}

std::string I18n::effective_language() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_code;
}

const char* I18n::tr(const char* key) const {
    if (key == nullptr || key[0] == '\0') return key;
    const char* const* begin = i18n_data::KEYS;
    const char* const* end = begin + i18n_data::KEY_COUNT;
    const char* const* it =
        std::lower_bound(begin, end, key, [](const char* a, const char* b) { return std::strcmp(a, b) < 0; });
    if (it == end || std::strcmp(*it, key) != 0) return key;
    const auto& lang = i18n_data::LANGS[m_lang_index.load(std::memory_order_acquire)];
    return lang.values[it - begin];
}

std::string I18n::vtrf(const char* key, va_list args) const {
    const char* format = tr(key);
    if (format == nullptr) return {};
    va_list measure;
    va_copy(measure, args);
    int n = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (n < 0) return format;
    std::string out(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), format, args);
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string I18n::trf(const char* key, ...) const {
    va_list args;
    va_start(args, key);
    std::string out = vtrf(key, args);
    va_end(args);
    return out;
}

std::vector<LanguageInfo> I18n::available() {
    std::vector<LanguageInfo> out;
    out.reserve(static_cast<size_t>(i18n_data::LANG_COUNT));
    for (int i = 0; i < i18n_data::LANG_COUNT; ++i) {
        const auto& lang = i18n_data::LANGS[i];
        out.push_back({lang.code, lang.native_name, lang.rtl});
    }
    return out;
}

std::string I18n::detect_system_language() {
    const gchar* const* names = g_get_language_names();
    for (; names != nullptr && *names != nullptr; ++names) {
        std::string_view name = *names;
        if (name.empty() || name == "C") continue;
        name = name.substr(0, name.find('.'));
        name = name.substr(0, name.find('@'));
        if (auto code = match_code(name); !code.empty()) return std::string(code);
        if (auto underscore = name.find('_'); underscore != std::string_view::npos) {
            if (auto code = match_code(name.substr(0, underscore)); !code.empty()) return std::string(code);
        }
    }
    return "en";
}

I18n::NumberFormat I18n::number_format() const {
    const LocaleConventions& c = kLocales[m_locale_index.load(std::memory_order_relaxed)];
    return {c.decimal, c.group};
}

const char* I18n::date_format() const {
    return kLocales[m_locale_index.load(std::memory_order_relaxed)].date;
}

std::string I18n::ui_font_family() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_ui_font.empty() ? std::string("sans-serif") : m_ui_font;
}

void I18n::set_ui_font(const std::string& family) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_ui_font = family;
}

const char* tr(const char* key) {
    return I18n::instance().tr(key);
}

std::string trf(const char* key, ...) {
    va_list args;
    va_start(args, key);
    std::string out = I18n::instance().vtrf(key, args);
    va_end(args);
    return out;
}
