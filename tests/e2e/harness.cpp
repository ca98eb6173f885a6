#include "harness.h"

#include "child.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace e2e {
namespace {

double now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' '))
        s.pop_back();
    return s;
}

std::string shell_quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

std::string xcmd(const std::string& cmd) {
    return "DISPLAY=" + XServer::instance().display() + " " + cmd;
}

} // namespace

XServer& XServer::instance() {
    static XServer server;
    return server;
}

Tavrin::Tavrin() : m_home("tavrin-e2e") {
    testsupport::make_dir(m_home.path() + "/.config", 0700);
    testsupport::make_dir(config_dir(), 0700);
    testsupport::make_dir(m_home.path() + "/runtime", 0700);
    m_stderr_path = m_home.path() + "/stderr.txt";
}

Tavrin::~Tavrin() {
    stop();
}

void Tavrin::stop() {
    if (m_pid > 0 && signal(SIGTERM)) wait_exit(5);
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
}

bool Tavrin::run_script(std::vector<std::string> args, const std::string& script, double timeout_s) {
    args.push_back("--action=" + script);
    return start(args) && wait_log("selftest: done", timeout_s);
}

void Tavrin::put_config(const std::string& name, const std::string& content) {
    testsupport::write_file(config_file(name), content);
}

void Tavrin::set_env(const std::string& name, const std::string& value) {
    m_env.emplace_back(name, value);
}

bool Tavrin::start(const std::vector<std::string>& args, double timeout_s) {
    XServer& x = XServer::instance();
    if (!x.ok()) {
        ADD_FAILURE() << "Xvfb could not be started";
        return false;
    }
    if (m_as_nobody && testsupport::run("chown -R 65534:65534 " + shell_quote(m_home.path())) != 0) {
        ADD_FAILURE() << "cannot hand " << m_home.path() << " to nobody";
        return false;
    }
    pid_t pid = fork();
    if (pid == 0) {
        setenv("DISPLAY", x.display().c_str(), 1);
        setenv("HOME", m_home.path().c_str(), 1);
        setenv("XDG_CONFIG_HOME", (m_home.path() + "/.config").c_str(), 1);
        setenv("XDG_DATA_HOME", (m_home.path() + "/.local/share").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", (m_home.path() + "/runtime").c_str(), 1);
        // No desktop bus: the colour preference falls back to GTK settings without waiting.
        setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/tavrin-e2e-bus", 1);
        setenv("GTK_A11Y", "none", 1);
        setenv("NO_AT_BRIDGE", "1", 1);
        unsetenv("WAYLAND_DISPLAY");
        for (const auto& [k, v] : m_env)
            setenv(k.c_str(), v.c_str(), 1);
        int err = ::open(m_stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err >= 0) {
            dup2(err, 1);
            dup2(err, 2);
        }
        if (m_as_nobody && !testsupport::drop_to_nobody()) _exit(126);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(TAVRIN_BIN));
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(TAVRIN_BIN, argv.data());
        _exit(127);
    }
    m_pid = pid;
    double deadline = now() + timeout_s;
    while (now() < deadline) {
        std::string out =
            trim(testsupport::capture(xcmd("xdotool search --onlyvisible --pid " + std::to_string(m_pid) +
                                           " --name '^Tavrin$' 2>/dev/null")));
        if (!out.empty()) {
            m_window = out.substr(0, out.find('\n'));
            // Give the first frame a moment to be mapped and drawn.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            return true;
        }
        int status;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            ADD_FAILURE() << "tavrin exited before showing its window; stderr:\n"
                          << testsupport::read_file(m_stderr_path);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

WindowGeometry Tavrin::geometry() const {
    WindowGeometry g;
    std::string out = testsupport::capture(xcmd("xdotool getwindowgeometry --shell " + m_window));
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string k = line.substr(0, eq);
        int v = atoi(line.c_str() + eq + 1);
        if (k == "X")
            g.x = v;
        else if (k == "Y")
            g.y = v;
        else if (k == "WIDTH")
            g.width = v;
        else if (k == "HEIGHT")
            g.height = v;
    }
    return g;
}

void Tavrin::key(const std::string& keys) const {
    testsupport::run(xcmd("xdotool key --window " + m_window + " " + keys));
}

void Tavrin::type(const std::string& text) const {
    testsupport::run(xcmd("xdotool type --window " + m_window + " " + shell_quote(text)));
}

void Tavrin::press(const std::string& keys) const {
    testsupport::run(xcmd("xdotool windowfocus --sync " + m_window + " key " + keys));
}

void Tavrin::type_focused(const std::string& text) const {
    testsupport::run(xcmd("xdotool windowfocus --sync " + m_window + " type " + shell_quote(text)));
}

void Tavrin::click(int x, int y, int button) const {
    testsupport::run(xcmd("xdotool mousemove --window " + m_window + " " + std::to_string(x) + " " +
                          std::to_string(y) + " click " + std::to_string(button)));
}

bool Tavrin::signal(int sig) const {
    return m_pid > 0 && kill(m_pid, sig) == 0;
}

int Tavrin::wait_exit(double timeout_s, double* took_s) {
    if (m_pid <= 0) return -1;
    double start = now(), deadline = start + timeout_s;
    while (now() < deadline) {
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            if (took_s) *took_s = now() - start;
            if (WIFEXITED(status)) return WEXITSTATUS(status);
            return 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
    m_pid = -1;
    if (took_s) *took_s = now() - start;
    return -1;
}

std::string Tavrin::log() const {
    if (!testsupport::exists(config_file("Tavrin.log"))) return "";
    return testsupport::read_file(config_file("Tavrin.log"));
}

std::vector<std::string> Tavrin::log_lines() const {
    std::vector<std::string> lines;
    std::istringstream in(log());
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

std::vector<std::string> Tavrin::lines_with(const std::string& needle) const {
    std::vector<std::string> out;
    for (const std::string& l : log_lines()) {
        if (l.find(needle) == std::string::npos) continue;
        const size_t text = l.find("] ");
        out.push_back(text == std::string::npos ? l : l.substr(text + 2));
    }
    return out;
}

int Tavrin::line_index(const std::string& needle, int from) const {
    std::vector<std::string> lines = log_lines();
    for (size_t i = size_t(std::max(from, 0)); i < lines.size(); ++i)
        if (lines[i].find(needle) != std::string::npos) return int(i);
    return -1;
}

bool Tavrin::wait_log(const std::string& needle, double timeout_s) const {
    double deadline = now() + timeout_s;
    do {
        if (log().find(needle) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (now() < deadline);
    return false;
}

std::string Tavrin::settings() const {
    if (!testsupport::exists(config_file("settings.json"))) return "";
    return testsupport::read_file(config_file("settings.json"));
}

std::string Tavrin::screenshot(const std::string& path) const {
    int rc = testsupport::run(xcmd("import -window " + m_window + " " + shell_quote(path) + " 2>/dev/null"));
    return rc == 0 && testsupport::exists(path) ? path : "";
}

std::string pixel_at(const std::string& png, int x, int y) {
    std::string out =
        trim(testsupport::capture("convert " + shell_quote(png) + " -format '%[hex:u.p{" + std::to_string(x) +
                                  "," + std::to_string(y) + "}]' info: 2>/dev/null"));
    if (out.size() < 6) return "";
    return "#" + out.substr(0, 6);
}

bool has_colour(const std::string& png, int x, int y, int w, int h, const std::string& colour) {
    // One line per pixel: "x,y: (r,g,b)  #RRGGBB  name".
    std::string out = testsupport::capture("convert " + shell_quote(png) + " -crop " + std::to_string(w) +
                                           "x" + std::to_string(h) + "+" + std::to_string(x) + "+" +
                                           std::to_string(y) + " +repage txt:- 2>/dev/null");
    std::string want = colour;
    for (char& c : want)
        c = char(toupper(c));
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        size_t hash = line.find('#');
        if (hash != std::string::npos && line.compare(hash, 7, want) == 0) return true;
    }
    return false;
}

} // namespace e2e
