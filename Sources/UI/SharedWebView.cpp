#include "UI/SharedWebView.h"

#include "Base/AppPaths.h"
#include "Platform/FileIO.h"

#include <webkit2/webkit2.h>

namespace ui {
namespace {
// Weak: when the anchor goes, the next view becomes the anchor.
WebKitWebView* gAnchor = nullptr;
}  // namespace

std::filesystem::path webStorageDirectory() { return AppPaths::applicationSupport() / "WebView"; }

WebKitWebContext* sharedWebContext() {
    static WebKitWebContext* context = [] {
        // WebKit's DMA-BUF renderer draws nothing where the X server has no
        // GPU buffers to share (virtual and remote displays, some drivers).
        // A user's own choice in the environment stands.
        g_setenv("WEBKIT_DISABLE_DMABUF_RENDERER", "1", FALSE);
        // The engine's storage (its HSTS list, local storage, caches) lives in
        // a private folder of its own inside ours, not loose in the data
        // folder with the engine's own permissions.
        const std::filesystem::path storage = webStorageDirectory();
        const std::filesystem::path cache = storage / "cache";
        platform::makePrivateDirectory(storage);
        platform::makePrivateDirectory(cache);
        WebKitWebsiteDataManager* manager =
            webkit_website_data_manager_new("base-data-directory", storage.c_str(), "base-cache-directory", cache.c_str(),
                                            nullptr);
        WebKitWebContext* made = webkit_web_context_new_with_website_data_manager(manager);
        g_object_unref(manager);
        return made;
    }();
    return context;
}

WebKitWebView* newSharedWebView(WebKitUserContentManager* contentManager) {
    WebKitWebContext* context = sharedWebContext();
    GObject* object = nullptr;
    WebKitSettings* settings = webkit_settings_new();
    webkit_settings_set_enable_developer_extras(settings, FALSE);
    if (!contentManager) contentManager = webkit_user_content_manager_new();
    else g_object_ref(contentManager);
    if (gAnchor)
        object = G_OBJECT(g_object_new(WEBKIT_TYPE_WEB_VIEW, "related-view", gAnchor, "user-content-manager", contentManager,
                                       "settings", settings, nullptr));
    else
        object = G_OBJECT(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context, "user-content-manager", contentManager,
                                       "settings", settings, nullptr));
    g_object_unref(contentManager);
    g_object_unref(settings);
    auto* view = WEBKIT_WEB_VIEW(object);
    if (!gAnchor) {
        gAnchor = view;
        g_object_add_weak_pointer(object, reinterpret_cast<gpointer*>(&gAnchor));
    }
    return view;
}

}  // namespace ui
