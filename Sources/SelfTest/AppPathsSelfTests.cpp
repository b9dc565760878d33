#include "Base/AppPaths.h"
#include "Platform/Bundle.h"
#include "Platform/FileIO.h"
#include "Platform/UUID.h"
#include "SelfTest/SelfTest.h"

#include <fstream>

namespace fs = std::filesystem;

namespace AppPathsSelfTests {

namespace {
bool startsWith(const fs::path& path, const fs::path& prefix) {
    const std::string p = path.lexically_normal().string();
    const std::string b = prefix.lexically_normal().string();
    return p.compare(0, b.size(), b) == 0;
}

// Restores the real bundle when the case ends, on every path.
struct BundleOverride {
    explicit BundleOverride(const fs::path& dir) { platform::Bundle::overrideBundleDirectory(dir); }
    ~BundleOverride() { platform::Bundle::overrideBundleDirectory(std::nullopt); }
};
}  // namespace

std::vector<SelfTestCase> cases() {
    std::vector<SelfTestCase> out;

    out.push_back({"vocabPacksDirectory resolves inside the app bundle",
                   "if pack resolution ever preferred a path outside the bundle (for example a development fallback "
                   "to the source checkout), the path would no longer start with the bundle's path",
                   [] {
                       auto dir = AppPaths::vocabPacksDirectory();
                       fs::path bundle = platform::Bundle::bundleURL();
                       if (!dir)
                           return SelfTestOutcome::fail(
                               "vocabPacksDirectory returned nil while the bundled resource is present");
                       if (startsWith(*dir, bundle)) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("vocabPacksDirectory (" + dir->string() +
                                                    ") is not inside the bundle (" + bundle.string() + ")");
                   }});

    // The real bundle is never changed: the lookup runs against a temporary
    // bundle that lacks the resource (a plain file of that name doesn't count).
    out.push_back({"vocabPacksDirectory is nil (not a dev-checkout fallback) when bundle resource is absent",
                   "compiling in the development fallback would make the lookup return a directory instead of "
                   "nothing once the bundle's resource is absent",
                   [] {
                       fs::path bundle =
                           platform::temporaryDirectory() / ("ondira-selftest-apppaths-" + platform::newUUID());
                       std::error_code ec;
                       fs::create_directories(bundle / "Resources", ec);
                       if (ec) return SelfTestOutcome::skip("cannot create a temporary bundle: " + ec.message());
                       { std::ofstream(bundle / "Resources" / "vocab_packs") << "not a directory"; }
                       std::optional<fs::path> found;
                       {
                           BundleOverride guard(bundle);
                           if (!platform::Bundle::resourceURL()) {
                               SelfTestSupport::removeIfPresent(bundle);
                               return SelfTestOutcome::fail("no resourceURL — cannot run this check");
                           }
                           found = AppPaths::vocabPacksDirectory();
                       }
                       SelfTestSupport::removeIfPresent(bundle);
                       if (!found) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("expected nil with no bundled resource and no override present, got " +
                                                    found->string());
                   }});
    return out;
}

}  // namespace AppPathsSelfTests

ONDIRA_SELFTEST_SUITE("AppPaths", AppPathsSelfTests::cases);
