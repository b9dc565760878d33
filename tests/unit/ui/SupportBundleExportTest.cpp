// "Export Support Bundle…" without a screen: a recording desktop stands in for
// the file chooser, the alert and the file manager.
#include "Platform/FileIO.h"
#include "Platform/Queues.h"
#include "UI/SupportBundleExport.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

namespace fs = std::filesystem;
using namespace SupportBundleExport;

namespace {

// Writes `text` under a bundle's own name, as the real generator does.
Generator writing(const std::string& text) {
    return [text](const fs::path& directory) {
        const fs::path file = directory / "ondira-support-bundle-20261210-170000.txt";
        EXPECT_TRUE(platform::atomicWrite(file, text, 0600));
        return file;
    };
}

std::vector<std::string> namesIn(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(SupportBundleExport, SuggestedNameCarriesTheDate) {
    std::tm tm{};
    tm.tm_year = 126;
    tm.tm_mon = 11;
    tm.tm_mday = 10;
    tm.tm_hour = 12;
    EXPECT_EQ(suggestedFileName(std::mktime(&tm)), "ondira-support-bundle-2026-12-10.txt");
}

TEST(SupportBundleExport, ReplacesTheChosenFileAndTouchesNothingElse) {
    TempDir dir{"ondira-export-"};
    ASSERT_TRUE(platform::atomicWrite(dir / "my bundle.txt", "old bundle", 0600));
    // A file that happens to carry the generator's own name stays as it was.
    ASSERT_TRUE(platform::atomicWrite(dir / "ondira-support-bundle-20261210-170000.txt", "someone else's", 0600));

    EXPECT_EQ(exportTo(dir / "my bundle.txt", writing("new bundle")), dir / "my bundle.txt");

    EXPECT_EQ(platform::readFile(dir / "my bundle.txt"), "new bundle");
    EXPECT_EQ(platform::readFile(dir / "ondira-support-bundle-20261210-170000.txt"), "someone else's");
    EXPECT_EQ(namesIn(dir.path), (std::vector<std::string>{"my bundle.txt", "ondira-support-bundle-20261210-170000.txt"}));
}

TEST(SupportBundleExport, AFailedBundleLeavesTheChosenFileAsItWas) {
    TempDir dir{"ondira-export-"};
    ASSERT_TRUE(platform::atomicWrite(dir / "bundle.txt", "the earlier bundle", 0600));
    const Generator failing = [](const fs::path&) -> fs::path { throw std::runtime_error("disk full"); };

    EXPECT_THROW(exportTo(dir / "bundle.txt", failing), std::runtime_error);
    EXPECT_EQ(platform::readFile(dir / "bundle.txt"), "the earlier bundle");
    EXPECT_EQ(namesIn(dir.path), std::vector<std::string>{"bundle.txt"});

    // A folder that can't be written to is refused before anything happens.
    EXPECT_THROW(exportTo(dir / "missing-folder" / "bundle.txt", writing("x")), std::runtime_error);
}

struct RecordingDesktop {
    std::optional<fs::path> saveTo;
    std::vector<std::string> events;
    Desktop desktop() {
        Desktop d;
        d.chooseSaveLocation = [this](const std::string& name, auto callback) {
            events.push_back("save panel " + name.substr(0, 22));
            callback(saveTo);
        };
        d.alert = [this](const std::string& m, const std::string& i) { events.push_back("alert: " + m + " / " + i); };
        d.reveal = [this](const fs::path& p) { events.push_back("reveal " + p.filename().string()); };
        d.confirm = [this](const std::string& m, const std::string& i) { events.push_back("confirm: " + m + " / " + i); };
        return d;
    }
};

std::vector<std::string> runFlow(RecordingDesktop& desktop, Generator generate) {
    platform::MainQueue::markCurrentThreadAsMain();
    bool finished = false;
    Options options;
    options.desktop = desktop.desktop();
    options.generate = std::move(generate);
    options.onFinished = [&] { finished = true; };
    exportSupportBundle(std::move(options));
    platform::MainQueue::pump(20.0, [&] { return finished; });
    EXPECT_TRUE(finished);
    return desktop.events;
}

TEST(SupportBundleExport, MenuFlowSavesRevealsCancelsAndAlerts) {
    TempDir dir{"ondira-export-"};
    RecordingDesktop saved;
    saved.saveTo = dir / "for support.txt";
    EXPECT_EQ(runFlow(saved, writing("bundle text")),
              (std::vector<std::string>{"save panel ondira-support-bundle-",
                                        "confirm: Support bundle saved / Saved as " + (dir / "for support.txt").string() + ".",
                                        "reveal for support.txt"}));
    EXPECT_EQ(platform::readFile(dir / "for support.txt"), "bundle text");

    RecordingDesktop cancelled;
    EXPECT_EQ(runFlow(cancelled, writing("unused")), (std::vector<std::string>{"save panel ondira-support-bundle-"}));

    RecordingDesktop failing;
    failing.saveTo = dir / "for support.txt";
    EXPECT_EQ(runFlow(failing, [](const fs::path&) -> fs::path { throw std::runtime_error("disk full"); }),
              (std::vector<std::string>{"save panel ondira-support-bundle-",
                                        "alert: Could not create support bundle / disk full"}));
    EXPECT_EQ(platform::readFile(dir / "for support.txt"), "bundle text");
}

// A file manager that can't show the bundle is logged as the bundle's
// failure, not as some other flow's.
TEST(SupportBundleExport, AFailedShowInFolderIsLoggedAsTheBundles) {
    platform::MainQueue::markCurrentThreadAsMain();
    TempDir dir{"ondira-export-"};
    const fs::path bundle = dir / "bundle.txt";
    std::ofstream(bundle) << "x";
    // The log goes to standard output: into a file of the test's for now.
    const fs::path logFile = dir / "log.txt";
    std::fflush(stdout);
    const int saved = ::dup(1);
    const int into = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(into, 0);
    ::dup2(into, 1);
    ::close(into);
    gtkDesktop().reveal(bundle);
    // The session has no file manager and no folder handler: the call fails
    // on the bus, then the fallback fails too, and only then is it logged.
    const auto logged = [&] { return platform::readFile(logFile).value_or("").find("could not show") != std::string::npos; };
    platform::MainQueue::pump(20.0, logged);
    std::fflush(stdout);
    ::dup2(saved, 1);
    ::close(saved);
    const std::string out = platform::readFile(logFile).value_or("");
    EXPECT_NE(out.find("[SupportBundle] could not show the support bundle in its folder"), std::string::npos) << out;
    EXPECT_EQ(out.find("TranscribeFile"), std::string::npos) << out;
}

}  // namespace
