#include "ui/selftest_script.h"

#include <cstdint>

namespace selftest_script {

std::vector<std::string> split(std::string_view script) {
    std::vector<std::string> steps;
    std::string current;
    for (size_t i = 0; i < script.size(); ++i) {
        char c = script[i];
        if (c == '\\' && i + 1 < script.size() && (script[i + 1] == ';' || script[i + 1] == '\\')) {
            current += script[++i];
        } else if (c == ';') {
            if (!current.empty()) steps.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) steps.push_back(current);
    return steps;
}

Step parse_step(std::string_view step) {
    Step out;
    size_t colon = step.find(':');
    if (colon == std::string_view::npos) {
        out.verb = std::string(step);
        return out;
    }
    out.verb = std::string(step.substr(0, colon));
    out.arg = std::string(step.substr(colon + 1));
    out.has_arg = true;
    return out;
}

Chord parse_chord(std::string_view chord) {
    Chord out;
    for (;;) {
        auto take = [&](std::string_view prefix, bool& flag) {
            if (chord.size() <= prefix.size() || chord.substr(0, prefix.size()) != prefix) return false;
            flag = true;
            chord.remove_prefix(prefix.size());
            return true;
        };
        if (!take("ctrl+", out.ctrl) && !take("alt+", out.alt) && !take("shift+", out.shift)) break;
    }
    out.key = chord == "+" ? std::string("plus") : std::string(chord);
    return out;
}

std::vector<uint32_t> code_points(std::string_view text) {
    std::vector<uint32_t> out;
    size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        int len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (len == 0 || i + len > text.size()) {
            ++i;
            continue;
        }
        uint32_t cp = len == 1 ? c : c & (0x7F >> len);
        bool ok = true;
        for (int k = 1; k < len; ++k) {
            auto cc = static_cast<unsigned char>(text[i + k]);
            if ((cc & 0xC0) != 0x80) ok = false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        i += ok ? len : 1;
        if (ok) out.push_back(cp);
    }
    return out;
}

} // namespace selftest_script
