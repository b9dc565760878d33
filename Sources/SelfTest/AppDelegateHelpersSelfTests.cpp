#include "App/AppDelegate.h"
#include "App/AppPaths.h"
#include "SelfTest/SelfTest.h"

namespace AppDelegateHelpersSelfTests {

std::vector<SelfTestCase> cases() {
    std::vector<SelfTestCase> out;

    // The tool is linked into the user's own bin directory here, so the
    // command names that link rather than a system directory.
    out.push_back({"cliInstallCommand: produces a plain `ln -s <bin> /usr/local/bin/ondira` with no sudo",
                   "if the fallback command ever gained a sudo prefix, a user pasting it would be asked for a password "
                   "by text this application generated",
                   [] {
                       const std::string bin = "/Applications/Ondira.app/Contents/MacOS/Ondira";
                       const std::string cmd = AppDelegate::cliInstallCommand(bin);
                       const std::string link = AppDelegate::cliLinkPath().string();
                       if (cmd.find("sudo") == std::string::npos && cmd.find("ln -s") != std::string::npos &&
                           cmd.find(bin) != std::string::npos && cmd.find(link) != std::string::npos)
                           return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("cliInstallCommand produced unexpected text: " + cmd);
                   }});

    out.push_back({"cliInstallCommand: threads the exact resolved binary path given, not a hardcoded one",
                   "a hard-coded application path would print an unusable command for any development build or moved "
                   "installation",
                   [] {
                       const std::string bin = "/tmp/some/dev/build/Ondira";
                       const std::string cmd = AppDelegate::cliInstallCommand(bin);
                       if (cmd.find(bin) != std::string::npos) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("cliInstallCommand ignored its forBinaryAt argument: " + cmd);
                   }});

    out.push_back({"stagingCommitTitle: carries the live entry count, and a different count produces a different title",
                   "a fixed \"Commit Staged Text\" would read the same with 0, 1 or 40 entries staged, a status text "
                   "that does not tell the truth",
                   [] {
                       const std::string t0 = AppDelegate::stagingCommitTitle(0);
                       const std::string t1 = AppDelegate::stagingCommitTitle(1);
                       const std::string t40 = AppDelegate::stagingCommitTitle(40);
                       const bool distinct = t0 != t1 && t1 != t40 && t0 != t40;
                       if (distinct && t1.find("1") != std::string::npos && t40.find("40") != std::string::npos &&
                           t0.find("0 ") == std::string::npos)
                           return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("titles were 0=" + t0 + " 1=" + t1 + " 40=" + t40);
                   }});

    out.push_back({"stagingCommitTitle: singular for one entry, plural for more than one",
                   "\"1 entries\" reads as unfinished software; this fails if the plural is unconditional",
                   [] {
                       const std::string one = AppDelegate::stagingCommitTitle(1);
                       const std::string two = AppDelegate::stagingCommitTitle(2);
                       if (one.find("1 entry") != std::string::npos && one.find("entries") == std::string::npos &&
                           two.find("2 entries") != std::string::npos)
                           return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("one=" + one + " two=" + two);
                   }});

    out.push_back({"staging mode defaults OFF, unlike every other feature flag here",
                   "staging changes where a dictation lands; a default of on would silently stop pasting for every "
                   "existing user; reading the registered default catches a stray registration that turns it on",
                   [] {
                       auto store = AppPaths::userDefaults();
                       store->removeObject(AppDelegate::stagingModeKey);
                       if (!store->boolValue(AppDelegate::stagingModeKey)) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail(std::string("default was ") + "true" + " for key " +
                                                    AppDelegate::stagingModeKey);
                   }});
    return out;
}

}  // namespace AppDelegateHelpersSelfTests

ONDIRA_SELFTEST_SUITE("AppDelegateHelpers", AppDelegateHelpersSelfTests::cases);
