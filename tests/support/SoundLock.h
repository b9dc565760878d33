#pragma once
// Tests that play into or record from the test session's sound server take
// this lock, so parallel test processes never hear each other.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

struct SoundLock {
    int fd = -1;
    SoundLock() {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        const std::string path = std::string(runtime ? runtime : "/tmp") + "/ondira-sound.lock";
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0) ::flock(fd, LOCK_EX);
    }
    ~SoundLock() {
        if (fd >= 0) ::close(fd);
    }
    SoundLock(const SoundLock&) = delete;
    SoundLock& operator=(const SoundLock&) = delete;
};
