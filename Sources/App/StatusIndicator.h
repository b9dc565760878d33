#pragma once
// The status item: an application indicator, shown in a StatusNotifier
// area, or as a classic tray icon (XEmbed) where the panel has only a
// system tray.
typedef struct _AppIndicator AppIndicator;

namespace StatusIndicator {
// Like app_indicator_new_with_path, with a tray icon of its own for the
// classic tray: the library's names its icon after the indicator once the
// icon is on screen, which makes GTK take the icon's window down and up
// again behind the tray's back, and GDK report a thaw it never froze
// (a Gdk-CRITICAL on every launch beside such a tray). Ours is never named.
AppIndicator* create(const char* id, const char* iconName, const char* iconThemePath);
}  // namespace StatusIndicator
