#pragma once
// How the program presents itself on the desktop.
//
// regular:   an ordinary windowed application: it opens its main window at
//            start and its life is that window's.
// accessory: a tray application: its status icon is its only presence while
//            no window is open, so it has no taskbar or launcher entry of its
//            own then, opens no window at start unless the first-window rule
//            asks for one (onboarding, or a link that opens the hub), and
//            keeps running when its last window closes.
enum class ActivationPolicy { regular, accessory };

namespace AppActivation {
// Ondira is a tray application; the process entry applies this constant.
inline constexpr ActivationPolicy policy = ActivationPolicy::accessory;
}  // namespace AppActivation
