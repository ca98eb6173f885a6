#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Byte-oriented editing of a UTF-8 one-line text with a byte caret that always rests on a character
// boundary. Shared by the path bar, the search bar and the dialogs' text fields.
namespace text_edit {

// The boundary before and after `caret`; a caret at either end stays.
size_t prev_boundary(std::string_view text, size_t caret);
size_t next_boundary(std::string_view text, size_t caret);

void insert(std::string& text, size_t& caret, std::string_view piece);
// Each returns whether the text changed.
bool backspace(std::string& text, size_t& caret);
bool delete_forward(std::string& text, size_t caret);

// The UTF-8 form of a code point; empty for values that are not characters.
std::string utf8_of(uint32_t code_point);
// Whether a key's character may go into a text: printable, so neither a control character nor DEL.
inline bool insertable(uint32_t code_point) {
    return code_point >= 32 && code_point != 127;
}

} // namespace text_edit
