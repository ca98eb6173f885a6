#include "ui/theme.h"

#include <cstdio>

Palette Palette::light() {
    Palette p;
    p.dark = false;
    p.window = "#EDEEF0";
    p.bar = "#F7F8FA";
    p.divider = "#D6D8DC";
    p.pane = "#DDE0E5";
    p.pane_active = "#FFFFFF";
    p.row_alt = "#F5F6F8";
    p.header = "#E2E4E8";
    p.header_active = "#EDF2FC";
    p.text = "#1C1E21";
    p.secondary = "#6B7078";
    p.dim = "#9AA0A8";
    p.accent = "#2F6FE4";
    p.source_tint = "#B4531A";
    p.source_bg = "#FDF1E7";
    p.target_tint = "#1F7A45";
    p.target_bg = "#E8F6EE";
    p.selection = "#2F6FE4";
    p.selection_text = "#FFFFFF";
    p.cursor = "#123E8C";
    p.control = "#FFFFFF";
    p.control_hover = "#F0F4FD";
    p.control_edge = "#C9CCD2";
    p.control_text = "#1C1E21";
    p.progress_track = "#DCDFE4";
    p.progress_fill = "#1F9D55";
    p.progress_fill_2 = "#37C275";
    p.progress_text = "#0F2A1B";
    p.danger = "#C0392B";
    p.danger_bg = "#FBE9E7";
    p.warn = "#B26A00";
    p.warn_bg = "#FDF3E3";
    p.ok = "#1F7A45";
    p.ok_bg = "#E8F6EE";
    p.dir_text = "#1B4F9C";
    p.link_text = "#0F7C8C";
    p.exec_text = "#1F7A45";
    p.broken_text = "#C0392B";
    p.archive_text = "#8A4B1F";
    p.menu_bg = "#FFFFFF";
    p.menu_hover = "#E8F0FE";
    p.menu_border = "#C9CCD2";
    return p;
}

Palette Palette::dark_() {
    Palette p;
    p.dark = true;
    p.window = "#16181C";
    p.bar = "#1E2126";
    p.divider = "#31353C";
    p.pane = "#15181C";
    p.pane_active = "#262B33";
    p.row_alt = "#282D35";
    p.header = "#22262C";
    p.header_active = "#2B3542";
    p.text = "#E6E8EB";
    p.secondary = "#9BA1AA";
    p.dim = "#6C737C";
    p.accent = "#5B9CFF";
    p.source_tint = "#E08A4F";
    p.source_bg = "#33241A";
    p.target_tint = "#5BD48D";
    p.target_bg = "#18301F";
    p.selection = "#2C5FA8";
    p.selection_text = "#FFFFFF";
    p.cursor = "#8FBCFF";
    p.control = "#2A2F36";
    p.control_hover = "#333A43";
    p.control_edge = "#3C424B";
    p.control_text = "#E6E8EB";
    p.progress_track = "#2A2F36";
    p.progress_fill = "#2FA35C";
    p.progress_fill_2 = "#4FD187";
    p.progress_text = "#DFF5E8";
    p.danger = "#F06A5D";
    p.danger_bg = "#3A1F1C";
    p.warn = "#E0A040";
    p.warn_bg = "#3A2E1A";
    p.ok = "#5BD48D";
    p.ok_bg = "#18301F";
    p.dir_text = "#7FB0FF";
    p.link_text = "#5FD0DE";
    p.exec_text = "#6FDCA0";
    p.broken_text = "#F06A5D";
    p.archive_text = "#E0A56B";
    p.menu_bg = "#23272E";
    p.menu_hover = "#2F3742";
    p.menu_border = "#3C424B";
    return p;
}

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Clamping happens in floating point before the conversion: converting an out-of-range or NaN double
// to int is undefined, and a blend with an unclamped alpha can produce any value.
int channel_byte(double channel) {
    double v = channel * 255.0 + 0.5;
    if (!(v > 0.0)) return 0; // also catches NaN
    if (v >= 255.0) return 255;
    return static_cast<int>(v);
}

} // namespace

bool hex_to_rgb(std::string_view hex, Rgb& out) {
    if (hex.empty()) return false;
    if (hex.front() == '#') hex.remove_prefix(1);
    if (hex.size() != 6) return false;
    unsigned value = 0;
    for (char c : hex) {
        int d = hex_digit(c);
        if (d < 0) return false;
        value = value * 16 + static_cast<unsigned>(d);
    }
    out.r = static_cast<double>((value >> 16) & 0xFF) / 255.0;
    out.g = static_cast<double>((value >> 8) & 0xFF) / 255.0;
    out.b = static_cast<double>(value & 0xFF) / 255.0;
    return true;
}

std::string rgb_to_hex(const Rgb& c) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "#%02X%02X%02X", channel_byte(c.r), channel_byte(c.g), channel_byte(c.b));
    return buf;
}

Rgb mix(const Rgb& fg, const Rgb& bg, double alpha) {
    return Rgb{fg.r * alpha + bg.r * (1.0 - alpha), fg.g * alpha + bg.g * (1.0 - alpha),
               fg.b * alpha + bg.b * (1.0 - alpha)};
}

std::string mix_hex(std::string_view fg, std::string_view bg, double alpha) {
    Rgb f;
    Rgb b;
    if (!hex_to_rgb(fg, f) || !hex_to_rgb(bg, b)) return std::string(fg);
    return rgb_to_hex(mix(f, b, alpha));
}
