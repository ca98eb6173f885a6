#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Byte-oriented string and path helpers. Strings hold UTF-8 or arbitrary bytes; nothing here looks at
// the locale, so results are the same in every language and on every machine.
namespace su {

// A-Z turned into a-z; every other byte (including UTF-8 sequences) unchanged.
std::string lower_ascii(std::string s);

bool starts_with(std::string_view s, std::string_view prefix);
bool ends_with(std::string_view s, std::string_view suffix);

// Last path component ("/a/b/" gives "b", "/" gives "/").
std::string basename_of(std::string_view path);
// Directory part ("/a" gives "/", "abc" gives "", "/" gives "").
std::string parent_of(std::string_view path);
// dir + "/" + name without doubling a trailing slash of dir; no other normalisation.
std::string join_path(std::string_view dir, std::string_view name);
// An absolute path without ".", "..", repeated or trailing "/" ("/a/b/../c/" gives "/a/c"); ".." at the
// root stays at the root. Purely textual: links are not followed.
std::string normalize_path(std::string_view path);
// Lower-case text after the last dot of a bare name; empty for "name", ".hidden" and "name.".
std::string extension_of(std::string_view name);

// Longest prefix of at most max_bytes bytes that does not end inside a multi-byte character.
std::string truncate_utf8(std::string_view s, uint64_t max_bytes);
bool is_valid_utf8(std::string_view s);
// Every byte that does not belong to a well-formed sequence becomes U+FFFD.
std::string sanitize_utf8(std::string_view s);

} // namespace su
