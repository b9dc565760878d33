#include "Platform/WindowShape.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <cmath>

namespace platform::windowshape {

bool isComposited(GtkWidget* window) { return window && gdk_screen_is_composited(gtk_widget_get_screen(window)); }

void roundCorners(GtkWidget* window, int width, int height, int radius) {
    if (!window) return;
    if (isComposited(window) || width <= 0 || height <= 0) {
        gtk_widget_shape_combine_region(window, nullptr);
        return;
    }
    const int r = std::clamp(radius, 0, std::min(width, height) / 2);
    // One row band per pixel row of the corners, each as wide as the circle
    // is at that row's centre; the middle is one rectangle.
    cairo_region_t* region = cairo_region_create();
    auto add = [region](int x, int y, int w, int h) {
        if (w <= 0 || h <= 0) return;
        const cairo_rectangle_int_t rect{x, y, w, h};
        cairo_region_union_rectangle(region, &rect);
    };
    for (int row = 0; row < r; ++row) {
        const double dy = r - (row + 0.5);
        const int inset = static_cast<int>(std::lround(r - std::sqrt(std::max(0.0, double(r) * r - dy * dy))));
        add(inset, row, width - 2 * inset, 1);
        add(inset, height - 1 - row, width - 2 * inset, 1);
    }
    add(0, r, width, height - 2 * r);
    gtk_widget_shape_combine_region(window, region);
    cairo_region_destroy(region);
}

}  // namespace platform::windowshape
