#pragma once
// Every web view of the program (the indicator pill and the hub) is made
// here, so they share one web context and, through a related view, one
// web process: a second engine process would cost tens of megabytes for a
// window that is mostly hidden.
#include <filesystem>

typedef struct _WebKitWebView WebKitWebView;
typedef struct _WebKitWebContext WebKitWebContext;
typedef struct _WebKitUserContentManager WebKitUserContentManager;

namespace ui {

// Where the web context keeps its storage: a private (0700) folder of its own
// inside Application Support.
std::filesystem::path webStorageDirectory();

// The one web context (main thread; created on first use, never released).
WebKitWebContext* sharedWebContext();

// A new web view (floating reference, as gtk widgets are) in the shared
// context. `contentManager` may be null for a view that takes no messages.
// The first view made becomes the anchor whose web process later views share.
WebKitWebView* newSharedWebView(WebKitUserContentManager* contentManager);

}  // namespace ui
