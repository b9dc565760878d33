#include "Base/AppPaths.h"
#include "Platform/FileIO.h"
#include "Platform/LinuxNames.h"
#include "SelfTest/HubBridgeCases.h"
#include "SelfTest/SelfTest.h"
#include "Text/AppRules.h"
#include "Text/PolishEngine.h"
#include "Text/Snippets.h"
#include "Text/TextPipeline.h"

#include <nlohmann/json.hpp>

#include <fstream>

namespace fs = std::filesystem;

namespace SnippetsSelfTests {

namespace {

const std::string kSignature = "Ana Lima\nFounder";
const std::string kOddSpacing = "  Hello,   World! \t this has odd\nspacing.";

SelfTestOutcome withIsolatedSnippetsFile(const std::function<SelfTestOutcome()>& body) {
    std::error_code ec;
    fs::remove(Snippets::storageFile(), ec);
    SelfTestOutcome outcome = body();
    SelfTestSupport::removeIfPresent(Snippets::storageFile());
    return outcome;
}

void deleteFile() {
    std::error_code ec;
    fs::remove(Snippets::storageFile(), ec);
}

std::string rowsText(const std::vector<Snippets::Row>& rows) {
    nlohmann::json array = nlohmann::json::array();
    for (const auto& row : rows) array.push_back(row);
    return array.dump();
}

struct Row {
    const char* name;
    std::vector<Snippets::Snippet> snippets;
    std::string input;
    std::string expected;
};

}  // namespace

std::vector<SelfTestCase> cases() {
    std::vector<SelfTestCase> out;
    const std::vector<Row> family = {
        {"no snippets configured: text returned byte-identical", {}, kOddSpacing, kOddSpacing},
        {"snippets configured but none present in text: byte-identical",
         {{"my address", "123 Main St"}, {"brb", "be right back"}},
         "Let's meet near the address of the building.",
         "Let's meet near the address of the building."},
        {"trigger as substring of a longer word: does not fire",
         {{"cat", "CAT-EXPANDED"}},
         "Pick a category before you submit.",
         "Pick a category before you submit."},
        {"trigger as a standalone word: fires",
         {{"cat", "CAT-EXPANDED"}},
         "I have a cat at home.",
         "I have a CAT-EXPANDED at home."},
        {"trigger immediately followed by sentence-ending punctuation",
         {{"brb", "be right back"}},
         "Stepping out, brb.",
         "Stepping out, be right back."},
        {"trigger wrapped in punctuation on both sides", {{"omw", "on my way"}}, "(omw)", "(on my way)"},
        {"case-insensitive match, expansion emitted exactly as authored",
         {{"omw", "On My Way!"}},
         "OMW to the office.",
         "On My Way! to the office."},
        {"multi-word trigger",
         {{"my address", "123 Main St, Springfield"}},
         "Send it to my address please.",
         "Send it to 123 Main St, Springfield please."},
        {"longest trigger wins when two triggers overlap",
         {{"new york", "NY (short)"}, {"new york city", "New York City, NY"}},
         "I live in new york city.",
         "I live in New York City, NY."},
        {"shorter of two overlapping triggers still matches on its own",
         {{"new york", "NY (short)"}, {"new york city", "New York City, NY"}},
         "I live in new york.",
         "I live in NY (short)."},
        {"expansion containing another trigger's text is not re-expanded",
         {{"hi", "say lo"}, {"lo", "LOOP"}},
         "hi",
         "say lo"},
        {"self-referential snippet (expansion contains its own trigger) terminates",
         {{"loop", "loop again later"}},
         "loop",
         "loop again later"},
        {"empty trigger is inert, even text is empty", {{"", "SHOULD NEVER APPEAR"}}, "", ""},
        {"empty trigger is inert against ordinary text", {{"", "SHOULD NEVER APPEAR"}}, "hello world", "hello world"},
        {"whitespace-only trigger is inert", {{"   ", "SHOULD NEVER APPEAR"}}, "one   two", "one   two"},
        {"multiple independent triggers in one transcript all expand",
         {{"brb", "be right back"}, {"omw", "on my way"}},
         "brb, then omw.",
         "be right back, then on my way."},
    };
    const char* familyTeeth[] = {
        "text without a trigger must come back byte for byte",
        "text without a trigger must come back byte for byte",
        "the boundary test must reject a trigger inside a longer word",
        "the boundary test must accept a standalone word",
        "the boundary test must accept punctuation as the right-hand neighbour",
        "the boundary test must accept any non-word neighbour on each side",
        "matching ignores case while the authored expansion keeps its case",
        "triggers that contain spaces must match across words",
        "the longest trigger must win where triggers overlap",
        "a shorter trigger must still match where the longer one does not",
        "a single pass: an inserted expansion must never be expanded again",
        "a single pass: a self-referential expansion must terminate",
        "empty and blank triggers must never match",
        "empty and blank triggers must never match",
        "empty and blank triggers must never match",
        "the scan must continue correctly after a match so every trigger expands",
    };
    for (std::size_t i = 0; i < family.size(); ++i) {
        const Row r = family[i];
        out.push_back({r.name, familyTeeth[i], [r] {
                           const std::string got = Snippets::expand(r.input, r.snippets);
                           if (got == r.expected) return SelfTestOutcome::pass();
                           return SelfTestOutcome::fail(std::string(r.name) + ": expected " + r.expected + ", got " + got);
                       }});
    }

    out.push_back({"storage round-trip: add, expand reflects it, delete reverts it",
                   "a write must reach the file and the live candidates at once, and a delete must take the trigger "
                   "out of both",
                   [] {
                       return withIsolatedSnippetsFile([] {
                           Snippets store;
                           if (!store.addSnippet("sig", kSignature))
                               return SelfTestOutcome::fail("addSnippet reported failure");
                           const std::string first = Snippets::expand("Thanks, sig", store.candidates());
                           if (first != "Thanks, " + kSignature)
                               return SelfTestOutcome::fail("expected expansion after add, got " + first);
                           auto rows = Snippets::loadRawSnippets();
                           const bool stored = std::any_of(rows.begin(), rows.end(), [](const Snippets::Row& row) {
                               return row.count("trigger") && row.at("trigger") == "sig" && row.count("expansion") &&
                                      row.at("expansion") == kSignature;
                           });
                           if (!stored)
                               return SelfTestOutcome::fail("loadRawSnippets did not contain the added entry: " +
                                                            rowsText(rows));
                           store.deleteSnippet("sig");
                           const std::string after = Snippets::expand("Thanks, sig", store.candidates());
                           if (after != "Thanks, sig")
                               return SelfTestOutcome::fail("expected trigger inert after delete, got " + after);
                           return SelfTestOutcome::pass();
                       });
                   }});
    out.push_back({"storage round-trip: re-adding same trigger (case-insensitive) replaces, not duplicates",
                   "re-adding a trigger in another case must replace the stored row rather than add a second one", [] {
                       return withIsolatedSnippetsFile([] {
                           Snippets store;
                           store.addSnippet("sig", "first");
                           store.addSnippet("SIG", "second");
                           auto rows = Snippets::loadRawSnippets();
                           std::vector<Snippets::Row> matching;
                           for (const auto& row : rows) {
                               const std::string trigger = row.count("trigger") ? row.at("trigger") : "";
                               if (platform::text::lowercased(trigger) == "sig") matching.push_back(row);
                           }
                           if (matching.size() != 1)
                               return SelfTestOutcome::fail("expected exactly 1 stored row for 'sig', got " +
                                                            rowsText(rows));
                           const std::string expansion = matching[0].count("expansion") ? matching[0].at("expansion") : "";
                           if (expansion != "second")
                               return SelfTestOutcome::fail("expected latest write ('second') to win, got " + expansion);
                           return SelfTestOutcome::pass();
                       });
                   }});
    out.push_back({"malformed storage (invalid JSON) degrades to no snippets, not a crash",
                   "a corrupt file must mean no snippets, never a crash", [] {
                       return withIsolatedSnippetsFile([] {
                           { std::ofstream(Snippets::storageFile()) << "{ this is not valid json [[["; }
                           Snippets store;
                           auto rows = Snippets::loadRawSnippets();
                           if (!rows.empty())
                               return SelfTestOutcome::fail("expected [] from malformed storage, got " + rowsText(rows));
                           const std::string got = Snippets::expand("brb", store.candidates());
                           if (got != "brb")
                               return SelfTestOutcome::fail("expected inert expand() with malformed storage, got " + got);
                           return SelfTestOutcome::pass();
                       });
                   }});
    out.push_back({"malformed storage (wrong JSON shape) degrades to no snippets",
                   "a wrong-shaped file must mean no snippets, never a crash", [] {
                       return withIsolatedSnippetsFile([] {
                           {
                               std::ofstream(Snippets::storageFile())
                                   << R"({"trigger": "brb", "expansion": "be right back"})";
                           }
                           Snippets store;
                           auto rows = Snippets::loadRawSnippets();
                           if (!rows.empty())
                               return SelfTestOutcome::fail("expected [] from wrong-shape storage, got " + rowsText(rows));
                           return SelfTestOutcome::pass();
                       });
                   }});
    out.push_back({"pipeline: no configured snippets -> output is byte-identical to whatever polish produced",
                   "the pipeline wiring must leave text without snippets untouched, byte for byte", [] {
                       deleteFile();
                       Snippets store;
                       const std::string got =
                           TextPipeline::applyPostTranscriptionPipeline(kOddSpacing, AppRules::globalDefault(), store);
                       if (got == kOddSpacing) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail(
                           "byte-identical through the real pipeline function with no snippets "
                           "configured: expected " +
                           kOddSpacing + ", got " + got);
                   }});
    out.push_back({"pipeline: a configured trigger expands through the real call site",
                   "the pipeline wiring must expand a configured trigger exactly once", [] {
                       deleteFile();
                       Snippets store;
                       store.addSnippet("brb", "be right back");
                       const std::string got = TextPipeline::applyPostTranscriptionPipeline(
                           "Stepping out, brb.", AppRules::globalDefault(), store);
                       deleteFile();
                       const std::string expected = "Stepping out, be right back.";
                       if (got == expected) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("trigger expands via the real pipeline function: expected " + expected +
                                                    ", got " + got);
                   }});
    out.push_back(
        {"pipeline: expansion is not re-scanned even at the pipeline call site",
         "the pipeline must expand in a single pass, never re-expanding inserted text", [] {
             deleteFile();
             Snippets store;
             store.addSnippet("hi", "say lo");
             store.addSnippet("lo", "LOOP");
             const std::string got = TextPipeline::applyPostTranscriptionPipeline("hi", AppRules::globalDefault(), store);
             deleteFile();
             if (got == "say lo") return SelfTestOutcome::pass();
             return SelfTestOutcome::fail("single pass through the real pipeline call site: expected say lo, got " + got);
         }});
    out.push_back(
        {"pipeline: a raw-output app rule (Terminal's shipped default) suppresses snippet expansion — "
         "documented decision",
         "a shell must never receive expansions: a rule with clean-up off must suppress snippets", [] {
             deleteFile();
             Snippets store;
             store.addSnippet("brb", "be right back");
             std::optional<AppRule> terminal;
             for (const auto& r : AppRules::builtInDefaults())
                 if (r.bundleID == LinuxNames::systemTerminalID) terminal = r;
             if (!terminal) {
                 deleteFile();
                 return SelfTestOutcome::fail("precondition failed: no shipped Terminal rule found");
             }
             const std::string got = TextPipeline::applyPostTranscriptionPipeline("ls -la, brb", *terminal, store);
             deleteFile();
             if (got == "ls -la, brb") return SelfTestOutcome::pass();
             return SelfTestOutcome::fail(
                 "snippets must not fire under a raw-output (polishEnabled==false) app "
                 "rule: expected ls -la, brb, got " +
                 got);
         }});
    out.push_back({"pipeline: .raw dictation mode (the secondary raw shortcut) also suppresses snippet expansion",
                   "raw dictation must only trim: expanding snippets there would send expansions to a shell", [] {
                       return withIsolatedSnippetsFile([] {
                           Snippets store;
                           store.addSnippet("brb", "be right back");
                           const std::string got = TextPipeline::cleanUpDictation(
                               "  ls -la, brb  ", true, AppRules::globalDefault(), PolishEngine::shared(), store);
                           if (got == "ls -la, brb") return SelfTestOutcome::pass();
                           return SelfTestOutcome::fail(
                               "raw mode trims but never expands snippets: expected ls -la, brb, got " + got);
                       });
                   }});
    // The hub bridge cases close the suite.
    for (auto& c : SnippetsBridgeCases()) out.push_back(std::move(c));
    return out;
}

}  // namespace SnippetsSelfTests

ONDIRA_SELFTEST_SUITE("Snippets", SnippetsSelfTests::cases);
