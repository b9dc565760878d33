#pragma once
// The one table between the portable key codes and modifier masks that
// shortcuts are stored with (virtual key codes such as 49 for Space, modifier
// bits command 256, shift 512, option 2048, control 4096) and the X server's
// keysyms and modifier masks.
#include <cstdint>
#include <optional>

namespace KeyCodes {

inline constexpr std::uint32_t commandMask = 256;
inline constexpr std::uint32_t shiftMask = 512;
inline constexpr std::uint32_t optionMask = 2048;
inline constexpr std::uint32_t controlMask = 4096;

inline constexpr std::uint32_t space = 49;
inline constexpr std::uint32_t returnKey = 36;
inline constexpr std::uint32_t escape = 53;

// X keysym values used by the gesture rules (kept here so the rules don't
// need the X headers).
inline constexpr unsigned long keysymSpace = 0x0020;
inline constexpr unsigned long keysymControlR = 0xffe4;

// The keysym of a portable key code; none for a code outside the table.
std::optional<unsigned long> keysymForKeyCode(std::uint32_t keyCode);
// The portable key code of a keysym (the inverse of the table).
std::optional<std::uint32_t> keyCodeForKeysym(unsigned long keysym);

// The X key code a key sends through the kernel's evdev driver, for keys
// whose keysym the usual keymaps don't carry: F13 to F20 arrive as
// XF86Tools, XF86Launch5... on a stock keymap, so they are found by code.
std::optional<unsigned int> evdevKeycodeForKeyCode(std::uint32_t keyCode);

// X modifier masks (ShiftMask, ControlMask, Mod1Mask for Alt, Mod4Mask for
// Super) of a portable modifier mask; bits outside the four are dropped.
unsigned int xModifiersForPortable(std::uint32_t carbonModifiers);
// The portable mask of X modifier bits (only the four above count).
std::uint32_t portableForXModifiers(unsigned int xModifiers);

}  // namespace KeyCodes
