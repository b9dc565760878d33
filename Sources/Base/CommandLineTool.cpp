#include "Base/CommandLineTool.h"

#include "Base/AppPaths.h"
#include "Platform/Bundle.h"

#include <cstdlib>
#include <string_view>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace CommandLineTool {

namespace {

constexpr const char* toolName = "ondira";

std::vector<fs::path> pathFolders(const std::string& pathVariable) {
    std::vector<fs::path> out;
    std::size_t from = 0;
    for (;;) {
        const std::size_t colon = pathVariable.find(':', from);
        const std::string piece = pathVariable.substr(from, colon == std::string::npos ? std::string::npos : colon - from);
        // An empty entry means the current folder, which says nothing about the user's shell.
        if (!piece.empty()) out.emplace_back(piece);
        if (colon == std::string::npos) break;
        from = colon + 1;
    }
    return out;
}

bool isSameFile(const fs::path& a, const fs::path& b) {
    std::error_code ec;
    const bool same = fs::equivalent(a, b, ec);
    return !ec && same;
}

}  // namespace

std::string displayPath(const fs::path& file, const fs::path& home) {
    const std::string text = file.lexically_normal().string();
    std::string homeText = home.lexically_normal().string();
    while (homeText.size() > 1 && homeText.back() == '/') homeText.pop_back();
    // "~/..." only where the shell expands it: an unquoted word.
    if (!homeText.empty() && homeText != "/" && text.rfind(homeText + "/", 0) == 0) {
        const std::string rest = text.substr(homeText.size());
        if (shellQuoted(rest) == rest) return "~" + rest;
    }
    return shellQuoted(text);
}

std::string shellQuoted(const std::string& s) {
    bool plain = !s.empty();
    for (unsigned char c : s) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        std::string_view("_@%+=:,./-").find(static_cast<char>(c)) != std::string_view::npos;
        if (!ok) plain = false;
    }
    if (plain) return s;
    std::string out = "'";
    for (char c : s) {
        if (c == '\'') out += "'\\''";
        else out += c;
    }
    return out + "'";
}

bool isFolderOnPath(const fs::path& folder, const std::string& pathVariable) {
    for (const auto& entry : pathFolders(pathVariable))
        if (entry.lexically_normal() == folder.lexically_normal() || isSameFile(entry, folder)) return true;
    return false;
}

Invocation invocation(const fs::path& executable, const std::string& pathVariable, const fs::path& link,
                      const fs::path& home) {
    // The first "ondira" PATH finds is what the shell runs.
    for (const auto& folder : pathFolders(pathVariable)) {
        const fs::path candidate = folder / toolName;
        std::error_code ec;
        if (!fs::exists(candidate, ec)) continue;
        if (isSameFile(candidate, executable)) return {toolName, true};
        break;
    }
    if (isSameFile(link, executable)) return {displayPath(link, home), false};
    return {displayPath(executable, home), false};
}

Invocation current() {
    const char* path = std::getenv("PATH");
    return invocation(platform::Bundle::executablePath(), path ? path : "", linkPath(), AppPaths::homeDirectory());
}

fs::path linkPath() { return AppPaths::homeDirectory() / ".local" / "bin" / toolName; }

}  // namespace CommandLineTool
