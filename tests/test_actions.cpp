#include "base/actions.h"

#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <string>

namespace {

TEST(Actions, CountAndContiguousValues) {
    EXPECT_EQ(kActionCount, 107);
    EXPECT_EQ(static_cast<int>(Action::None), 0);
    EXPECT_EQ(static_cast<int>(Action::HexCloseAnyway), kActionCount - 1);
}

// Values other modules store or compare by number (menus, keys, the column toggles).
TEST(Actions, ValuesAndLogNames) {
    struct Case {
        Action action;
        int value;
        const char* name;
    };
    const std::vector<Case> cases = {
        {Action::None, 0, "None"},
        {Action::NewFolder, 1, "NewFolder"},
        {Action::PackToOther, 10, "PackToOther"},
        {Action::Quit, 12, "Quit"},
        {Action::ToggleHidden, 22, "ToggleHidden"},
        {Action::ToggleColSize, 23, "ToggleColSize"},
        {Action::ToggleColGroup, 29, "ToggleColGroup"},
        {Action::CopyToOther, 39, "CopyToOther"},
        {Action::MoveToOther, 40, "MoveToOther"},
        {Action::RecentGoto, 51, "RecentGoto"},
        {Action::OverlayOk, 59, "OverlayOk"},
        {Action::ConflictToggleAll, 67, "ConflictToggleAll"},
        {Action::SettingsToggleConfirm, 78, "SettingsToggleConfirm"},
        {Action::RestartAsRoot, 83, "RestartAsRoot"},
        {Action::LanguagePick, 89, "LanguagePick"},
        {Action::OwnerApply, 99, "OwnerApply"},
        {Action::HexCloseAnyway, 106, "HexCloseAnyway"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(static_cast<int>(c.action), c.value);
        EXPECT_STREQ(action_name(c.action), c.name);
    }
}

TEST(Actions, ValuesOutsideTheEnumerationLogAsQuestionMark) {
    for (int v : {-1, 107, 108, 1 << 20}) {
        SCOPED_TRACE(v);
        EXPECT_STREQ(action_name(static_cast<Action>(v)), "?");
    }
    EXPECT_STREQ(action_name(Action::COUNT_), "?");
}

TEST(Actions, EveryNameIsAnIdentifierUniqueAndMapsBack) {
    std::set<std::string> seen;
    for (int v = 0; v < kActionCount; ++v) {
        const std::string name = action_name(static_cast<Action>(v));
        SCOPED_TRACE(v);
        ASSERT_FALSE(name.empty());
        EXPECT_TRUE(std::isupper(static_cast<unsigned char>(name[0]))) << name;
        for (char ch : name)
            EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(ch))) << name;
        EXPECT_TRUE(seen.insert(name).second) << "duplicate " << name;
        const auto back = action_from_name(name);
        ASSERT_TRUE(back.has_value()) << name;
        EXPECT_EQ(static_cast<int>(*back), v);
    }
}

TEST(Actions, UnknownNamesAreNotActions) {
    for (const char* name : {"", "?", "newfolder", "NewFolder ", "COUNT_", "Copy"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(action_from_name(name).has_value());
    }
}

} // namespace
