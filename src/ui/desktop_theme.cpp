#include "ui/desktop_theme.h"

#include <gio/gio.h>
#include <gtk/gtk.h>

#include <memory>
#include <string>

namespace desktop_theme {
namespace {

constexpr const char* kPortalName = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kSettingsInterface = "org.freedesktop.portal.Settings";
constexpr const char* kAppearanceNamespace = "org.freedesktop.appearance";
constexpr const char* kColorSchemeKey = "color-scheme";
constexpr int kPortalTimeoutMs = 500;

struct GObjectUnref {
    void operator()(gpointer p) const { g_object_unref(p); }
};
struct VariantUnref {
    void operator()(GVariant* v) const { g_variant_unref(v); }
};
struct ErrorFree {
    void operator()(GError* e) const { g_error_free(e); }
};
using VariantPtr = std::unique_ptr<GVariant, VariantUnref>;

enum class PortalAnswer { Dark, Light, Unknown };

PortalAnswer ask_portal() {
    GError* raw_error = nullptr;
    std::unique_ptr<GDBusConnection, GObjectUnref> bus(
        g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &raw_error));
    std::unique_ptr<GError, ErrorFree> error(raw_error);
    if (!bus) return PortalAnswer::Unknown;

    raw_error = nullptr;
    VariantPtr reply(g_dbus_connection_call_sync(
        bus.get(), kPortalName, kPortalPath, kSettingsInterface, "Read",
        g_variant_new("(ss)", kAppearanceNamespace, kColorSchemeKey), G_VARIANT_TYPE("(v)"),
        G_DBUS_CALL_FLAGS_NONE, kPortalTimeoutMs, nullptr, &raw_error));
    error.reset(raw_error);
    bus.reset();
    if (!reply) return PortalAnswer::Unknown;

    VariantPtr value(g_variant_get_child_value(reply.get(), 0));
    // The portal's Read wraps the setting in a second variant, so unwrap as deep as it goes.
    while (value && g_variant_is_of_type(value.get(), G_VARIANT_TYPE_VARIANT))
        value.reset(g_variant_get_variant(value.get()));
    if (!value || !g_variant_is_of_type(value.get(), G_VARIANT_TYPE_UINT32)) return PortalAnswer::Unknown;
    switch (g_variant_get_uint32(value.get())) {
    case 1:
        return PortalAnswer::Dark;
    case 2:
        return PortalAnswer::Light;
    default:
        return PortalAnswer::Unknown;
    }
}

bool gtk_settings_prefer_dark() {
    GtkSettings* settings = gtk_settings_get_default();
    if (!settings) return false;
    gboolean prefer_dark = FALSE;
    gchar* theme_name = nullptr;
    g_object_get(settings, "gtk-application-prefer-dark-theme", &prefer_dark, "gtk-theme-name", &theme_name,
                 nullptr);
    std::unique_ptr<gchar, decltype(&g_free)> owned_name(theme_name, &g_free);
    if (prefer_dark) return true;
    if (!theme_name) return false;
    std::unique_ptr<gchar, decltype(&g_free)> lower(g_ascii_strdown(theme_name, -1), &g_free);
    return std::string(lower.get()).find("dark") != std::string::npos;
}

// The one callback and the one subscription; the connection is held so the subscription lives as long as
// the process.
std::unique_ptr<std::function<void()>> g_callback;
GDBusConnection* g_watch_bus = nullptr;
guint g_subscription = 0;

void on_setting_changed(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                        GVariant* parameters, gpointer) {
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ssv)"))) return;
    const gchar* ns = nullptr;
    const gchar* key = nullptr;
    GVariant* value = nullptr;
    g_variant_get(parameters, "(&s&sv)", &ns, &key, &value);
    if (value) g_variant_unref(value);
    if (g_strcmp0(ns, kAppearanceNamespace) != 0 || g_strcmp0(key, kColorSchemeKey) != 0) return;
    if (g_callback && *g_callback) (*g_callback)();
}

} // namespace

bool prefers_dark() {
    switch (ask_portal()) {
    case PortalAnswer::Dark:
        return true;
    case PortalAnswer::Light:
        return false;
    case PortalAnswer::Unknown:
        break;
    }
    return gtk_settings_prefer_dark();
}

void watch(std::function<void()> on_change) {
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (!bus) return;
    g_callback = std::make_unique<std::function<void()>>(std::move(on_change));
    // Subscribing once more would deliver every change twice; a second call only replaces the callback.
    if (g_subscription != 0 && bus == g_watch_bus) {
        g_object_unref(bus);
        return;
    }
    if (g_subscription != 0) {
        g_dbus_connection_signal_unsubscribe(g_watch_bus, g_subscription);
        g_object_unref(g_watch_bus);
    }
    g_watch_bus = bus;
    g_subscription = g_dbus_connection_signal_subscribe(
        bus, kPortalName, kSettingsInterface, "SettingChanged", kPortalPath, nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE, on_setting_changed, nullptr, nullptr);
}

} // namespace desktop_theme
