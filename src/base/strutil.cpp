#include "base/strutil.h"

namespace su {

namespace {

// Length of the sequence a lead byte announces, or 0 for a byte that cannot start one.
size_t sequence_length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    if ((lead & 0xF8) == 0xF0) return 4;
    return 0;
}

bool is_continuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// Length of the well-formed sequence starting at pos, or 0 when the bytes there are not one.
size_t valid_sequence_at(std::string_view s, size_t pos) {
    size_t len = sequence_length(static_cast<unsigned char>(s[pos]));
    if (len == 0 || len > s.size() - pos) return 0;
    for (size_t i = 1; i < len; ++i)
        if (!is_continuation(static_cast<unsigned char>(s[pos + i]))) return 0;
    return len;
}

} // namespace

std::string lower_ascii(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

bool starts_with(std::string_view s, std::string_view prefix) {
    return prefix.size() <= s.size() && s.compare(0, prefix.size(), prefix) == 0;
}

bool ends_with(std::string_view s, std::string_view suffix) {
    return suffix.size() <= s.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string basename_of(std::string_view path) {
    if (path == "/") return "/";
    size_t end = path.size();
    while (end > 1 && path[end - 1] == '/')
        --end;
    std::string_view kept = path.substr(0, end);
    size_t slash = kept.rfind('/');
    if (slash == std::string_view::npos) return std::string(kept);
    return std::string(kept.substr(slash + 1));
}

std::string parent_of(std::string_view path) {
    if (path.empty() || path == "/") return "";
    size_t end = path.size();
    while (end > 1 && path[end - 1] == '/')
        --end;
    // end - 1 is the last kept character; the separator we want lies at or before it.
    size_t slash = path.rfind('/', end - 1);
    if (slash == std::string_view::npos) return "";
    if (slash == 0) return "/";
    return std::string(path.substr(0, slash));
}

std::string normalize_path(std::string_view path) {
    std::string out;
    size_t i = 0;
    while (i < path.size()) {
        while (i < path.size() && path[i] == '/')
            ++i;
        size_t end = path.find('/', i);
        if (end == std::string_view::npos) end = path.size();
        std::string_view part = path.substr(i, end - i);
        i = end;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            size_t cut = out.rfind('/');
            out.resize(cut == std::string::npos ? 0 : cut);
            continue;
        }
        out.push_back('/');
        out.append(part);
    }
    return out.empty() ? std::string("/") : out;
}

std::string join_path(std::string_view dir, std::string_view name) {
    if (dir.empty()) return std::string(name);
    if (name.empty()) return std::string(dir);
    std::string out;
    out.reserve(dir.size() + name.size() + 1);
    out.append(dir);
    if (dir.back() != '/') out.push_back('/');
    out.append(name);
    return out;
}

std::string extension_of(std::string_view name) {
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) return "";
    return lower_ascii(std::string(name.substr(dot + 1)));
}

std::string truncate_utf8(std::string_view s, uint64_t max_bytes) {
    if (max_bytes >= s.size()) return std::string(s);
    size_t cut = static_cast<size_t>(max_bytes);
    while (cut > 0 && is_continuation(static_cast<unsigned char>(s[cut])))
        --cut;
    return std::string(s.substr(0, cut));
}

bool is_valid_utf8(std::string_view s) {
    size_t pos = 0;
    while (pos < s.size()) {
        size_t len = valid_sequence_at(s, pos);
        if (len == 0) return false;
        pos += len;
    }
    return true;
}

std::string sanitize_utf8(std::string_view s) {
    if (is_valid_utf8(s)) return std::string(s);
    std::string out;
    out.reserve(s.size());
    size_t pos = 0;
    while (pos < s.size()) {
        size_t len = valid_sequence_at(s, pos);
        if (len > 0) {
            out.append(s.substr(pos, len));
            pos += len;
        } else {
            out.append("\xEF\xBF\xBD");
            ++pos;
        }
    }
    return out;
}

} // namespace su
