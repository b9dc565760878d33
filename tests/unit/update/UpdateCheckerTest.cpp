#include "Base/AppPaths.h"
#include "Base/Branding.h"
#include "Base/SystemFloor.h"
#include "Platform/SystemLibrary.h"
#include "Platform/Queues.h"
#include "Update/UpdateChecker.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cctype>

#include <atomic>
#include <mutex>

namespace {

using Clock = UpdateChecker::Clock;

// Answers every request with a fixed response, on a queue of its own like the real session.
class CannedSession final : public platform::URLSession {
public:
    explicit CannedSession(platform::HTTPResult response) : response_(std::move(response)) {}
    void get(const std::string& url, std::function<void(platform::HTTPResult)> completion) override {
        {
            std::lock_guard<std::mutex> guard(lock_);
            urls_.push_back(url);
        }
        queue_.async([this, completion = std::move(completion)] { completion(response_); });
    }
    std::vector<std::string> urls() {
        std::lock_guard<std::mutex> guard(lock_);
        return urls_;
    }

private:
    platform::HTTPResult response_;
    std::mutex lock_;
    std::vector<std::string> urls_;
    platform::SerialQueue queue_{"test.canned-session"};
};

platform::HTTPResult ok(const std::string& body) { return {std::nullopt, 200, body}; }

struct Fixture {
    TempDir dir{"ondira-update-"};
    std::shared_ptr<platform::SettingsStore> store = platform::SettingsStore::open(dir.path, "updates");
};

// Runs one check and waits (bounded) for its completion.
std::optional<UpdateStatus> check(UpdateChecker& checker, const std::string& url,
                                  std::shared_ptr<platform::URLSession> session) {
    auto result = std::make_shared<std::optional<UpdateStatus>>();
    auto done = std::make_shared<platform::Semaphore>();
    auto calls = std::make_shared<std::atomic<int>>(0);
    checker.checkForUpdates(url, std::move(session), [=](UpdateStatus s) {
        ++*calls;
        *result = s;
        done->signal();
    });
    if (!done->wait(10)) return std::nullopt;
    EXPECT_EQ(calls->load(), 1);
    return *result;
}

const std::string kNewer = R"({"version":"99.0.0","downloadURL":"https://ondira.app/releases/Ondira-99.0.0.tar.gz"})";

std::string newerNeeding(const std::string& minOS) {
    return R"({"version":"99.0.0","downloadURL":"https://ondira.app/releases/Ondira-99.0.0.tar.gz","minOS":")" + minOS +
           R"("})";
}

}  // namespace

TEST(UpdateChecker, ReportsWhatTheManifestSays) {
    const std::string current = UpdateChecker::currentAppVersion();
    EXPECT_EQ(current, Branding::version);
    struct Case {
        platform::HTTPResult response;
        UpdateStatus::Kind kind;
        std::string reasonStart;
    };
    const Case table[] = {
        {ok(kNewer), UpdateStatus::Kind::updateAvailable, ""},
        // "minOS" is shown with the release, never used to withhold it.
        {ok(newerNeeding("999.0")), UpdateStatus::Kind::updateAvailable, ""},
        {ok(R"({"version":")" + current + R"(","downloadURL":"x"})"), UpdateStatus::Kind::upToDate, ""},
        {ok(R"({"version":"1.0","downloadURL":"x"})"), UpdateStatus::Kind::upToDate, ""},
        {ok(R"({"version":"99"})"), UpdateStatus::Kind::failed, "The release manifest could not be read ("},
        {ok("<html>"), UpdateStatus::Kind::failed, "The release manifest could not be read ("},
        {{std::nullopt, 404, "{}"}, UpdateStatus::Kind::failed, "The update server answered with HTTP status 404."},
        {{"Could not resolve host", 0, ""}, UpdateStatus::Kind::failed, "The update server could not be reached (Could not"},
    };
    for (const auto& c : table) {
        Fixture f;
        UpdateChecker checker(f.store);
        auto session = std::make_shared<CannedSession>(c.response);
        auto status = check(checker, UpdateChecker::defaultManifestURL(), session);
        ASSERT_TRUE(status) << "no completion within 10 s";
        EXPECT_EQ(status->kind, c.kind) << status->describe();
        EXPECT_EQ(status->reason.rfind(c.reasonStart, 0), 0u) << status->describe();
        // The alert and the hub show the reason after a sentence of their
        // own: it is one sentence too, never a fragment in lower case.
        if (c.kind == UpdateStatus::Kind::failed) {
            EXPECT_TRUE(std::isupper(static_cast<unsigned char>(status->reason.front()))) << status->reason;
            EXPECT_EQ(status->reason.back(), '.') << status->reason;
        }
        EXPECT_EQ(checker.status(), *status) << "the checker keeps what it reported";
        EXPECT_EQ(session->urls(), std::vector<std::string>{UpdateChecker::defaultManifestURL()});
    }
}

TEST(UpdateChecker, NeverFetchesFromAnythingButHTTPSOnTheAllowList) {
    for (const std::string url :
         {"http://ondira.app/releases/manifest.json", "https://ondira.app.evil.net/m.json", "https://evilondira.app/m.json",
          "ftp://ondira.app/m.json", "not a url", "file:///etc/passwd"}) {
        Fixture f;
        UpdateChecker checker(f.store);
        auto session = std::make_shared<CannedSession>(ok(kNewer));
        auto status = check(checker, url, session);
        ASSERT_TRUE(status) << url;
        EXPECT_EQ(status->kind, UpdateStatus::Kind::failed) << url;
        EXPECT_TRUE(session->urls().empty()) << url;
        EXPECT_FALSE(checker.lastCheckedDate()) << "a refused URL is not a check: " << url;
    }
    EXPECT_TRUE(UpdateChecker::isPermittedManifestURL("https://updates.ondira.app/releases/manifest.json"));
    EXPECT_TRUE(UpdateChecker::isPermittedManifestURL(UpdateChecker::defaultManifestURL()));
}

TEST(UpdateChecker, AutomaticChecksAreOptInAndAtMostDaily) {
    Fixture f;
    auto session = std::make_shared<CannedSession>(ok(kNewer));
    const Clock::time_point now = Clock::now();
    {
        UpdateChecker checker(f.store);
        EXPECT_FALSE(checker.automaticChecksEnabled());
        EXPECT_FALSE(checker.checkAutomaticallyIfDue(now, session, nullptr));
        EXPECT_TRUE(session->urls().empty());

        checker.setAutomaticChecksEnabled(true);
        auto done = std::make_shared<platform::Semaphore>();
        EXPECT_TRUE(checker.checkAutomaticallyIfDue(now, session, [done](UpdateStatus) { done->signal(); }));
        ASSERT_TRUE(done->wait(10));
        EXPECT_EQ(session->urls().size(), 1u);
        ASSERT_TRUE(checker.lastCheckedDate());
        EXPECT_LT(std::chrono::abs(*checker.lastCheckedDate() - Clock::now()), std::chrono::seconds(5));
        EXPECT_FALSE(checker.checkAutomaticallyIfDue(Clock::now(), session, nullptr)) << "again within the day";
    }
    // A new checker over the same settings (a relaunch) remembers both.
    UpdateChecker relaunched(f.store);
    EXPECT_TRUE(relaunched.automaticChecksEnabled());
    EXPECT_FALSE(relaunched.checkAutomaticallyIfDue(Clock::now(), session, nullptr));
    EXPECT_TRUE(relaunched.checkAutomaticallyIfDue(Clock::now() + std::chrono::hours(24) + std::chrono::seconds(1), session,
                                                   nullptr));
    EXPECT_EQ(session->urls().size(), 2u);
}

TEST(UpdateChecker, VersionOrderAndStateTokens) {
    const std::tuple<const char*, const char*, bool> versions[] = {
        {" 2.1.0\n", "2.0.9", true}, {"2.10.0", "2.9.0", true}, {"2.0", "2.0.0", false},    {"2.0.0", "2", false},
        {"v3", "2.0.0", false},      {"2.0.x", "2.0", false},   {"2.0.0.0.1", "2.0", true}, {"10", "9.99.99", true},
    };
    for (const auto& [a, b, newer] : versions) EXPECT_EQ(UpdateChecker::isVersion(a, b), newer) << a << " vs " << b;

    ReleaseManifest m{"3", std::nullopt, std::nullopt, "x", std::nullopt, std::nullopt, std::nullopt};
    EXPECT_EQ(UpdateChecker::stateToken(UpdateStatus::upToDate("2")), "uptodate");
    EXPECT_EQ(UpdateChecker::stateToken(UpdateStatus::updateAvailable(m, "2")), "available");
    EXPECT_EQ(UpdateChecker::stateToken(UpdateStatus::failed("x")), "error");
    EXPECT_EQ(UpdateChecker::stateToken(UpdateStatus::idle()), "idle");
    EXPECT_EQ(UpdateChecker::stateToken(UpdateStatus::checking()), "checking");
}

// The system scale "minOS" is published on: Debian releases by the
// C library each shipped, and this build's floor read from its executable.
TEST(SystemFloor, DebianReleasesByTheirCLibrary) {
    struct Case {
        std::string cLibrary;
        std::optional<std::string> needing;
    };
    const Case table[] = {
        {"2.34", "12.0"},  // built on Debian 12: __libc_start_main@GLIBC_2.34
        {"2.36", "12.0"}, {"2.31", "11.0"}, {"2.41", "13.0"}, {"2.99", std::nullopt}, {"2.17", "10.0"}, {"", std::nullopt},
    };
    for (const auto& c : table) {
        EXPECT_EQ(SystemFloor::releaseNeeding(c.cLibrary), c.needing) << c.cLibrary;
    }
    const auto required = platform::system::requiredCLibraryVersion();
    ASSERT_TRUE(required) << "the test binary's own version needs could not be read";
    EXPECT_EQ(SystemFloor::minimumSystemVersion(), SystemFloor::releaseNeeding(*required).value_or(""));
}
