// Creating the delegate arms the hotkeys before it builds anything slow: the
// indicator's web view alone takes longer than a user waits to press a key.
#include "App/AppDelegate.h"

#include <gtest/gtest.h>

#include "support/RequireService.h"
#include "support/PrivateDisplay.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include "Input/HotkeyManager.h"
#include "Platform/Bundle.h"
#include "Platform/Queues.h"

namespace {

struct WebViewsSeen {
    int count = 0;
    bool hotkeysListenedAtTheFirst = false;
};

bool hotkeysListen() {
    const HotkeyManager& manager = HotkeyManager::shared();
    return !manager.delegate.expired() && manager.isKeyListenerInstalled();
}

TEST(LaunchOrder, TheHotkeysListenBeforeTheIndicatorsWebViewIsBuilt) {
    ONDIRA_REQUIRE_SERVICE(usePrivateDisplay() && gtk_init_check(nullptr, nullptr), "no X display");
    platform::MainQueue::markCurrentThreadAsMain();
    platform::Bundle::overrideBundleDirectory(std::filesystem::path(ONDIRA_BUNDLE_DIR));
    ASSERT_FALSE(hotkeysListen()) << "nothing may listen before the delegate exists";

    // A web view joins its window through "parent-set": the moment it is built into the indicator.
    WebViewsSeen seen;
    g_type_class_unref(g_type_class_ref(GTK_TYPE_WIDGET));
    const guint parentSet = g_signal_lookup("parent-set", GTK_TYPE_WIDGET);
    const gulong hook = g_signal_add_emission_hook(
        parentSet, 0,
        +[](GSignalInvocationHint*, guint count, const GValue* values, gpointer data) -> gboolean {
            auto* seen = static_cast<WebViewsSeen*>(data);
            if (count > 0 && WEBKIT_IS_WEB_VIEW(g_value_get_object(&values[0])) && seen->count++ == 0)
                seen->hotkeysListenedAtTheFirst = hotkeysListen();
            return TRUE;
        },
        &seen, nullptr);
    auto* delegate = new AppDelegate();
    g_signal_remove_emission_hook(parentSet, hook);
    platform::Bundle::overrideBundleDirectory(std::nullopt);

    ASSERT_GT(seen.count, 0) << "creating the delegate builds the indicator";
    EXPECT_TRUE(seen.hotkeysListenedAtTheFirst) << "the indicator's web view was built before the hotkeys listened";
    EXPECT_TRUE(hotkeysListen());
    EXPECT_NE(delegate->menu(), nullptr) << "the status menu is built by creation as well";
}

}  // namespace
