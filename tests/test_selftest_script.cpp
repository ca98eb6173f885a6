#include "ui/selftest_script.h"
#include "ui/text_edit.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using selftest_script::code_points;
using selftest_script::parse_chord;
using selftest_script::parse_step;
using selftest_script::split;

TEST(SelfTestScript, SplitHonoursEscapes) {
    struct Case {
        std::string script;
        std::vector<std::string> want;
    };
    std::vector<Case> cases = {
        {"NewFolder;type:abc;OverlayOk", {"NewFolder", "type:abc", "OverlayOk"}},
        {"type:a\\;b;Quit", {"type:a;b", "Quit"}},
        {"type:back\\\\;Quit", {"type:back\\", "Quit"}},
        {"type:a\\b", {"type:a\\b"}},
        {";;GoUp;;", {"GoUp"}},
        {"", {}},
        {"type:end\\", {"type:end\\"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(split(c.script), c.want) << c.script;
}

TEST(SelfTestScript, StepsAndChords) {
    auto s = parse_step("GoUp:3");
    EXPECT_EQ(s.verb, "GoUp");
    EXPECT_EQ(s.arg, "3");
    EXPECT_TRUE(s.has_arg);
    s = parse_step("Quit");
    EXPECT_FALSE(s.has_arg);
    s = parse_step("type:a:b");
    EXPECT_EQ(s.arg, "a:b");

    struct Case {
        std::string chord;
        bool ctrl, alt, shift;
        std::string key;
    };
    std::vector<Case> cases = {
        {"Return", false, false, false, "Return"},    {"ctrl+a", true, false, false, "a"},
        {"alt+Return", false, true, false, "Return"}, {"ctrl+alt+shift+Tab", true, true, true, "Tab"},
        {"shift+Down", false, false, true, "Down"},   {"+", false, false, false, "plus"},
        {"ctrl++", true, false, false, "plus"},       {"ctrl+", false, false, false, "ctrl+"},
    };
    for (const auto& c : cases) {
        auto ch = parse_chord(c.chord);
        EXPECT_EQ(ch.ctrl, c.ctrl) << c.chord;
        EXPECT_EQ(ch.alt, c.alt) << c.chord;
        EXPECT_EQ(ch.shift, c.shift) << c.chord;
        EXPECT_EQ(ch.key, c.key) << c.chord;
    }
}

TEST(SelfTestScript, CodePointsRoundTripThroughUtf8) {
    std::string text = "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80";
    std::vector<uint32_t> want = {'a', 0xE9, 0x20AC, 0x1F600};
    EXPECT_EQ(code_points(text), want);
    std::string back;
    for (uint32_t cp : want)
        back += text_edit::utf8_of(cp);
    EXPECT_EQ(back, text);
    EXPECT_EQ(code_points("x\xffy"), (std::vector<uint32_t>{'x', 'y'}));
}

TEST(TextEdit, CaretStaysOnCharacterBoundaries) {
    std::string t = "a\xc3\xa9z";
    size_t caret = t.size();
    caret = text_edit::prev_boundary(t, caret);
    EXPECT_EQ(caret, 3u);
    caret = text_edit::prev_boundary(t, caret);
    EXPECT_EQ(caret, 1u);
    EXPECT_EQ(text_edit::next_boundary(t, 1), 3u);
    EXPECT_TRUE(text_edit::delete_forward(t, 1));
    EXPECT_EQ(t, "az");
    caret = 1;
    text_edit::insert(t, caret, "\xe2\x82\xac");
    EXPECT_EQ(caret, 4u);
    EXPECT_TRUE(text_edit::backspace(t, caret));
    EXPECT_EQ(t, "az");
    EXPECT_EQ(caret, 1u);
    caret = 0;
    EXPECT_FALSE(text_edit::backspace(t, caret));
    EXPECT_FALSE(text_edit::delete_forward(t, 2));
    EXPECT_FALSE(text_edit::insertable(127));
    EXPECT_FALSE(text_edit::insertable(31));
    EXPECT_TRUE(text_edit::insertable(' '));
}
