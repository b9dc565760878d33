#pragma once
// A named lock shared by every test process of one test session, for tests
// that change state the whole display shares (the root window's properties).
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

struct SessionLock {
    int fd = -1;
    explicit SessionLock(const std::string& name) {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        const std::string path = std::string(runtime ? runtime : "/tmp") + "/ondira-" + name + ".lock";
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0) ::flock(fd, LOCK_EX);
    }
    ~SessionLock() {
        if (fd >= 0) ::close(fd);
    }
    SessionLock(const SessionLock&) = delete;
    SessionLock& operator=(const SessionLock&) = delete;
};
