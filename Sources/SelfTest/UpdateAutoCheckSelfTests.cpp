#include "Base/AppPaths.h"
#include "Platform/Unicode.h"
#include "Platform/URLSession.h"
#include "SelfTest/HubPageSource.h"
#include "SelfTest/SelfTest.h"
#include "Update/UpdateChecker.h"

#include <atomic>
#include <cmath>

namespace UpdateAutoCheckSelfTests {

namespace {

using Clock = UpdateChecker::Clock;

const char* kSuiteName = "com.ondira.selftest.updateauto";

std::string printed(bool value) { return value ? "true" : "false"; }

Clock::time_point at(double secondsSince1970) {
    return Clock::time_point(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(secondsSince1970)));
}

double secondsOf(Clock::time_point t) { return std::chrono::duration<double>(t.time_since_epoch()).count(); }

// A session that never reaches the network: every request is refused at once
// and counted, so a case can tell whether a check was started at all.
class RefusingSession final : public platform::URLSession {
public:
    void get(const std::string&, std::function<void(platform::HTTPResult)> completion) override {
        ++requests;
        platform::HTTPResult refused;
        refused.error = "requests are refused during the self-test";
        completion(refused);
    }
    std::atomic<int> requests{0};
};

// Opens the suite's own settings domain, cleared, and clears it again on every exit.
struct IsolatedSuite {
    std::shared_ptr<platform::SettingsStore> store;
    IsolatedSuite() : store(AppPaths::settingsSuite(kSuiteName)) {
        if (store) store->removePersistentDomain(kSuiteName);
    }
    ~IsolatedSuite() {
        if (store) store->removePersistentDomain(kSuiteName);
    }
};

SelfTestOutcome withIsolatedSuite(
    const std::function<SelfTestOutcome(const std::shared_ptr<platform::SettingsStore>&)>& body) {
    IsolatedSuite suite;
    if (!suite.store) return SelfTestOutcome::skip("could not open an isolated defaults suite");
    return body(suite.store);
}

}  // namespace

std::vector<SelfTestCase> cases() {
    // 2027-01-15 08:00:00 UTC, shared by every time-based case.
    const Clock::time_point now = at(1800000000.0);
    const double interval = UpdateChecker::automaticCheckInterval;
    auto due = [now, interval](bool enabled, std::optional<Clock::time_point> lastChecked) {
        return UpdateChecker::shouldCheckAutomatically(enabled, lastChecked, now, interval);
    };
    auto before = [now](double seconds) { return std::optional<Clock::time_point>(at(secondsOf(now) - seconds)); };

    std::vector<SelfTestCase> out;
    out.push_back({"automatic check never runs when the switch is off",
                   "removing the enabled guard would contact the vendor's server at launch for a user who never opted "
                   "in, the one thing the product promises not to do",
                   [due, before, interval] {
                       if (due(false, before(100 * interval)) || due(false, std::nullopt)) {
                           return SelfTestOutcome::fail(
                               "a disabled checker considered itself due (stamp 100 intervals old or absent)");
                       }
                       return SelfTestOutcome::pass();
                   }});
    out.push_back({"automatic check is due when enabled and never yet checked",
                   "returning false for a missing stamp would leave an opted-in user without a first check, since "
                   "nothing else sets the stamp",
                   [due] {
                       if (!due(true, std::nullopt)) {
                           return SelfTestOutcome::fail(
                               "an enabled checker with no prior check did not consider itself due");
                       }
                       return SelfTestOutcome::pass();
                   }});
    out.push_back({"automatic check honours the once-a-day interval on both sides of the boundary",
                   "changing the comparison from at-least to strictly-greater would hold a check off for a user exactly "
                   "on the boundary; dropping it would check at every launch",
                   [due, before, interval] {
                       const bool oneHourAgo = due(true, before(3600));
                       const bool justUnder = due(true, before(interval - 60));
                       if (oneHourAgo || justUnder) {
                           return SelfTestOutcome::fail("checked again inside the interval (oneHourAgo=" +
                                                        printed(oneHourAgo) + ", justUnder=" + printed(justUnder) + ")");
                       }
                       const bool exactly = due(true, before(interval));
                       const bool wellOver = due(true, before(3 * interval));
                       if (!exactly || !wellOver) {
                           return SelfTestOutcome::fail("did not check at or past the interval (exactly=" +
                                                        printed(exactly) + ", wellOver=" + printed(wellOver) + ")");
                       }
                       return SelfTestOutcome::pass();
                   }});
    out.push_back({"a last-checked stamp in the future is treated as a clock change, not a recent check",
                   "without the future-stamp branch, a machine whose clock once jumped forward would not check again "
                   "until real time caught up, which can be years",
                   [due, before, interval] {
                       if (!due(true, before(-interval))) {
                           return SelfTestOutcome::fail(
                               "a future last-checked stamp suppressed the check instead of forcing one");
                       }
                       return SelfTestOutcome::pass();
                   }});
    out.push_back({"the automatic-checks switch defaults to off and persists when set",
                   "a default of on fails at once; a setter that does not write the setting fails subtly, because the "
                   "switch seems to work for the session and resets at the next launch",
                   [] {
                       return withIsolatedSuite([](const std::shared_ptr<platform::SettingsStore>& store) {
                           UpdateChecker first(store);
                           if (first.automaticChecksEnabled()) {
                               return SelfTestOutcome::fail(
                                   "automatic update checks defaulted to ON \u2014 the "
                                   "zero-egress default is the product's whole claim");
                           }
                           first.setAutomaticChecksEnabled(true);
                           if (!store->boolValue(UpdateChecker::automaticChecksEnabledKey)) {
                               return SelfTestOutcome::fail(
                                   "setting automaticChecksEnabled did not reach UserDefaults, "
                                   "so the choice dies with the process");
                           }
                           UpdateChecker second(store);
                           if (!second.automaticChecksEnabled()) {
                               return SelfTestOutcome::fail(
                                   "a fresh UpdateChecker over the same defaults read the switch back as off");
                           }
                           return SelfTestOutcome::pass();
                       });
                   }});
    out.push_back({"lastCheckedDate survives a relaunch",
                   "a last-check time kept only in memory made the hub's \"Last checked\" line read never for a user who "
                   "had checked minutes before",
                   [now] {
                       return withIsolatedSuite([now](const std::shared_ptr<platform::SettingsStore>& store) {
                           if (UpdateChecker(store).lastCheckedDate()) {
                               return SelfTestOutcome::fail(
                                   "a checker over empty defaults reported a last-checked date out of nowhere");
                           }
                           const double written = secondsOf(now);
                           store->setDouble(UpdateChecker::lastCheckedAtKey, written);
                           auto readBack = UpdateChecker(store).lastCheckedDate();
                           if (!readBack) {
                               return SelfTestOutcome::fail(
                                   "a persisted last-checked stamp was not read back \u2014 the "
                                   "panel would say 'never' after every relaunch");
                           }
                           if (std::fabs(secondsOf(*readBack) - written) >= 1.0) {
                               return SelfTestOutcome::fail("read back " +
                                                            platform::text::formatDouble(secondsOf(*readBack)) +
                                                            ", expected " + platform::text::formatDouble(written));
                           }
                           return SelfTestOutcome::pass();
                       });
                   }});
    // The session handed in refuses every request, so even a wrongly started
    // check stays on this machine; the case judges the decision and whether
    // a request was made.
    out.push_back({"checkAutomaticallyIfDue declines to check when the switch is off",
                   "dropping the guard would make a real network call for a user who opted out, so the case reports the "
                   "decision rather than the result",
                   [now] {
                       return withIsolatedSuite([now](const std::shared_ptr<platform::SettingsStore>& store) {
                           UpdateChecker checker(store);
                           auto session = std::make_shared<RefusingSession>();
                           const bool started = checker.checkAutomaticallyIfDue(now, session, [](UpdateStatus) {});
                           if (started || session->requests > 0) {
                               return SelfTestOutcome::fail(
                                   "checkAutomaticallyIfDue started a check while automatic checks were disabled");
                           }
                           return SelfTestOutcome::pass();
                       });
                   }});
    for (auto& c : UpdateAutoCheckPageCases()) out.push_back(std::move(c));
    return out;
}

}  // namespace UpdateAutoCheckSelfTests

ONDIRA_SELFTEST_SUITE("UpdateAutoCheck", UpdateAutoCheckSelfTests::cases);
