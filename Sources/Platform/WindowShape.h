#pragma once
// The outline of a borderless window with rounded corners. A compositor
// blends the window's transparent pixels with what lies below; without one
// (a plain X11 window manager) the X server paints them black, so the
// window itself must be cut to the rounded shape.
typedef struct _GtkWidget GtkWidget;

namespace platform::windowshape {

// Whether the window's screen has a compositor running now.
bool isComposited(GtkWidget* window);

// Cuts `window` to a width x height rectangle whose corners are quarter
// circles of `radius` when its screen is not composited; on a composited
// screen the window keeps its full rectangle (its own pixels are see-through
// there, and a cut edge would lose their smoothing). Works before the window
// is realized too: the shape is applied when it is.
void roundCorners(GtkWidget* window, int width, int height, int radius);

}  // namespace platform::windowshape
