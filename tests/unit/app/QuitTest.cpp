#include "App/AppDelegate.h"

#include <gtest/gtest.h>

#include "support/RequireService.h"

#include <gtk/gtk.h>
#include <signal.h>

#include <optional>

#include "Base/AppPaths.h"
#include "Platform/Bundle.h"
#include "Platform/Queues.h"
#include "Text/PolishService.h"
#include "support/FakeModelServer.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {
GtkWidget* menuItemTitled(GtkWidget* menu, const std::string& title) {
    GtkWidget* found = nullptr;
    GList* children = gtk_container_get_children(GTK_CONTAINER(menu));
    for (GList* l = children; l && !found; l = l->next)
        if (GTK_IS_MENU_ITEM(l->data) && !GTK_IS_SEPARATOR_MENU_ITEM(l->data) &&
            title == gtk_menu_item_get_label(GTK_MENU_ITEM(l->data)))
            found = GTK_WIDGET(l->data);
    g_list_free(children);
    return found;
}
}  // namespace

// The rewrite helper is our child: choosing Quit in the status menu must end
// it with the program, not leave it running on its own.
TEST(Quit, ChoosingQuitInTheStatusMenuEndsTheRewriteHelper) {
    ONDIRA_REQUIRE_SERVICE(std::getenv("DISPLAY") && gtk_init_check(nullptr, nullptr), "no X display");
    platform::MainQueue::markCurrentThreadAsMain();
    TempDir state;
    ScopedEnv isolated(AppPaths::selfTestStateDirVariable, state.path.string());
    platform::Bundle::overrideBundleDirectory(fs::path(ONDIRA_BUNDLE_DIR));
    struct Cleanup {
        ~Cleanup() {
            PolishService::shared().shutdown();  // whatever the test saw, no helper outlives it
            platform::Bundle::overrideBundleDirectory(std::nullopt);
        }
    } cleanup;
    FakeModelServer server;
    server.onChat([](const nlohmann::json&) { return FakeModelServer::completion("\"Hello.\""); });
    ScopedEnv endpoint("MIRVANE_ENDPOINT", server.url());
    ScopedEnv model("MIRVANE_MODEL", std::nullopt);

    AppDelegate* delegate = new AppDelegate();
    std::optional<PolishService::RewriteOutcome> got;
    PolishService::shared().rewrite("polish", "hello", std::nullopt,
                                    [&](const PolishService::RewriteOutcome& o) { got = o; });
    platform::MainQueue::pump(40, [&] { return got.has_value(); });
    ASSERT_TRUE(got.has_value()) << "the rewrite never finished";
    ASSERT_TRUE(got->isSuccess()) << got->description();
    const std::optional<pid_t> helper = PolishService::shared().currentChildPid();
    ASSERT_TRUE(helper);
    ASSERT_EQ(::kill(*helper, 0), 0);

    GtkWidget* quit = menuItemTitled(delegate->menu(), "Quit Ondira");
    ASSERT_TRUE(quit);
    platform::MainQueue::async([quit] { gtk_menu_item_activate(GTK_MENU_ITEM(quit)); });
    delegate->runUntilQuit();
    EXPECT_EQ(PolishService::shared().currentChildPid(), std::nullopt);
    EXPECT_NE(::kill(*helper, 0), 0) << "the helper " << *helper << " still runs after Quit";
}
