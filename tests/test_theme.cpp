#include "ui/theme.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <limits>
#include <string>
#include <vector>

namespace {

struct RoleCase {
    const char* name;
    std::string Palette::*member;
    const char* light;
    const char* dark;
};

#define ROLE(n, l, d)                                                                                        \
    RoleCase {                                                                                               \
#n, &Palette::n, l, d                                                                                \
    }

// In declaration order, so the order check below also guards the layout.
const std::vector<RoleCase> kRoles = {
    ROLE(window, "#EDEEF0", "#16181C"),        ROLE(bar, "#F7F8FA", "#1E2126"),
    ROLE(divider, "#D6D8DC", "#31353C"),       ROLE(pane, "#DDE0E5", "#15181C"),
    ROLE(pane_active, "#FFFFFF", "#262B33"),   ROLE(row_alt, "#F5F6F8", "#282D35"),
    ROLE(header, "#E2E4E8", "#22262C"),        ROLE(header_active, "#EDF2FC", "#2B3542"),
    ROLE(text, "#1C1E21", "#E6E8EB"),          ROLE(secondary, "#6B7078", "#9BA1AA"),
    ROLE(dim, "#9AA0A8", "#6C737C"),           ROLE(accent, "#2F6FE4", "#5B9CFF"),
    ROLE(source_tint, "#B4531A", "#E08A4F"),   ROLE(source_bg, "#FDF1E7", "#33241A"),
    ROLE(target_tint, "#1F7A45", "#5BD48D"),   ROLE(target_bg, "#E8F6EE", "#18301F"),
    ROLE(selection, "#2F6FE4", "#2C5FA8"),     ROLE(selection_text, "#FFFFFF", "#FFFFFF"),
    ROLE(cursor, "#123E8C", "#8FBCFF"),        ROLE(control, "#FFFFFF", "#2A2F36"),
    ROLE(control_hover, "#F0F4FD", "#333A43"), ROLE(control_edge, "#C9CCD2", "#3C424B"),
    ROLE(control_text, "#1C1E21", "#E6E8EB"),  ROLE(progress_track, "#DCDFE4", "#2A2F36"),
    ROLE(progress_fill, "#1F9D55", "#2FA35C"), ROLE(progress_fill_2, "#37C275", "#4FD187"),
    ROLE(progress_text, "#0F2A1B", "#DFF5E8"), ROLE(danger, "#C0392B", "#F06A5D"),
    ROLE(danger_bg, "#FBE9E7", "#3A1F1C"),     ROLE(warn, "#B26A00", "#E0A040"),
    ROLE(warn_bg, "#FDF3E3", "#3A2E1A"),       ROLE(ok, "#1F7A45", "#5BD48D"),
    ROLE(ok_bg, "#E8F6EE", "#18301F"),         ROLE(dir_text, "#1B4F9C", "#7FB0FF"),
    ROLE(link_text, "#0F7C8C", "#5FD0DE"),     ROLE(exec_text, "#1F7A45", "#6FDCA0"),
    ROLE(broken_text, "#C0392B", "#F06A5D"),   ROLE(archive_text, "#8A4B1F", "#E0A56B"),
    ROLE(menu_bg, "#FFFFFF", "#23272E"),       ROLE(menu_hover, "#E8F0FE", "#2F3742"),
    ROLE(menu_border, "#C9CCD2", "#3C424B"),
};

#undef ROLE

std::ptrdiff_t offset_of(std::string Palette::*member) {
    static const Palette probe;
    return reinterpret_cast<const char*>(&(probe.*member)) - reinterpret_cast<const char*>(&probe);
}

TEST(Palette, EveryRoleOfBothPalettesHasItsValue) {
    const Palette light = Palette::light();
    const Palette dark = Palette::dark_();
    EXPECT_FALSE(light.dark);
    EXPECT_TRUE(dark.dark);
    for (const RoleCase& role : kRoles) {
        EXPECT_EQ(light.*role.member, role.light) << "light " << role.name;
        EXPECT_EQ(dark.*role.member, role.dark) << "dark " << role.name;
    }
}

TEST(Palette, HasExactlyTheFortyOneRolesInOrder) {
    ASSERT_EQ(kRoles.size(), 41u);
    std::ptrdiff_t previous = offset_of(kRoles.front().member);
    EXPECT_GT(previous, 0) << "the dark flag comes first";
    for (std::size_t i = 1; i < kRoles.size(); ++i) {
        std::ptrdiff_t here = offset_of(kRoles[i].member);
        EXPECT_EQ(here, previous + static_cast<std::ptrdiff_t>(sizeof(std::string))) << kRoles[i].name;
        previous = here;
    }
    // Nothing hides after the last role.
    EXPECT_EQ(sizeof(Palette), static_cast<std::size_t>(previous) + sizeof(std::string));
}

TEST(Palette, EveryRoleIsCanonicalHexThatRoundTrips) {
    for (const Palette& p : {Palette::light(), Palette::dark_()}) {
        for (const RoleCase& role : kRoles) {
            const std::string& value = p.*role.member;
            SCOPED_TRACE(std::string(role.name) + (p.dark ? " dark" : " light"));
            ASSERT_EQ(value.size(), 7u);
            Rgb c;
            ASSERT_TRUE(hex_to_rgb(value, c));
            EXPECT_EQ(rgb_to_hex(c), value);
        }
    }
}

TEST(Palette, EqualRolesAreStillSeparateStrings) {
    Palette p = Palette::light();
    p.accent = "#000000";
    EXPECT_EQ(p.selection, "#2F6FE4");
    Palette d = Palette::dark_();
    d.control = "#000000";
    EXPECT_EQ(d.progress_track, "#2A2F36");
}

struct ParseCase {
    const char* input;
    bool ok;
    int r, g, b; // expected bytes when ok
};

TEST(HexToRgb, ParsesAndRejects) {
    const std::vector<ParseCase> cases = {
        {"#ff8000", true, 255, 128, 0},
        {"FF8000", true, 255, 128, 0},
        {"#Ff8000", true, 255, 128, 0},
        {"#000000", true, 0, 0, 0},
        {"#FFFFFF", true, 255, 255, 255},
        {"123456", true, 0x12, 0x34, 0x56},
        {"", false, 0, 0, 0},
        {"#", false, 0, 0, 0},
        {"#12345", false, 0, 0, 0},
        {"#12345678", false, 0, 0, 0},
        {"##123456", false, 0, 0, 0},
        {"#12345G", false, 0, 0, 0},
        {"#12 456", false, 0, 0, 0},
        {" 123456", false, 0, 0, 0},
        {"#-12345", false, 0, 0, 0},
        {"0x1234", false, 0, 0, 0},
        {"1234567", false, 0, 0, 0},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(std::string("input \"") + c.input + "\"");
        Rgb out{0.25, 0.5, 0.75};
        EXPECT_EQ(hex_to_rgb(c.input, out), c.ok);
        if (c.ok) {
            EXPECT_DOUBLE_EQ(out.r, c.r / 255.0);
            EXPECT_DOUBLE_EQ(out.g, c.g / 255.0);
            EXPECT_DOUBLE_EQ(out.b, c.b / 255.0);
        } else {
            // A failed parse leaves the caller's colour alone.
            EXPECT_EQ(out.r, 0.25);
            EXPECT_EQ(out.g, 0.5);
            EXPECT_EQ(out.b, 0.75);
        }
    }
}

TEST(HexToRgb, StopsAtEmbeddedNul) {
    Rgb out;
    EXPECT_FALSE(hex_to_rgb(std::string("#12\0"
                                        "456",
                                        7),
                            out));
}

TEST(RgbToHex, RoundsAndClamps) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        Rgb in;
        const char* out;
    } cases[] = {
        {{1.0, 0.5, 0.0}, "#FF8000"},
        {{0.0, 0.0, 0.0}, "#000000"},
        {{1.0, 1.0, 1.0}, "#FFFFFF"},
        {{-0.5, 1.5, 0.5}, "#00FF80"},
        {{1.0 / 255.0, 254.0 / 255.0, 0.0}, "#01FE00"},
        // Just below the rounding boundary of 1 and just above it.
        {{0.49 / 255.0, 0.51 / 255.0, 0.0}, "#000100"},
        // Values a careless int conversion would turn into garbage.
        {{1e300, -1e300, 0.0}, "#FF0000"},
        {{inf, -inf, nan}, "#FF0000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.out);
        EXPECT_EQ(rgb_to_hex(c.in), c.out);
    }
}

TEST(Mix, BlendsWithoutClampingAlpha) {
    const Rgb white{1, 1, 1};
    const Rgb black{0, 0, 0};
    const Rgb grey{0.5, 0.25, 1.0};
    const struct {
        Rgb fg, bg;
        double alpha;
        Rgb want;
    } cases[] = {
        {white, black, 0.5, {0.5, 0.5, 0.5}}, {white, black, 0.0, {0, 0, 0}},
        {white, black, 1.0, {1, 1, 1}},       {grey, white, 0.5, {0.75, 0.625, 1.0}},
        {white, grey, 2.0, {1.5, 1.75, 1.0}}, {white, grey, -1.0, {0.0, -0.5, 1.0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "alpha " << c.alpha);
        Rgb got = mix(c.fg, c.bg, c.alpha);
        EXPECT_DOUBLE_EQ(got.r, c.want.r);
        EXPECT_DOUBLE_EQ(got.g, c.want.g);
        EXPECT_DOUBLE_EQ(got.b, c.want.b);
    }
}

TEST(MixHex, BlendsOrReturnsForeground) {
    const struct {
        const char* fg;
        const char* bg;
        double alpha;
        const char* want;
    } cases[] = {
        {"#FFFFFF", "#000000", 0.5, "#808080"},
        {"ffffff", "000000", 0.5, "#808080"},
        {"#FFFFFF", "#000000", 0.0, "#000000"},
        {"#B4531A", "#F7F8FA", 0.13, "#EEE3DD"},
        // An alpha beyond 1 overshoots and is clamped only when printed.
        {"#FFFFFF", "#808080", 3.0, "#FFFFFF"},
        {"#000000", "#808080", 3.0, "#000000"},
        {"#zzzzzz", "#000000", 0.5, "#zzzzzz"},
        {"#FFFFFF", "bad", 0.5, "#FFFFFF"},
        {"", "#000000", 0.5, ""},
        {"#ffffff", "#12345", 0.5, "#ffffff"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.fg) + " over " + c.bg);
        EXPECT_EQ(mix_hex(c.fg, c.bg, c.alpha), c.want);
    }
}

} // namespace
