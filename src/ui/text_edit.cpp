#include "ui/text_edit.h"

namespace text_edit {

namespace {

bool is_continuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

} // namespace

size_t prev_boundary(std::string_view text, size_t caret) {
    if (caret > text.size()) return text.size();
    if (caret == 0) return 0;
    size_t i = caret - 1;
    while (i > 0 && is_continuation(static_cast<unsigned char>(text[i])))
        --i;
    return i;
}

size_t next_boundary(std::string_view text, size_t caret) {
    if (caret >= text.size()) return text.size();
    size_t i = caret + 1;
    while (i < text.size() && is_continuation(static_cast<unsigned char>(text[i])))
        ++i;
    return i;
}

void insert(std::string& text, size_t& caret, std::string_view piece) {
    if (caret > text.size()) caret = text.size();
    text.insert(caret, piece);
    caret += piece.size();
}

bool backspace(std::string& text, size_t& caret) {
    if (caret > text.size()) caret = text.size();
    if (caret == 0) return false;
    size_t start = prev_boundary(text, caret);
    text.erase(start, caret - start);
    caret = start;
    return true;
}

bool delete_forward(std::string& text, size_t caret) {
    if (caret >= text.size()) return false;
    size_t end = next_boundary(text, caret);
    text.erase(caret, end - caret);
    return true;
}

std::string utf8_of(uint32_t cp) {
    std::string out;
    if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return out;
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
    return out;
}

} // namespace text_edit
