#pragma once

#include <string>
#include <string_view>
#include <vector>

// The script of the self-test mode: steps separated by ";", where "\;" stands for a semicolon and "\\"
// for a backslash.
namespace selftest_script {

std::vector<std::string> split(std::string_view script);

// One step taken apart: "key:ctrl+a" gives verb "key" and argument "ctrl+a"; "GoUp:2" gives verb "GoUp"
// and argument "2"; "Quit" gives verb "Quit" and no argument.
struct Step {
    std::string verb;
    std::string arg;
    bool has_arg = false;
};
Step parse_step(std::string_view step);

// A key chord "[ctrl+][alt+][shift+]KEY": the modifiers and the GDK key name. A "+" as the key itself
// ("ctrl++", "+") is the key named "plus".
struct Chord {
    bool ctrl = false, alt = false, shift = false;
    std::string key;
};
Chord parse_chord(std::string_view chord);

// Splits UTF-8 text into its characters' code points; bytes that are not UTF-8 are skipped.
std::vector<uint32_t> code_points(std::string_view text);

} // namespace selftest_script
