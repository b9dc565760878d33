// What may be stored as a dictionary term or a snippet, checked alike for the
// command line and the hub: blank spoken forms, control characters (a NUL
// first of all) and values of megabytes are refused before any store sees them.
#include <gtest/gtest.h>

#include <string>

#include "Platform/Unicode.h"
#include "Text/StoreInput.h"
#include "UI/BridgePayload.h"
#include "unit/cli/CLIRun.h"

namespace {

const std::string kHuge(20u << 20, 'x');

struct Pair {
    const char* name;
    std::string spoken;
    std::string written;
    const char* termProblem;     // none when a dictionary term may hold it
    const char* snippetProblem;  // none when a snippet may
};

TEST(StoreInput, TermsAndSnippetsAreCheckedTheSameForTheCommandLineAndTheHub) {
    const Pair pairs[] = {
        {"plain", "gaap", "GAAP", nullptr, nullptr},
        {"multi-line written form", "addr", "12 Main St\nSpringfield", nullptr, nullptr},
        {"blank spoken form", "   ", "x", "invalid dictionary term (empty or whitespace-only)",
         "invalid snippet trigger (empty or whitespace-only)"},
        {"blank written form", "sig", " ", "invalid written form (empty or whitespace-only)", nullptr},
        {"NUL in the spoken form", std::string("ga\0ap", 5), "GAAP", "invalid dictionary term (contains a control character)",
         "invalid snippet trigger (contains a control character)"},
        {"NUL in the written form", "gaap", std::string("GA\0AP", 5), "invalid written form (contains a control character)",
         "invalid snippet expansion (contains a control character)"},
        {"line break in the spoken form", "ga\nap", "GAAP", "invalid dictionary term (contains a control character)",
         "invalid snippet trigger (contains a control character)"},
        {"C1 control (NEL) in the spoken form", "a\xC2\x85" "b", "x", "invalid dictionary term (contains a control character)",
         "invalid snippet trigger (contains a control character)"},
        {"C1 control (CSI) in the written form", "gaap", "G\xC2\x9B" "1m", "invalid written form (contains a control character)",
         "invalid snippet expansion (contains a control character)"},
        {"line separator in the spoken form", "ga\xE2\x80\xA8" "ap", "GAAP",
         "invalid dictionary term (contains a control character)", "invalid snippet trigger (contains a control character)"},
        {"letters that share the C1 lead byte", "\xC2\xA9 caf\xC3\xA9 \xE2\x80\x94", "\xC2\xA0x", nullptr, nullptr},
        {"20 MB written form", "gaap", kHuge, "invalid written form (longer than 1000 characters)",
         "invalid snippet expansion (longer than 20000 characters)"},
        {"long spoken form", std::string(101, 'a'), "x", "invalid dictionary term (longer than 100 characters)",
         "invalid snippet trigger (longer than 100 characters)"},
        {"not UTF-8", "caf\xE9", "x", "invalid dictionary term (not valid UTF-8 text)",
         "invalid snippet trigger (not valid UTF-8 text)"},
    };
    for (const Pair& p : pairs) {
        SCOPED_TRACE(p.name);
        const auto term = StoreInput::validateTerm(p.spoken, p.written);
        const auto snippet = StoreInput::validateSnippet(p.spoken, p.written);
        EXPECT_EQ(term.value_or("(none)"), p.termProblem ? p.termProblem : "(none)");
        EXPECT_EQ(snippet.value_or("(none)"), p.snippetProblem ? p.snippetProblem : "(none)");

        // The hub's payloads pass exactly when the command line's arguments
        // would. (A page's JSON is always UTF-8: bad bytes never reach it.)
        if (!platform::text::isValidUTF8(p.spoken + p.written)) continue;
        nlohmann::json dict = {{"from", p.spoken}, {"to", p.written}};
        nlohmann::json set = {{"trigger", p.spoken}, {"expansion", p.written}};
        if (p.termProblem == nullptr) EXPECT_TRUE(BridgePayload::parseDictAdd(dict.dump()));
        else EXPECT_FALSE(BridgePayload::parseDictAdd(dict.dump()));
        if (p.snippetProblem == nullptr) EXPECT_TRUE(BridgePayload::parseSnippetSet(set.dump()));
        else EXPECT_FALSE(BridgePayload::parseSnippetSet(set.dump()));
    }
}

// A malformed payload is quoted in the log only up to a bound, never whole.
TEST(StoreInput, LoggedPayloadsAreBounded) {
    const std::string excerpt = BridgePayload::logExcerpt(kHuge);
    EXPECT_EQ(excerpt, std::string(200, 'x') + "\u2026 (20971520 bytes)");
    EXPECT_EQ(BridgePayload::logExcerpt("short"), "short");
    // Never cut inside a character: "é" is two bytes, the cut falls between them.
    EXPECT_EQ(BridgePayload::logExcerpt(std::string(199, 'a') + "\xC3\xA9" + "zz"),
              std::string(199, 'a') + "\u2026 (203 bytes)");
}

TEST(StoreInput, TheCommandLineRefusesABlankTerm) {
    const IsolatedHome home;
    const CLIRun run = runOndira("dict add '   ' x", home.environment());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "invalid dictionary term (empty or whitespace-only)\n");
    EXPECT_FALSE(platform::fileExists(home.applicationSupport() / "dictionary.json"));
}

}  // namespace
