#pragma once
// The two permission answers the dictation road needs at the moment it acts.
namespace PermissionGate {

// The sound server answers and has a default input source.
bool microphoneAuthorized();
// Text can be inserted: the accessibility bus is up and the X server
// accepts synthesised input.
bool accessibilityTrusted();

}  // namespace PermissionGate
