#include "engine/file_ops.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using testsupport::TempDir;

// Sets an environment variable for the life of the object and puts the old value back afterwards.
class EnvGuard {
public:
    EnvGuard(const char* name, const std::optional<std::string>& value) : m_name(name) {
        if (const char* old = getenv(name)) m_old = old;
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
    ~EnvGuard() {
        if (m_old)
            setenv(m_name, m_old->c_str(), 1);
        else
            unsetenv(m_name);
    }

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

void make_program(const std::string& path, const std::string& body = "exit 0\n") {
    testsupport::write_file(path, "#!/bin/sh\n" + body, 0755);
}

TEST(TerminalProgram, SearchOrder) {
    struct Case {
        const char* name;
        std::optional<std::string> terminal_env;
        std::vector<std::string> installed;
        std::vector<std::string> not_executable;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"first candidate wins", std::nullopt, {"xterm", "konsole", "kitty"}, {}, "konsole"},
        {"the Debian alternative comes first",
         std::nullopt,
         {"gnome-terminal", "x-terminal-emulator"},
         {},
         "x-terminal-emulator"},
        {"$TERMINAL when installed", "myterm", {"myterm", "xterm"}, {}, "myterm"},
        {"$TERMINAL not installed falls back", "missing-term", {"foot", "xterm"}, {}, "foot"},
        {"empty $TERMINAL counts as unset", "", {"st"}, {}, "st"},
        {"a file without execute rights is not a program",
         std::nullopt,
         {"xterm"},
         {"gnome-terminal"},
         "xterm"},
        {"nothing installed", std::nullopt, {}, {"konsole"}, std::nullopt},
        {"$TERMINAL set but nothing at all installed", "missing-term", {}, {}, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir bin("term");
        for (const auto& name : c.installed)
            make_program(bin.sub(name));
        for (const auto& name : c.not_executable)
            testsupport::write_file(bin.sub(name), "#!/bin/sh\n", 0644);
        EnvGuard path("PATH", bin.path());
        EnvGuard term("TERMINAL", c.terminal_env);
        EXPECT_EQ(file_ops::find_terminal_program(), c.expected);
    }
}

TEST(TerminalProgram, FolderArgumentFollowsTheRealTerminal) {
    TempDir bin("term");
    make_program(bin.sub("konsole"));
    make_program(bin.sub("gnome-terminal.wrapper"));
    make_program(bin.sub("wezterm"));
    make_program(bin.sub("kitty"));
    make_program(bin.sub("xterm"));
    make_program(bin.sub("alacritty"));
    ASSERT_EQ(symlink(bin.sub("konsole").c_str(), bin.sub("x-terminal-emulator").c_str()), 0);
    ASSERT_EQ(symlink(bin.sub("gnome-terminal.wrapper").c_str(), bin.sub("gnome-terminal").c_str()), 0);
    // A chain of links, as /usr/bin/x-terminal-emulator -> /etc/alternatives/... -> the terminal.
    ASSERT_EQ(symlink(bin.sub("x-terminal-emulator").c_str(), bin.sub("term-alias").c_str()), 0);
    EnvGuard path("PATH", bin.path());

    const std::string dir = "/home/u/My Files";
    struct Case {
        const char* program;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"x-terminal-emulator", {"x-terminal-emulator", "--workdir", dir}},
        {"term-alias", {"term-alias", "--workdir", dir}},
        {"gnome-terminal", {"gnome-terminal", "--working-directory=" + dir}},
        {"wezterm", {"wezterm", "start", "--cwd", dir}},
        {"kitty", {"kitty", "--directory", dir}},
        {"alacritty", {"alacritty", "--working-directory=" + dir}},
        {"xterm", {"xterm"}},
        // Not on the path at all: judged by its own name.
        {"foot", {"foot", "--working-directory=" + dir}},
        {"urxvt", {"urxvt"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.program);
        EXPECT_EQ(file_ops::terminal_command(c.program, dir), c.expected);
    }
}

std::string wait_for_line(const std::string& path) {
    for (int i = 0; i < 500; ++i) {
        if (testsupport::exists(path)) {
            std::string text = testsupport::read_file(path);
            if (!text.empty() && text.back() == '\n') return text;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return "";
}

// The only test in this program that asks the cached terminal_program(), so it decides what it finds.
TEST(TerminalProgram, OpensTheTerminalInTheFolder) {
    TempDir bin("term");
    TempDir work("work");
    const std::string out = work.sub("started.txt");
    // Shell built-ins only: the fake terminal runs with PATH pointing at nothing but itself.
    make_program(bin.sub("konsole"), "printf '%s|%s\\n' \"$PWD\" \"$*\" > \"$TAVRIN_TERM_OUT\"\n");
    EnvGuard path("PATH", bin.path());
    EnvGuard term("TERMINAL", std::nullopt);
    EnvGuard sink("TAVRIN_TERM_OUT", out);
    ASSERT_EQ(file_ops::terminal_program(), std::optional<std::string>("konsole"));

    const std::string dir = work.sub("a folder");
    testsupport::make_dir(dir);
    EXPECT_EQ(file_ops::open_terminal_at(dir), "");
    EXPECT_EQ(wait_for_line(out), dir + "|--workdir " + dir + "\n");

    // A folder that vanished in the meantime is reported, not silently ignored.
    const std::string message = file_ops::open_terminal_at(work.sub("gone"));
    EXPECT_FALSE(message.empty());

    // The answer is kept for the process even when the program disappears.
    EnvGuard empty_path("PATH", work.path());
    EXPECT_EQ(file_ops::terminal_program(), std::optional<std::string>("konsole"));
}

TEST(NameChecks, RefusalsComeInOrderAndNothingIsCreated) {
    TempDir work("names");
    testsupport::write_file(work.sub("taken"), "old");
    struct Case {
        std::string name;
        std::string want;
    };
    std::vector<Case> cases = {
        {"", "The name must not be empty."},
        {"a/b", "A name cannot contain a slash."},
        {"/", "A name cannot contain a slash."},
        {".", "That name is reserved."},
        {"..", "That name is reserved."},
        {std::string(256, 'n'), "That name is too long."},
        {"taken", "Something with that name is already there."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(file_ops::validate_name(work.path(), c.name, ""), c.want) << c.name;
        EXPECT_EQ(file_ops::create_directory(work.path(), c.name), c.want) << c.name;
        EXPECT_EQ(file_ops::create_empty_file(work.path(), c.name), c.want) << c.name;
    }
    EXPECT_EQ(file_ops::validate_name(work.path(), std::string(255, 'n'), ""), "");
    EXPECT_EQ(file_ops::validate_name(work.path(), "taken", "taken"), "");
    EXPECT_EQ(testsupport::read_file(work.sub("taken")), "old");
    EXPECT_FALSE(testsupport::exists(work.sub(std::string(256, 'n'))));
}

TEST(NameChecks, CreateAndRename) {
    TempDir work("rename");
    EXPECT_EQ(file_ops::create_directory(work.path(), "dir"), "");
    EXPECT_EQ(file_ops::create_empty_file(work.path(), "file"), "");
    EXPECT_EQ(testsupport::read_file(work.sub("file")), "");
    struct stat st {};
    ASSERT_EQ(stat(work.sub("dir").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));

    EXPECT_EQ(file_ops::rename_entry(work.sub("file"), "dir"), "Something with that name is already there.");
    EXPECT_TRUE(testsupport::exists(work.sub("file")));
    EXPECT_EQ(file_ops::rename_entry(work.sub("file"), "file"), "");
    EXPECT_EQ(file_ops::rename_entry(work.sub("file"), "renamed"), "");
    EXPECT_FALSE(testsupport::exists(work.sub("file")));
    EXPECT_TRUE(testsupport::exists(work.sub("renamed")));

    // A dangling link occupies its name too.
    ASSERT_EQ(symlink("/nowhere/at/all", work.sub("link").c_str()), 0);
    EXPECT_EQ(file_ops::create_empty_file(work.path(), "link"), "Something with that name is already there.");
    // A folder the file cannot be made in reports the path and the system's reason.
    std::string missing = work.sub("missing");
    EXPECT_EQ(file_ops::create_empty_file(missing, "x"), missing + "/x: No such file or directory");
}

} // namespace
