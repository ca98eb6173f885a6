// Command-line parsing of the main program (no window needed).
#include "ui/app.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct ArgsCase {
    const char* name;
    std::vector<std::string> args;
    std::string left, right, active, geometry, actions;
};

class AppArgs : public ::testing::TestWithParam<ArgsCase> {};

TEST_P(AppArgs, Parse) {
    const ArgsCase& c = GetParam();
    std::vector<char*> argv{const_cast<char*>("tavrin")};
    for (const auto& a : c.args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    App app;
    app.parse_args(int(argv.size()) - 1, argv.data());
    EXPECT_EQ(app.arg_left(), c.left);
    EXPECT_EQ(app.arg_right(), c.right);
    EXPECT_EQ(app.arg_active(), c.active);
    EXPECT_EQ(app.arg_geometry(), c.geometry);
    EXPECT_EQ(app.arg_actions(), c.actions);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AppArgs,
    ::testing::Values(ArgsCase{"None", {}, "", "", "", "", ""},
                      ArgsCase{
                          "AllFive",
                          {"--left=/a", "--right=/b", "--active=right", "--geometry=1x2+3+4", "--action=x;y"},
                          "/a",
                          "/b",
                          "right",
                          "1x2+3+4",
                          "x;y"},
                      ArgsCase{"ValueKeepsLaterEquals", {"--left=/a=b"}, "/a=b", "", "", "", ""},
                      ArgsCase{"RepeatedKeepsLast", {"--left=/a", "--left=/c"}, "/c", "", "", "", ""},
                      ArgsCase{"EmptyValue", {"--left=/a", "--left="}, "", "", "", "", ""},
                      ArgsCase{"UnknownAndMalformedIgnored",
                               {"--verbose", "left=/x", "-left=/x", "--colour=red", "--left", "/plain"},
                               "",
                               "",
                               "",
                               "",
                               ""},
                      ArgsCase{"ActiveAnyText", {"--active=sideways"}, "", "", "sideways", "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
