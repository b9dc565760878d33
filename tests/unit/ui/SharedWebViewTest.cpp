// Where the web views keep their storage: a private folder of the program's
// own, not the engine's default places with the engine's own permissions.
#include "Base/AppPaths.h"
#include "UI/SharedWebView.h"
#include "support/RequireService.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <webkit2/webkit2.h>

#include <cstdlib>
#include <string>

namespace fs = std::filesystem;

namespace {

bool inside(const std::string& path, const fs::path& folder) {
    return path.rfind(folder.string() + "/", 0) == 0 || path == folder.string();
}

TEST(SharedWebView, KeepsItsStorageInAPrivateFolderOfItsOwn) {
    ONDIRA_REQUIRE_SERVICE(std::getenv("DISPLAY") && gtk_init_check(nullptr, nullptr), "no display");
    TempDir state("ondira-webstore-");
    ScopedEnv isolated{AppPaths::selfTestStateDirVariable, state.path.string()};
    const mode_t old = ::umask(022);
    WebKitWebContext* context = ui::sharedWebContext();
    ::umask(old);
    const fs::path storage = ui::webStorageDirectory();
    EXPECT_EQ(storage.parent_path(), AppPaths::applicationSupport());
    WebKitWebsiteDataManager* manager = webkit_web_context_get_website_data_manager(context);
    ASSERT_NE(manager, nullptr);
    for (const gchar* dir : {webkit_website_data_manager_get_base_data_directory(manager),
                             webkit_website_data_manager_get_base_cache_directory(manager)}) {
        ASSERT_NE(dir, nullptr);
        EXPECT_TRUE(inside(dir, storage)) << dir;
    }
    for (const fs::path& p : {storage, storage / "cache"}) {
        struct stat st {};
        ASSERT_EQ(::stat(p.c_str(), &st), 0) << p;
        EXPECT_EQ(st.st_mode & 07777, 0700u) << p;
    }
}

}  // namespace
