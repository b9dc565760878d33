#include "Entry.h"

#include "Instructions.h"
#include "Serve.h"
#include "SocketServer.h"
#include "TextUtil.h"

#include <curl/curl.h>
#include <unistd.h>
#include <cerrno>
#include <optional>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <sstream>

namespace mirvane {

namespace {
constexpr double kDefaultIdleSeconds = 300;

std::optional<double> positiveSeconds(const std::string& s) {
    // The whole argument must be a number (no surrounding blanks); "inf" is
    // one, and means never idle.
    if (s.empty() || std::isspace(static_cast<unsigned char>(s.front()))) return std::nullopt;
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (end != s.c_str() + s.size() || !(v > 0)) return std::nullopt;
    return v;
}
}  // namespace

Invocation parseArguments(const std::vector<std::string>& args) {
    Invocation inv;
    if (args.size() < 2) return inv;
    const std::string& first = args[1];
    if (first == "--serve") {
        auto sock = std::find(args.begin(), args.end(), "--socket");
        if (sock == args.end()) {
            inv.road = Invocation::Road::serve;
            return inv;
        }
        inv.road = Invocation::Road::socketServer;
        auto next = sock + 1;
        if (next != args.end() && !next->empty() && next->rfind("--", 0) != 0) inv.socketPath = *next;
        else inv.socketPath = defaultSocketPath();
        inv.idleSeconds = kDefaultIdleSeconds;
        if (auto idle = std::find(args.begin(), args.end(), "--idle"); idle != args.end() && idle + 1 != args.end())
            inv.idleSeconds = positiveSeconds(*(idle + 1)).value_or(kDefaultIdleSeconds);
        return inv;
    }
    if (first == "--socket-path") {
        inv.road = Invocation::Road::printSocketPath;
        return inv;
    }
    inv.mode = first;
    if (args.size() > 2) inv.instruction = args[2];
    return inv;
}

// Standard input up to the line protocol's limit; none when there is more
// (a pipe from /dev/zero must not grow us without end).
std::optional<std::string> readBoundedStandardInput() {
    std::string raw;
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (raw.size() + static_cast<std::size_t>(n) > LineReader::kMaxLineBytes) return std::nullopt;
        raw.append(chunk, static_cast<std::size_t>(n));
    }
    return raw;
}

int runOneShot(const std::string& mode, const std::string& instruction) {
    const std::optional<std::string> raw = readBoundedStandardInput();
    if (!raw) {
        std::fprintf(stderr, "mirvane: standard input is larger than %zu MiB; nothing was rewritten\n",
                     LineReader::kMaxLineBytes >> 20);
        return 4;
    }
    if (!text::isValidUTF8(*raw)) {
        std::fprintf(stderr, "mirvane: standard input is not UTF-8 text; nothing was rewritten\n");
        return 4;
    }
    const std::string input = text::trimmed(*raw);
    if (input.empty()) return 0;
    auto client = modelOrReport();
    if (!client) return 3;
    LanguageModelSession session(client, instructionsFor(mode, instruction));
    ChatResult result = session.respond("Clean this: " + input, 0.0);
    if (!result.ok) {
        // A server's error text is the server's to choose: shown, never obeyed.
        const std::string line = text::shownOn(STDERR_FILENO, "mirvane: " + result.error + "\n");
        std::fwrite(line.data(), 1, line.size(), stderr);
        return 4;
    }
    const std::string out = text::shownOn(STDOUT_FILENO, text::sanitizeUTF8(cleanedAnswer(result.text)) + "\n");
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    return 0;
}

namespace Mirvane {
int main(int argc, char** argv) {
    // A peer that goes away must come back as a failed write, not end us.
    std::signal(SIGPIPE, SIG_IGN);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    const Invocation inv = parseArguments(std::vector<std::string>(argv, argv + argc));
    int status = 0;
    switch (inv.road) {
        case Invocation::Road::oneShot: status = runOneShot(inv.mode, inv.instruction); break;
        case Invocation::Road::serve: status = FMServe::loop(); break;
        case Invocation::Road::socketServer: status = runSocketServer(inv.socketPath, inv.idleSeconds); break;
        case Invocation::Road::printSocketPath: std::printf("%s\n", defaultSocketPath().c_str()); break;
    }
    BackgroundWork::shared().shutdown();
    return status;
}
}  // namespace Mirvane

}  // namespace mirvane
