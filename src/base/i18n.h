#pragma once

#include <atomic>
#include <cstdarg>
#include <mutex>
#include <string>
#include <vector>

struct LanguageInfo {
    std::string code;
    std::string native_name;
    bool rtl = false;
};

// The translation catalogue. Texts are compiled in (i18n_data); tr() never allocates and may be
// called from any thread. The language and font are changed on the UI thread only.
class I18n {
public:
    struct NumberFormat {
        const char* decimal;
        const char* group; // empty: no digit grouping
    };

    static I18n& instance();

    // An empty code means "auto" (the system language). An unknown code keeps the setting
    // but resolves to English.
    void set_language(const std::string& code);
    std::string language() const;
    std::string effective_language() const;
    bool is_rtl() const { return m_rtl.load(std::memory_order_relaxed); }

    // The text for `key` in the effective language; an unknown key is returned as it is.
    const char* tr(const char* key) const;
    // tr(key) used as a printf format.
    std::string trf(const char* key, ...) const;
    std::string vtrf(const char* key, va_list args) const;

    // The languages whose translations are built in, in table order.
    static std::vector<LanguageInfo> available();
    // The code "auto" stands for: the first entry of the environment's language list that
    // names one of the 44 interface languages, else "en".
    static std::string detect_system_language();

    NumberFormat number_format() const;
    const char* date_format() const; // strftime pattern of the short date

    std::string ui_font_family() const;
    void set_ui_font(const std::string& family);
    static std::string mono_font_family() { return "monospace"; }

private:
    I18n();

    mutable std::mutex m_mutex; // guards the three strings below
    std::string m_setting;
    std::string m_code;
    std::string m_ui_font;
    std::atomic<bool> m_rtl{false};
    std::atomic<int> m_lang_index{0};   // into i18n_data::LANGS
    std::atomic<int> m_locale_index{0}; // into the 44-language table of i18n.cpp
};

const char* tr(const char* key);
std::string trf(const char* key, ...);
