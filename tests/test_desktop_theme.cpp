// The desktop preference against a real session bus: the suite starts its own dbus-daemon (and an Xvfb for
// the GTK-settings fallback) and a small stand-in for the settings portal in a child process. Every call
// under test also runs in a forked child, so each case gets a fresh bus connection and fresh GTK state and
// this process never starts GLib's threads (which would make the later forks unsafe).
#include "ui/desktop_theme.h"

#include "child.h"
#include "temp_dir.h"
#include "xserver.h"

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using testsupport::Child;
using testsupport::read_until;
using testsupport::spawn_and_read_line;
using testsupport::wait_bounded;

constexpr const char* kPortalName = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kControlInterface = "org.tavrin.test.PortalControl";

// What the stand-in answers to Read("org.freedesktop.appearance", "color-scheme").
struct PortalBehaviour {
    const char* type = "u"; // "u", or "i" / "s" for answers of the wrong type
    unsigned value = 0;
    int wraps = 2;     // variants around the value, counting the reply's own "v"
    int delay_ms = 0;  // answer late (the client is expected to give up after 500 ms)
    bool fail = false; // answer with an error
};

const char kPortalXml[] =
    "<node>"
    " <interface name='org.freedesktop.portal.Settings'>"
    "  <method name='Read'>"
    "   <arg type='s' name='namespace' direction='in'/>"
    "   <arg type='s' name='key' direction='in'/>"
    "   <arg type='v' name='value' direction='out'/>"
    "  </method>"
    "  <signal name='SettingChanged'>"
    "   <arg type='s' name='namespace'/><arg type='s' name='key'/><arg type='v' name='value'/>"
    "  </signal>"
    " </interface>"
    " <interface name='org.tavrin.test.PortalControl'>"
    "  <method name='Emit'>"
    "   <arg type='s' name='namespace' direction='in'/>"
    "   <arg type='s' name='key' direction='in'/>"
    "  </method>"
    " </interface>"
    "</node>";

struct DelayedReply {
    GDBusMethodInvocation* invocation;
    GVariant* reply;
};

GVariant* portal_value(const PortalBehaviour& b) {
    GVariant* v = nullptr;
    if (std::strcmp(b.type, "i") == 0)
        v = g_variant_new_int32(static_cast<gint32>(b.value));
    else if (std::strcmp(b.type, "s") == 0)
        v = g_variant_new_string("dark");
    else
        v = g_variant_new_uint32(b.value);
    for (int i = 1; i < b.wraps; ++i)
        v = g_variant_new_variant(v);
    return g_variant_new("(v)", v);
}

void portal_method(GDBusConnection* bus, const gchar*, const gchar* path, const gchar* interface,
                   const gchar* method, GVariant* params, GDBusMethodInvocation* invocation, gpointer data) {
    const auto* b = static_cast<const PortalBehaviour*>(data);
    const gchar* ns = nullptr;
    const gchar* key = nullptr;
    g_variant_get(params, "(&s&s)", &ns, &key);
    if (std::strcmp(interface, kControlInterface) == 0) {
        // Emitted before the reply, so a caller that has the reply has also been sent the signal.
        g_dbus_connection_emit_signal(bus, nullptr, path, "org.freedesktop.portal.Settings", "SettingChanged",
                                      g_variant_new("(ssv)", ns, key, g_variant_new_uint32(1)), nullptr);
        g_dbus_method_invocation_return_value(invocation, nullptr);
        return;
    }
    if (std::strcmp(method, "Read") != 0 || std::strcmp(ns, "org.freedesktop.appearance") != 0 ||
        std::strcmp(key, "color-scheme") != 0 || b->fail) {
        g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.portal.Error.NotFound",
                                                   "Requested setting not found");
        return;
    }
    if (b->delay_ms > 0) {
        auto later =
            std::make_unique<DelayedReply>(DelayedReply{invocation, g_variant_ref_sink(portal_value(*b))});
        g_timeout_add(
            static_cast<guint>(b->delay_ms),
            [](gpointer p) -> gboolean {
                std::unique_ptr<DelayedReply> d(static_cast<DelayedReply*>(p));
                g_dbus_method_invocation_return_value(d->invocation, d->reply);
                g_variant_unref(d->reply);
                return G_SOURCE_REMOVE;
            },
            later.release());
        return;
    }
    g_dbus_method_invocation_return_value(invocation, portal_value(*b));
}

// Body of the stand-in process; never returns.
[[noreturn]] void run_portal(const PortalBehaviour& behaviour, int ready_fd) {
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (!bus) _exit(2);
    GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(kPortalXml, nullptr);
    static const GDBusInterfaceVTable vtable = {portal_method, nullptr, nullptr, {}};
    PortalBehaviour b = behaviour;
    for (GDBusInterfaceInfo** iface = info->interfaces; *iface; ++iface)
        if (!g_dbus_connection_register_object(bus, kPortalPath, *iface, &vtable, &b, nullptr, nullptr))
            _exit(3);
    // The previous case's stand-in may still be leaving the bus; wait for the name to become free.
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    for (;;) {
        GVariant* r = g_dbus_connection_call_sync(
            bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
            g_variant_new("(su)", kPortalName, 4u /* do not queue */), G_VARIANT_TYPE("(u)"),
            G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
        guint32 answer = 0;
        if (r) {
            g_variant_get(r, "(u)", &answer);
            g_variant_unref(r);
        }
        if (answer == 1) break;
        if (Clock::now() > deadline) _exit(4);
        g_usleep(20000);
    }
    if (write(ready_fd, "R\n", 2) != 2) _exit(5);
    close(ready_fd);
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    g_timeout_add_seconds(
        60, [](gpointer) -> gboolean { _exit(0); }, nullptr); // bounded even if orphaned
    g_main_loop_run(loop);
    _exit(0);
}

Child start_portal(const std::string& bus_address, const PortalBehaviour& behaviour) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return {};
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close(fds[0]);
        setenv("DBUS_SESSION_BUS_ADDRESS", bus_address.c_str(), 1);
        run_portal(behaviour, fds[1]);
    }
    close(fds[1]);
    std::string ready =
        read_until(fds[0], std::chrono::seconds(10), [](const std::string& s) { return !s.empty(); });
    close(fds[0]);
    Child child(pid);
    if (ready != "R\n") {
        ADD_FAILURE() << "portal stand-in did not come up";
        child.stop();
    }
    return child;
}

struct ChildResult {
    int exit_code = -1; // -1: killed, crashed or timed out
    std::string output;
    double seconds = 0;
};

// Runs `body` in a forked child; what it prints to stdout comes back as `output`.
ChildResult run_in_child(const std::function<int()>& body, Clock::duration limit = std::chrono::seconds(20)) {
    ChildResult result;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return result;
    const auto start = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close(fds[0]);
        dup2(fds[1], 1);
        int rc = body();
        std::fflush(stdout);
        _exit(rc);
    }
    close(fds[1]);
    result.output = read_until(fds[0], limit, [](const std::string&) { return false; });
    close(fds[0]);
    auto status = wait_bounded(pid, std::chrono::seconds(5));
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (status && WIFEXITED(*status)) result.exit_code = WEXITSTATUS(*status);
    return result;
}

struct GtkState {
    const char* theme_name;
    bool prefer_dark;
};

// In the client child: sets up the environment the case needs and asks for the preference.
// Exit code 1 = dark, 0 = light, 2 and up = the set-up failed (message on stdout).
int ask_prefers_dark(const std::string& bus_address, const std::string& display,
                     std::optional<GtkState> gtk) {
    setenv("DBUS_SESSION_BUS_ADDRESS", bus_address.c_str(), 1);
    setenv("NO_AT_BRIDGE", "1", 1);
    setenv("GDK_BACKEND", "x11", 1);
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("GTK_THEME");
    if (gtk) {
        setenv("DISPLAY", display.c_str(), 1);
        if (!gtk_init_check(nullptr, nullptr)) {
            std::printf("gtk_init_check failed on %s\n", display.c_str());
            return 2;
        }
        g_object_set(gtk_settings_get_default(), "gtk-theme-name", gtk->theme_name,
                     "gtk-application-prefer-dark-theme", gtk->prefer_dark ? TRUE : FALSE, nullptr);
    } else {
        unsetenv("DISPLAY");
    }
    const auto start = Clock::now();
    const bool dark = desktop_theme::prefers_dark();
    std::printf("elapsed %lld\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count()));
    return dark ? 1 : 0;
}

long long elapsed_ms(const std::string& output) {
    auto at = output.find("elapsed ");
    return at == output.npos ? -1 : std::atoll(output.c_str() + at + 8);
}

class DesktopTheme : public testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = std::make_unique<testsupport::TempDir>("tavrin-bus");
        // Our own bus configuration: a session bus without service directories, so that nothing installed
        // on the machine (a real portal, dconf) can be activated behind the stand-in's back.
        const std::string conf = s_dir->sub("bus.conf");
        testsupport::write_file(conf, "<busconfig><type>session</type>"
                                      "<listen>unix:dir=" +
                                          s_dir->path() +
                                          "</listen><auth>EXTERNAL</auth>"
                                          "<policy context=\"default\"><allow send_destination=\"*\"/>"
                                          "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy>"
                                          "</busconfig>");
        auto [bus, address] =
            spawn_and_read_line({"dbus-daemon", "--config-file=" + conf, "--nofork", "--print-address=@FD@"});
        ASSERT_FALSE(address.empty()) << "dbus-daemon did not start";
        s_bus = std::make_unique<Child>(std::move(bus));
        s_address = address;
        s_x = std::make_unique<testsupport::XServer>("640x480x24");
        ASSERT_TRUE(s_x->ok()) << "Xvfb did not start";
        s_display = s_x->display();
    }
    void SetUp() override {
        ASSERT_FALSE(s_address.empty()) << "no session bus for this suite";
        ASSERT_FALSE(s_display.empty()) << "no X server for this suite";
    }

    static void TearDownTestSuite() {
        s_bus.reset();
        s_x.reset();
        s_dir.reset();
    }

    static std::unique_ptr<testsupport::TempDir> s_dir;
    static std::unique_ptr<Child> s_bus;
    static std::unique_ptr<testsupport::XServer> s_x;
    static std::string s_address;
    static std::string s_display;
};

std::unique_ptr<testsupport::TempDir> DesktopTheme::s_dir;
std::unique_ptr<Child> DesktopTheme::s_bus;
std::unique_ptr<testsupport::XServer> DesktopTheme::s_x;
std::string DesktopTheme::s_address;
std::string DesktopTheme::s_display;

struct PreferenceCase {
    const char* name;
    std::optional<PortalBehaviour> portal; // nullopt: nobody owns the portal's name
    std::optional<GtkState> gtk;           // nullopt: no display, so no GTK settings object
    bool want_dark;
    bool no_bus = false;
};

PortalBehaviour answer(unsigned value, int wraps = 2) {
    PortalBehaviour b;
    b.value = value;
    b.wraps = wraps;
    return b;
}

PortalBehaviour answer_of_type(const char* type, unsigned value) {
    PortalBehaviour b;
    b.type = type;
    b.value = value;
    return b;
}

PortalBehaviour failing() {
    PortalBehaviour b;
    b.fail = true;
    return b;
}

PortalBehaviour late(int delay_ms) {
    PortalBehaviour b = answer(1);
    b.delay_ms = delay_ms;
    return b;
}

const GtkState kDarkTheme{"Adwaita-dark", false};
const GtkState kLightTheme{"Adwaita", false};

TEST_F(DesktopTheme, PrefersDarkFollowsPortalThenGtkSettings) {
    const std::vector<PreferenceCase> cases = {
        {"portal 1 is dark", answer(1), std::nullopt, true},
        {"portal 1 beats a light GTK theme", answer(1), kLightTheme, true},
        {"portal 2 is light", answer(2), std::nullopt, false},
        {"portal 2 beats a dark GTK theme", answer(2), GtkState{"Adwaita-dark", true}, false},
        {"value not nested", answer(1, 1), std::nullopt, true},
        {"value nested three deep", answer(1, 3), std::nullopt, true},
        {"no preference, dark theme name", answer(0), kDarkTheme, true},
        {"no preference, DARK in capitals", answer(0), GtkState{"HighContrastDARK", false}, true},
        {"no preference, dark in the middle", answer(0), GtkState{"Mint-Y-Dark-Aqua", false}, true},
        {"no preference, prefer-dark property", answer(0), GtkState{"Adwaita", true}, true},
        {"no preference, light theme", answer(0), kLightTheme, false},
        {"no preference, no GTK settings", answer(0), std::nullopt, false},
        {"unknown value 7 goes to GTK", answer(7), kDarkTheme, true},
        {"int32 1 is not the portal's type", answer_of_type("i", 1), kLightTheme, false},
        {"a string is not the portal's type", answer_of_type("s", 0), kLightTheme, false},
        {"portal error, dark theme", failing(), kDarkTheme, true},
        {"portal error, light theme", failing(), kLightTheme, false},
        {"no portal, dark theme", std::nullopt, kDarkTheme, true},
        {"no portal, light theme", std::nullopt, kLightTheme, false},
        {"no portal, no GTK settings", std::nullopt, std::nullopt, false},
        {"late portal, dark theme", late(3000), kDarkTheme, true},
        {"no bus, dark theme", std::nullopt, kDarkTheme, true, true},
        {"no bus, prefer-dark property", std::nullopt, GtkState{"Adwaita", true}, true, true},
        {"no bus, no GTK settings", std::nullopt, std::nullopt, false, true},
    };
    for (const PreferenceCase& c : cases) {
        SCOPED_TRACE(c.name);
        Child portal;
        if (c.portal) {
            portal = start_portal(s_address, *c.portal);
            ASSERT_GT(portal.pid(), 0);
        }
        const std::string address = c.no_bus ? "unix:path=" + s_dir->sub("no-such-bus") : s_address;
        ChildResult r = run_in_child([&] { return ask_prefers_dark(address, s_display, c.gtk); });
        ASSERT_TRUE(r.exit_code == 0 || r.exit_code == 1) << "exit " << r.exit_code << ": " << r.output;
        EXPECT_EQ(r.exit_code == 1, c.want_dark);
        EXPECT_LT(elapsed_ms(r.output), 2000) << r.output;
    }
}

TEST_F(DesktopTheme, PortalThatDoesNotAnswerIsAbandonedAfterHalfASecond) {
    Child portal = start_portal(s_address, late(5000));
    ASSERT_GT(portal.pid(), 0);
    ChildResult r = run_in_child([&] { return ask_prefers_dark(s_address, s_display, std::nullopt); });
    ASSERT_TRUE(r.exit_code == 0 || r.exit_code == 1) << "exit " << r.exit_code << ": " << r.output;
    // The late answer would have said dark; the time-out must fall back to "no GTK settings" = light.
    EXPECT_EQ(r.exit_code, 0);
    const long long ms = elapsed_ms(r.output);
    EXPECT_GE(ms, 450) << "the call did not wait for the portal at all";
    EXPECT_LE(ms, 1200);
}

// In the client child: subscribes, has the stand-in emit a series of changes, and reports what arrived.
int watch_and_count(const std::string& bus_address) {
    setenv("DBUS_SESSION_BUS_ADDRESS", bus_address.c_str(), 1);
    int first = 0;
    int second = 0;
    desktop_theme::watch([&] { ++first; });

    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (!bus) {
        std::printf("no bus\n");
        return 2;
    }
    // A round trip to the bus daemon: it handles our AddMatch before answering.
    GVariant* id = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                               "org.freedesktop.DBus", "GetId", nullptr, nullptr,
                                               G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    if (id) g_variant_unref(id);
    auto emit = [&](const char* ns, const char* key) {
        GError* error = nullptr;
        GVariant* r = g_dbus_connection_call_sync(bus, kPortalName, kPortalPath, kControlInterface, "Emit",
                                                  g_variant_new("(ss)", ns, key), nullptr,
                                                  G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
        if (r) g_variant_unref(r);
        if (error) {
            std::printf("emit failed: %s\n", error->message);
            g_error_free(error);
            return false;
        }
        return true;
    };
    // Runs the main context until `done` or a time limit, then a little longer so strays would show up.
    auto settle = [](const std::function<bool()>& done) {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        auto pump = [] {
            while (g_main_context_iteration(nullptr, FALSE)) {
            }
            g_usleep(1000);
        };
        while (!done() && Clock::now() < deadline)
            pump();
        const auto extra = Clock::now() + std::chrono::milliseconds(200);
        while (Clock::now() < extra)
            pump();
    };

    if (!emit("org.freedesktop.appearance", "accent-color") ||
        !emit("org.freedesktop.appearance", "contrast") ||
        !emit("org.gnome.desktop.interface", "color-scheme") ||
        !emit("org.freedesktop.appearance", "color-scheme"))
        return 3;
    settle([&] { return first >= 1; });
    std::printf("after one change: %d\n", first);

    // A second watch replaces the callback and must not make the change arrive twice.
    desktop_theme::watch([&] { ++second; });
    if (!emit("org.freedesktop.appearance", "color-scheme")) return 3;
    settle([&] { return second >= 1; });
    std::printf("after replacing: %d %d\n", first, second);
    g_object_unref(bus);
    return 0;
}

TEST_F(DesktopTheme, WatchCallsBackForColorSchemeOnly) {
    Child portal = start_portal(s_address, answer(0));
    ASSERT_GT(portal.pid(), 0);
    ChildResult r = run_in_child([&] { return watch_and_count(s_address); });
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_NE(r.output.find("after one change: 1\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("after replacing: 1 1\n"), std::string::npos) << r.output;
}

TEST_F(DesktopTheme, WatchWithoutBusDoesNothing) {
    const std::string nowhere = "unix:path=" + s_dir->sub("no-such-bus");
    ChildResult r = run_in_child([&] {
        setenv("DBUS_SESSION_BUS_ADDRESS", nowhere.c_str(), 1);
        bool called = false;
        desktop_theme::watch([&] { called = true; });
        for (int i = 0; i < 20; ++i)
            g_main_context_iteration(nullptr, FALSE);
        return called ? 1 : 0;
    });
    EXPECT_EQ(r.exit_code, 0) << r.output;
}

} // namespace
