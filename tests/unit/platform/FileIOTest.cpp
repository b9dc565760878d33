#include "Platform/FileIO.h"
#include "Platform/Launch.h"
#include "Platform/SettingsStore.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>
#include <unistd.h>

#include "support/TempDir.h"

namespace fs = std::filesystem;

TEST(AtomicWrite, ReplacesContentAndSetsMode) {
    TempDir dir;
    fs::path f = dir / "store.json";
    { std::ofstream(f) << "old"; }
    ASSERT_TRUE(platform::atomicWrite(f, "new content", 0600));
    EXPECT_EQ(platform::readFile(f), "new content");
    struct stat st {};
    ASSERT_EQ(::stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // No temporary file is left beside it.
    int entries = 0;
    for (auto& e : fs::directory_iterator(dir.path)) (void)e, ++entries;
    EXPECT_EQ(entries, 1);
}

TEST(AtomicWrite, FailedWriteLeavesTheOldFileAndNoTemporary) {
    if (::geteuid() == 0) {
        // root ignores directory permissions; a missing directory fails the same way.
        TempDir dir;
        fs::path f = dir / "missing-dir" / "store.json";
        std::string error;
        EXPECT_FALSE(platform::atomicWrite(f, "x", 0600, &error));
        EXPECT_FALSE(error.empty());
        EXPECT_FALSE(fs::exists(f));
        return;
    }
    TempDir dir;
    fs::path f = dir / "store.json";
    { std::ofstream(f) << "precious"; }
    ::chmod(dir.path.c_str(), 0500);
    std::string error;
    EXPECT_FALSE(platform::atomicWrite(f, "replacement", 0600, &error));
    ::chmod(dir.path.c_str(), 0700);
    EXPECT_EQ(platform::readFile(f), "precious");
}

TEST(AtomicWrite, DiskFullKeepsTheOldFile) {
    // /dev/full accepts the open but refuses every write; a rename target next
    // to it is not possible, so use a file system that is full instead when
    // available. The old file must survive a write that fails midway.
    TempDir dir;
    fs::path f = dir / "store.json";
    { std::ofstream(f) << "precious"; }
    // A path whose parent is a file cannot hold the temporary file.
    fs::path bogus = f / "child.json";
    EXPECT_FALSE(platform::atomicWrite(bogus, "x"));
    EXPECT_EQ(platform::readFile(f), "precious");
}

TEST(WriteAll, WritesEverythingThroughAPipe) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::string payload(1000, 'z');
    ASSERT_TRUE(platform::writeAll(fds[1], payload));
    ::close(fds[1]);
    std::string got;
    char buf[256];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    EXPECT_EQ(got, payload);
}

// Without XDG_RUNTIME_DIR the private directory has a predictable name in a
// shared place; whoever made that name first must not receive the recordings.
TEST(TemporaryDirectory, APredictableNameSomeoneElseMadeIsNotUsed) {
    TempDir dir("ondira-tmproot-");
    ScopedEnv runtime("XDG_RUNTIME_DIR", std::nullopt);
    ScopedEnv tmp("TMPDIR", dir.path.string());
    const fs::path predictable = dir / ("ondira-" + std::to_string(::getuid()));
    const fs::path elsewhere = dir / "elsewhere";

    auto isPrivate = [](const fs::path& p) {
        struct stat st {};
        return ::lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
    };
    struct Case {
        std::string name;
        std::function<void()> plant;  // what is at the predictable name beforehand
        bool used;
    };
    std::vector<Case> cases = {
        {"nothing there: made private", [] {}, true},
        {"ours and private", [&] { ::mkdir(predictable.c_str(), 0700); }, true},
        {"open to everyone",
         [&] {
             ::mkdir(predictable.c_str(), 0700);
             ::chmod(predictable.c_str(), 0777);
         },
         false},
        {"a symlink to a private directory",
         [&] {
             ::mkdir(elsewhere.c_str(), 0700);
             fs::create_directory_symlink(elsewhere, predictable);
         },
         false},
        {"a plain file", [&] { std::ofstream(predictable) << "x"; }, false},
    };
    if (::geteuid() == 0) {
        // Only root can hand a directory to another user; for anyone else this
        // is the same refusal as the mode case.
        cases.push_back({"another user's",
                         [&] {
                             ::mkdir(predictable.c_str(), 0700);
                             ASSERT_EQ(::chown(predictable.c_str(), 65534, 65534), 0);
                         },
                         false});
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::error_code ec;
        fs::remove_all(predictable, ec);
        fs::remove_all(elsewhere, ec);
        c.plant();
        const fs::path chosen = platform::temporaryDirectory();
        EXPECT_EQ(chosen == predictable, c.used) << chosen;
        EXPECT_TRUE(isPrivate(chosen)) << chosen;
        EXPECT_EQ(chosen.parent_path(), dir.path);
        // The same answer on the next call: recordings and their sweep agree.
        EXPECT_EQ(platform::temporaryDirectory(), chosen);
    }
}

// The program's folders are private whatever the umask, and one an older
// version made open to others is narrowed; a link or another's folder is not
// touched.
TEST(PrivateDirectory, IsOwnerOnlyWhateverTheUmask) {
    TempDir dir;
    const mode_t old = ::umask(022);
    const fs::path fresh = dir / "a" / "fresh";
    EXPECT_TRUE(platform::makePrivateDirectory(fresh));
    const fs::path wide = dir / "wide";
    ASSERT_EQ(::mkdir(wide.c_str(), 0755), 0);
    EXPECT_TRUE(platform::makePrivateDirectory(wide));
    ::umask(0277);  // would leave a folder its owner can't enter
    const fs::path narrow = dir / "narrow";
    EXPECT_TRUE(platform::makePrivateDirectory(narrow));
    ::umask(old);
    for (const auto& p : {fresh, wide, narrow}) {
        struct stat st {};
        ASSERT_EQ(::stat(p.c_str(), &st), 0) << p;
        EXPECT_EQ(st.st_mode & 07777, 0700u) << p;
    }
    const fs::path target = dir / "target";
    ASSERT_EQ(::mkdir(target.c_str(), 0755), 0);
    fs::create_symlink(target, dir / "link");
    EXPECT_FALSE(platform::makePrivateDirectory(dir / "link"));
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
}

// Under the common umask (022) the shared writers still leave nothing the
// group or others can open: a store's lock made in a missing folder makes
// that folder private, and a file written in place is created private.
TEST(PrivateFiles, SharedWritersLeaveNothingOpenToOthers) {
    TempDir dir;
    const mode_t old = ::umask(022);
    const std::vector<std::pair<const char*, std::function<void()>>> writers = {
        {"lock of a store in a missing folder", [&] { EXPECT_TRUE(platform::StoreLock(dir / "new" / "store.json").held()); }},
        {"file written in place", [&] { EXPECT_TRUE(platform::writeInPlace(dir / "in-place.json", "[]")); }},
        {"store written whole", [&] { EXPECT_TRUE(platform::atomicWrite(dir / "whole.json", "[]")); }},
    };
    for (const auto& [what, write] : writers) {
        SCOPED_TRACE(what);
        write();
    }
    ::umask(old);
    for (const auto& entry : fs::recursive_directory_iterator(dir.path)) {
        struct stat st {};
        ASSERT_EQ(::lstat(entry.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 077, 0u) << entry.path() << " is open to others";
    }
}

// A process that keeps its new files private creates them 0600 whatever
// umask it was started with, and gives the programs of the user's that it
// starts (one by name, the default application for a link) that umask back.
TEST(PrivateFiles, APrivateUmaskIsKeptFromTheUsersPrograms) {
    TempDir dir;
    // The link's default application: a script that writes down its umask,
    // found through this test's own desktop entry and default list.
    ScopedEnv data{"XDG_DATA_HOME", (dir / "data").string()};
    ScopedEnv config{"XDG_CONFIG_HOME", (dir / "config").string()};
    const fs::path reporter = dir / "report-umask";
    { std::ofstream(reporter) << "#!/bin/sh\numask > \"$1.tmp\" && mv \"$1.tmp\" \"$1\"\n"; }
    fs::permissions(reporter, fs::perms::owner_all);
    fs::create_directories(dir / "data/applications");
    fs::create_directories(dir / "config");
    {
        std::ofstream(dir / "data/applications/ondira-umask-probe.desktop")
            << "[Desktop Entry]\nType=Application\nName=Probe\nExec=" << reporter.string() << " "
            << (dir / "by-link").string() << " %u\nMimeType=x-scheme-handler/x-ondira-umask-probe;\n";
        std::ofstream(dir / "config/mimeapps.list")
            << "[Default Applications]\nx-scheme-handler/x-ondira-umask-probe=ondira-umask-probe.desktop\n";
    }
    const std::vector<std::pair<std::string, std::function<bool()>>> roads = {
        {"by-name", [&] { return platform::startProgram({reporter.string(), (dir / "by-name").string()}); }},
        {"by-link",
         [&] {
             std::string error;
             const bool ok = platform::openWithDefaultApplication("x-ondira-umask-probe://here", &error);
             EXPECT_TRUE(ok) << error;
             return ok;
         }},
    };

    const fs::path made = dir / "made";
    const mode_t old = ::umask(022);
    platform::keepNewFilesPrivate();
    const int fd = ::open(made.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) ::close(fd);
    for (const auto& [name, start] : roads) EXPECT_TRUE(start()) << name;
    EXPECT_EQ(platform::startingUmask(), 022u);
    ::umask(old);

    struct stat st {};
    ASSERT_EQ(::stat(made.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    for (const auto& [name, start] : roads) {
        const fs::path reported = dir / name;
        for (int i = 0; i < 500 && !fs::exists(reported); ++i) ::usleep(10'000);
        std::string umaskText;
        std::ifstream(reported) >> umaskText;
        EXPECT_EQ(umaskText, "0022") << "the program started " << name << " got the process's private umask";
    }
}

// What a writer killed between its write and its rename left behind is
// removed; a temporary file of a writer still running, and files that only
// look alike, stay.
TEST(AbandonedTemporaryFiles, OnlyThoseOfEndedWritersAreSwept) {
    TempDir dir;
    const pid_t ended = ::fork();
    if (ended == 0) ::_exit(0);
    ASSERT_GT(ended, 0);
    ::waitpid(ended, nullptr, 0);
    const std::string dead = std::to_string(ended), alive = std::to_string(::getppid());
    struct Row {
        std::string name;
        bool swept;
    };
    const std::vector<Row> rows = {
        {"history.jsonl.tmp-" + dead + "-3fa9c2", true},
        {"settings.json.tmp-" + dead + "-0", true},
        {"history.jsonl.tmp-" + alive + "-3fa9c2", false},
        {"history.jsonl", false},
        {"notes.tmp-plain.txt", false},
        {".tmp-" + dead + "-ab", false},
        {"x.tmp-" + dead + "-XYZ", false},
        {"x.tmp-" + dead, false},
    };
    for (const auto& row : rows) ASSERT_TRUE(platform::atomicWrite(dir / row.name, "x")) << row.name;
    EXPECT_EQ(platform::sweepAbandonedTemporaryFiles(dir.path), 2u);
    for (const auto& row : rows) EXPECT_EQ(fs::exists(dir / row.name), !row.swept) << row.name;
}

// Every store write clears what writers of its folder killed mid-write left
// behind, as the application does at its launch; the temporary file of a
// writer still running stays.
TEST(AbandonedTemporaryFiles, EveryStoreWriteSweepsItsFolder) {
    const pid_t ended = ::fork();
    if (ended == 0) ::_exit(0);
    ASSERT_GT(ended, 0);
    ::waitpid(ended, nullptr, 0);
    struct Writer {
        const char* name;
        std::function<bool(const fs::path& dir)> write;
    };
    const std::vector<Writer> writers = {
        {"a read-modify-write",
         [](const fs::path& dir) {
             return platform::updateFile(dir / "store.json",
                                         [](const platform::FileRead&) -> std::optional<std::string> { return "[]"; });
         }},
        {"the settings", [](const fs::path& dir) {
             platform::SettingsStore::open(dir, "sweep.test")->setBool("written", true);
             return platform::fileExists(dir / "sweep.test.json");
         }},
    };
    for (const auto& writer : writers) {
        SCOPED_TRACE(writer.name);
        TempDir dir;
        const fs::path dead = dir / ("other.json.tmp-" + std::to_string(ended) + "-9b1f");
        const fs::path live = dir / ("other.json.tmp-" + std::to_string(::getppid()) + "-9b1f");
        ASSERT_TRUE(platform::atomicWrite(dead, "killed mid-write"));
        ASSERT_TRUE(platform::atomicWrite(live, "still being written"));
        ASSERT_TRUE(writer.write(dir.path));
        EXPECT_FALSE(fs::exists(dead));
        EXPECT_TRUE(fs::exists(live));
    }
}
