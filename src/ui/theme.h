#pragma once

#include <string>
#include <string_view>

// One colour, each channel in 0..1 (cairo's convention).
struct Rgb {
    double r = 0.0;
    double g = 0.0;
    double b = 0.0;
};

// Every colour the program paints. Kept as "#RRGGBB" text and turned into cairo sources only when drawn.
struct Palette {
    bool dark = false;

    std::string window;
    std::string bar;
    std::string divider;
    std::string pane;
    std::string pane_active;
    std::string row_alt;
    std::string header;
    std::string header_active;
    std::string text;
    std::string secondary;
    std::string dim;
    std::string accent;
    std::string source_tint;
    std::string source_bg;
    std::string target_tint;
    std::string target_bg;
    std::string selection;
    std::string selection_text;
    std::string cursor;
    std::string control;
    std::string control_hover;
    std::string control_edge;
    std::string control_text;
    std::string progress_track;
    std::string progress_fill;
    std::string progress_fill_2;
    std::string progress_text;
    std::string danger;
    std::string danger_bg;
    std::string warn;
    std::string warn_bg;
    std::string ok;
    std::string ok_bg;
    std::string dir_text;
    std::string link_text;
    std::string exec_text;
    std::string broken_text;
    std::string archive_text;
    std::string menu_bg;
    std::string menu_hover;
    std::string menu_border;

    static Palette light();
    // Trailing underscore: "dark" is already the flag member.
    static Palette dark_();
};

// Parses "#RRGGBB" or "RRGGBB" (either case). On failure returns false and leaves `out` untouched.
bool hex_to_rgb(std::string_view hex, Rgb& out);
// "#RRGGBB" in upper case; channels outside 0..1 are clamped.
std::string rgb_to_hex(const Rgb& c);
// fg * alpha + bg * (1 - alpha), per channel; alpha is deliberately not clamped.
Rgb mix(const Rgb& fg, const Rgb& bg, double alpha);
// mix() on colour strings; returns `fg` unchanged when either string does not parse.
std::string mix_hex(std::string_view fg, std::string_view bg, double alpha);
