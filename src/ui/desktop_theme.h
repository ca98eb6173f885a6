#pragma once

#include <functional>

// The desktop's light/dark preference, from the settings portal on the session bus with the GTK settings
// as a fallback. Main thread only.
namespace desktop_theme {

// True when the desktop prefers a dark colour scheme. Blocks for at most about half a second when the
// portal does not answer.
bool prefers_dark();

// Calls `on_change` (on the main context) whenever the portal reports a new colour-scheme preference.
// A later call replaces the earlier callback. Without a session bus the preference is not followed.
void watch(std::function<void()> on_change);

} // namespace desktop_theme
