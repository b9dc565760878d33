// The page and the dispatcher must agree on every message name, in both
// directions, and a name nobody handles must leave a trace in the log.
#include "SelfTest/HubPageSource.h"

#include <algorithm>
#include <iterator>

namespace BridgeContractSelfTests {

namespace {
std::set<std::string> minus(const std::set<std::string>& a, const std::set<std::string>& b) {
    std::set<std::string> out;
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::inserter(out, out.end()));
    return out;
}
}  // namespace

std::vector<SelfTestCase> cases() {
    auto page = HubPageSource::bundledPage();
    if (!page) {
        return {{"bridge contract", "n/a", [] {
                     return SelfTestOutcome::fail(
                         "bundled ondira_hub.html not found \u2014 cannot run any "
                         "bridge-contract check");
                 }}};
    }
    const auto sent = HubPageSource::postedMessages(*page);
    if (!SelfTestSupport::repoRoot()) {
        return {{"bridge contract (HubWindow source scan)", "n/a", [] {
                     return SelfTestOutcome::skip(
                         "dev source tree not present next to this bundle \u2014 cannot "
                         "cross-check HubWindow");
                 }}};
    }
    auto source = SelfTestSupport::readRepoFile(HubPageSource::dispatcherFile);
    auto scan = source ? HubPageSource::scanDispatcher(*source) : std::nullopt;
    if (!scan) {
        return {{"bridge contract (HubWindow source scan)", "n/a", [] {
                     return SelfTestOutcome::fail(std::string("could not parse ") + HubPageSource::dispatcherFile +
                                                  "'s message dispatcher (HubBridge::handleMessage)");
                 }}};
    }
    const auto handled = scan->handlers;
    const bool logsUnhandled = scan->logsUnhandled;
    return {
        {"every act() message of the hub page has a matching handler in the host program",
         "a new page button that sends a new message without a matching exact-word or prefix handler in the "
         "dispatcher fails this: the class of fault in which two dead buttons were shipped",
         [sent, handled] {
             const auto missing = minus(sent, handled);
             if (missing.empty()) return SelfTestOutcome::pass();
             return SelfTestOutcome::fail("ondira_hub.html sends these messages with no handler in the host program: " +
                                          HubPageSource::joined(missing));
         }},
        {"every handler of the host program is reached by the hub page (reverse direction)",
         "deleting the page's call site of a message while its handler stays leaves dead handler code; the check has "
         "no allow-list, so a dead handler cannot hide behind one",
         [sent, handled] {
             const auto unreached = minus(handled, sent);
             if (unreached.empty()) return SelfTestOutcome::pass();
             return SelfTestOutcome::fail(
                 "the host program handles these messages but ondira_hub.html never sends "
                 "them: " +
                 HubPageSource::joined(unreached));
         }},
        {"unhandled bridge messages are logged, not silently dropped",
         "without the logging branch for unmatched messages, a misspelt or future message would vanish without any "
         "diagnostic trace",
         [logsUnhandled] {
             if (logsUnhandled) return SelfTestOutcome::pass();
             return SelfTestOutcome::fail(std::string("no '") + HubPageSource::unhandledLog +
                                          "' log line found in HubBridge::handleMessage");
         }},
    };
}

}  // namespace BridgeContractSelfTests

ONDIRA_SELFTEST_SUITE("BridgeContract", BridgeContractSelfTests::cases);
