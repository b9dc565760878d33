// `Ondira --polish-smoke-test`: two rewrites through the rewrite client, and
// whether one helper process served both. Prints plain lines and exits 0
// whatever it found.
#include "App/PolishSmokeTest.h"
#include "App/Roads.h"

#include "Platform/Queues.h"
#include "Text/PolishService.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

namespace {
void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

std::string pidText(const std::optional<pid_t>& pid) { return pid ? std::to_string(*pid) : "none"; }

void rewriteStep(const std::string& label, const std::string& text) {
    PolishSmokeTest::runStep(label, text, [](const std::string& input, PolishService::Completion completion) {
        PolishService::shared().rewrite("polish", input, std::nullopt, std::move(completion));
    });
}
}  // namespace

bool PolishSmokeTest::runStep(const std::string& label, const std::string& text, const Rewrite& rewrite,
                              double timeoutSeconds) {
    const auto start = std::chrono::steady_clock::now();
    // The completion owns the flag with the step: a rewrite that answers
    // after the step gave up on it finds the flag still there, not a stack
    // frame that has been reused since.
    auto done = std::make_shared<bool>(false);
    rewrite(text, [done, label, start](const PolishService::RewriteOutcome& outcome) {
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.2f", elapsed);
        say("[polish-smoke-test] " + label + (outcome.isSuccess() ? " ok in " : " failed in ") + seconds +
            "s: " + outcome.value);
        *done = true;
    });
    const auto deadline = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                      std::chrono::duration<double>(timeoutSeconds));
    while (!*done && std::chrono::steady_clock::now() < deadline) platform::MainQueue::pump(0.05, [done] { return *done; });
    if (*done) return true;
    char limit[32];
    std::snprintf(limit, sizeof limit, "%g", timeoutSeconds);
    say("[polish-smoke-test] " + label + " did not complete within " + limit + "s");
    return false;
}

int Roads::runPolishSmokeTest() {
    PolishService& service = PolishService::shared();
    const auto availability = service.checkAvailability();
    say(std::string("[polish-smoke-test] availability: available=") + (availability.available ? "true" : "false") +
        " reason=" + availability.reason);
    if (availability.available) {
        rewriteStep("rewrite #1 (cold spawn)", "um so like this is, uh, a test dictation");
        const auto first = service.currentChildPid();
        say("[polish-smoke-test] child pid after #1: " + pidText(first));
        rewriteStep("rewrite #2 (should reuse the SAME process)", "and, uh, this is a second one you know");
        const auto second = service.currentChildPid();
        say("[polish-smoke-test] child pid after #2: " + pidText(second));
        say(std::string("[polish-smoke-test] process reused across requests: ") +
            (first && second && *first == second.value() ? "true" : "false"));
    }
    service.shutdown();
    say("[polish-smoke-test] shutdown() returned; child pid after: " + pidText(service.currentChildPid()));
    return 0;
}
