#include "Platform/FileIO.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

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
