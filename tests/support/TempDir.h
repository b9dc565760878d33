#pragma once
// A fresh directory removed when the test ends.
#include <filesystem>
#include <cstdlib>
#include <optional>
#include <string>

#include "Platform/UUID.h"

struct TempDir {
    std::filesystem::path path;
    explicit TempDir(const std::string& prefix = "ondira-test-") {
        const char* base = std::getenv("ONDIRA_TEST_TMP");
        std::filesystem::path root = base ? base : std::filesystem::temp_directory_path();
        path = root / (prefix + platform::newUUID());
        std::filesystem::create_directories(path);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::filesystem::path operator/(const std::string& name) const { return path / name; }
};

// Sets an environment variable for the scope, restoring the old value after.
struct ScopedEnv {
    std::string name;
    std::optional<std::string> old;
    ScopedEnv(const std::string& n, const std::optional<std::string>& value) : name(n) {
        if (const char* v = std::getenv(n.c_str())) old = v;
        if (value) ::setenv(n.c_str(), value->c_str(), 1);
        else ::unsetenv(n.c_str());
    }
    ~ScopedEnv() {
        if (old) ::setenv(name.c_str(), old->c_str(), 1);
        else ::unsetenv(name.c_str());
    }
};
