#pragma once

// Translation tables generated at build time from po/*.po by tools/gen_i18n.py.

namespace i18n_data {

// Number of catalogue keys; every language supplies exactly this many texts.
inline constexpr int KEY_COUNT = 299;

// All keys in strict ascending strcmp order, so lookups can binary-search.
extern const char* const KEYS[KEY_COUNT];

struct LangEntry {
    const char* code;          // "de", "zh_TW", ...
    const char* native_name;   // the language's own name
    bool rtl;                  // written right to left
    const char* const* values; // KEY_COUNT texts in the order of KEYS
};

// The languages whose translations are built in, in the order of the 44-language table.
// English is always present.
extern const LangEntry LANGS[];
extern const int LANG_COUNT;

} // namespace i18n_data
