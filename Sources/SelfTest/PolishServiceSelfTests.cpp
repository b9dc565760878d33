// The rewrite client without its helper: the request line, reading a reply
// line and the ready handshake, the rewrite modes, the edit instruction's
// checks, the availability decision, and that a bad edit instruction is
// refused before any helper is started, with a stand-in helper that would
// leave a trace.
#include "Platform/Bundle.h"
#include "Platform/FileIO.h"
#include "Platform/LinuxNames.h"
#include "Platform/Queues.h"
#include "Platform/Unicode.h"
#include "Platform/UUID.h"
#include "SelfTest/SelfTest.h"
#include "Text/PolishService.h"

#include <chrono>
#include <filesystem>
#include <memory>

#include <nlohmann/json.hpp>

using nlohmann::json;
using Outcome = PolishService::RewriteOutcome;

namespace PolishServiceSelfTests {

namespace {
// A rewrite completion stores what it receives here; the case reads it after waiting.
struct OutcomeBox {
    std::optional<Outcome> value;
};

const std::string kTricky = "She said \"go\\ on\"\nnext line \xF0\x9F\x98\x80";

std::string describe(const std::optional<Outcome>& o) { return o ? o->description() : "nil"; }
std::string boolText(bool b) { return b ? "true" : "false"; }

std::optional<json> parsedObject(const std::optional<std::string>& data) {
    if (!data) return std::nullopt;
    json j = json::parse(*data, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return std::nullopt;
    return j;
}

std::string stringField(const json& j, const char* key, const std::string& missing = "") {
    return j.contains(key) && j[key].is_string() ? j[key].get<std::string>() : missing;
}

std::string setText(const std::set<std::string>& s) {
    std::vector<std::string> quoted;
    for (const auto& m : s) quoted.push_back("\"" + m + "\"");
    return "[" + platform::text::join(quoted, ", ") + "]";
}

std::string availabilityText(const PolishService::Availability& a) {
    return "got available=" + boolText(a.available) + " reason=" + a.reason;
}

// Starts a rewrite on `client` and runs the main loop in 0.02 s slices until
// its completion has arrived or 5 s have passed.
std::shared_ptr<OutcomeBox> rewriteAndWait(PolishService& client, const std::string& mode, const std::string& text,
                                           const std::optional<std::string>& instruction) {
    auto box = std::make_shared<OutcomeBox>();
    client.rewrite(mode, text, instruction, [box](const Outcome& o) { box->value = o; });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!box->value && std::chrono::steady_clock::now() < deadline)
        platform::MainQueue::pump(0.02, [box] { return box->value.has_value(); });
    return box;
}

SelfTestOutcome expectFailure(const std::optional<Outcome>& o, const std::string& whenSuccess, const std::string& whenNil) {
    if (!o) return SelfTestOutcome::fail(whenNil);
    if (o->isSuccess()) return SelfTestOutcome::fail(whenSuccess + describe(o));
    return SelfTestOutcome::pass();
}

// A bundle whose helper is a stand-in that notes every start in a file beside
// it and then answers every request with a successful rewrite: a request that
// reaches a helper leaves a trace and comes back as a success.
class RecordingHelperBundle {
public:
    RecordingHelperBundle() : dir_(platform::temporaryDirectory() / ("ondira-polish-selftest-" + platform::newUUID())) {
        std::error_code ec;
        std::filesystem::create_directories(dir_, ec);
        const std::string script =
            "#!/bin/sh\n"
            "echo started >> \"$(dirname \"$0\")/started\"\n"
            "echo '{\"ready\":true}'\n"
            "while read -r line; do echo '{\"ok\":true,\"text\":\"rewritten by the helper\"}'; done\n";
        ready_ = !ec && platform::atomicWrite(dir_ / "mirvane", script, 0700);
        platform::Bundle::overrideBundleDirectory(dir_);
    }
    ~RecordingHelperBundle() {
        platform::Bundle::overrideBundleDirectory(std::nullopt);
        SelfTestSupport::removeIfPresent(dir_);
    }
    bool ready() const { return ready_; }
    bool helperStarted() const {
        std::error_code ec;
        return std::filesystem::exists(dir_ / "started", ec);
    }

private:
    std::filesystem::path dir_;
    bool ready_ = false;
};

// Sends one edit request through a fresh client while the recording helper
// stands in, and fails when the request started it or was not refused.
SelfTestOutcome expectRefusedBeforeSpawn(const std::optional<std::string>& instruction, const std::string& whenSuccess,
                                         const std::string& whenNil, bool reasonNamesInstruction) {
    RecordingHelperBundle bundle;
    if (!bundle.ready()) return SelfTestOutcome::fail("could not write the stand-in helper");
    auto client = PolishService::create();
    auto box = rewriteAndWait(*client, "edit", "some text to change", instruction);
    const auto pid = client->currentChildPid();
    client->shutdown();
    if (bundle.helperStarted() || pid)
        return SelfTestOutcome::fail("the edit request started the rewrite helper before it was refused — got " +
                                     describe(box->value));
    if (auto failed = expectFailure(box->value, whenSuccess, whenNil); !failed.isPass()) return failed;
    if (reasonNamesInstruction && platform::text::lowercased(box->value->value).find("instruction") == std::string::npos)
        return SelfTestOutcome::fail("failure reason should name the missing instruction, got: " + box->value->value);
    return SelfTestOutcome::pass();
}
}  // namespace

std::vector<SelfTestCase> cases() {
    std::vector<SelfTestCase> out;

    out.push_back({"buildRequestData round-trips a quote, a backslash, a newline and an emoji",
                   "building the request by string interpolation instead of a JSON serializer would break on every "
                   "one of these characters",
                   [] {
                       auto j = parsedObject(PolishService::buildRequestData("polish", kTricky, std::nullopt));
                       if (!j)
                           return SelfTestOutcome::fail(
                               "buildRequestData returned nil or produced undecodable JSON for a tricky payload");
                       const std::string got = stringField(*j, "text");
                       if (got != kTricky)
                           return SelfTestOutcome::fail("round-tripped text: expected " + kTricky + ", got " + got);
                       return SelfTestOutcome::pass();
                   }});

    out.push_back({"buildRequestData carries the requested mode through untouched",
                   "hard-coding \"polish\" into the request instead of the mode parameter would make every other mode "
                   "behave like polish",
                   [] {
                       auto j = parsedObject(PolishService::buildRequestData("bullets", "hello", std::nullopt));
                       if (!j) return SelfTestOutcome::fail("buildRequestData returned nil");
                       const std::string got = stringField(*j, "mode");
                       if (got != "bullets")
                           return SelfTestOutcome::fail("request mode field: expected bullets, got " + got);
                       return SelfTestOutcome::pass();
                   }});

    out.push_back({"buildRequestData emits a trimmed 'instruction' key for edit mode with a real instruction",
                   "dropping the instruction field or not trimming it would break the helper's edit mode, which reads "
                   "the instruction verbatim into its prompt",
                   [] {
                       auto j = parsedObject(PolishService::buildRequestData("edit", "hello", "  make it more formal  "));
                       if (!j) return SelfTestOutcome::fail("buildRequestData returned nil");
                       const std::string got = stringField(*j, "instruction", "<missing>");
                       if (got != "make it more formal")
                           return SelfTestOutcome::fail(
                               "instruction field (should be trimmed): expected make it more formal, got " + got);
                       return SelfTestOutcome::pass();
                   }});

    out.push_back({"buildRequestData NEVER emits 'instruction' for polish/bullets/concise/email, even when one is supplied",
                   "an unconditional instruction field would reach the helper's edit behaviour through a mode the "
                   "interface does not mean to expose",
                   [] {
                       for (const char* mode : {"polish", "bullets", "concise", "email"}) {
                           auto j = parsedObject(PolishService::buildRequestData(mode, "hello", "translate to Spanish"));
                           if (!j)
                               return SelfTestOutcome::fail(std::string("buildRequestData returned nil for mode ") + mode);
                           if (j->contains("instruction"))
                               return SelfTestOutcome::fail(
                                   std::string("mode ") + mode +
                                   " leaked an 'instruction' key even though it was passed alongside a non-edit mode");
                       }
                       return SelfTestOutcome::pass();
                   }});

    out.push_back({"buildRequestData omits 'instruction' for edit mode when the instruction is empty or whitespace-only",
                   "emitting an empty or blank instruction would give the edit mode a blank editing instruction "
                   "instead of omitting the key",
                   [] {
                       auto j = parsedObject(PolishService::buildRequestData("edit", "hello", "   \n  "));
                       if (!j) return SelfTestOutcome::fail("buildRequestData returned nil");
                       if (j->contains("instruction"))
                           return SelfTestOutcome::fail(
                               "expected no 'instruction' key for a whitespace-only instruction, found one");
                       return SelfTestOutcome::pass();
                   }});

    struct ParseCase {
        const char* name;
        const char* teeth;
        std::string line;
        std::optional<Outcome> exact;  // none: any failure
        std::string failurePrefix;
    };
    for (const ParseCase& c : std::vector<ParseCase>{
             {"parseResponseLine: {\"ok\":true,\"text\":...} -> success with the exact text",
              "reading \"ok\" without requiring a true Boolean would let a truthy non-Boolean value through as success",
              "{\"ok\":true,\"text\":\"Cleaned up.\"}", Outcome::success("Cleaned up."), ""},
             {"parseResponseLine: {\"ok\":false,\"err\":...} -> failure with the helper's own message",
              "replacing the helper's \"err\" text with a generic string would hide the real reason",
              "{\"ok\":false,\"err\":\"model busy\"}", Outcome::failure("model busy"), ""},
             {"parseResponseLine: malformed JSON -> failure, never a crash or a silent success",
              "parsing without a guard would crash the application the first time the helper's output got out of step",
              "{not json at all", std::nullopt, "expected .failure for malformed JSON, got "},
             {"parseResponseLine: empty line -> failure, not treated as an empty success",
              "rejecting only a missing line and not an empty one would let a stray blank line read as an empty rewrite", "",
              std::nullopt, "expected .failure for an empty line, got "},
             {"parseResponseLine: whitespace-only line -> failure",
              "trimming after the emptiness check would let a line of spaces past the guard", "   \n", std::nullopt,
              "expected .failure for a whitespace-only line, got "},
         }) {
        out.push_back({c.name, c.teeth, [c] {
                           const Outcome got = PolishService::parseResponseLine(c.line);
                           if (c.exact) {
                               if (got == *c.exact) return SelfTestOutcome::pass();
                               return SelfTestOutcome::fail("parsed outcome: expected " + c.exact->description() + ", got " +
                                                            got.description());
                           }
                           if (got.isFailure()) return SelfTestOutcome::pass();
                           return SelfTestOutcome::fail(c.failurePrefix + got.description());
                       }});
    }

    out.push_back({"isReadyLine recognizes {\"ready\":true} and only that shape",
                   "a ready test that matched any valid JSON could consume the first real answer as the handshake and "
                   "leave the caller waiting",
                   [] {
                       const bool ready = PolishService::isReadyLine("{\"ready\":true}");
                       const bool answer = PolishService::isReadyLine("{\"ok\":true,\"text\":\"hi\"}");
                       const bool malformed = PolishService::isReadyLine("not json");
                       if (ready && !answer && !malformed) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("ready=" + boolText(ready) + " realAnswer(should be false)=" +
                                                    boolText(answer) + " malformed(should be false)=" + boolText(malformed));
                   }});

    out.push_back({"the supported-mode set is exactly polish/bullets/concise/email/edit",
                   "adding another mode the interface does not expose, or losing \"edit\", would either open an "
                   "untested path or break the edit feature",
                   [] {
                       const std::set<std::string> expected = {"polish", "bullets", "concise", "email", "edit"};
                       const auto& actual = PolishService::supportedModes();
                       if (actual == expected) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("supportedModes: expected " + setText(expected) + ", got " +
                                                    setText(actual));
                   }});

    out.push_back({"'edit' is now a supported mode; 'translate' and '' are still rejected — no fallback to polish",
                   "falling back to \"polish\" for an unknown mode would rewrite in the wrong style without an error, "
                   "and removing \"edit\" would be caught",
                   [] {
                       const auto& modes = PolishService::supportedModes();
                       if (modes.count("edit") && !modes.count("translate") && !modes.count(""))
                           return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail(
                           "expected 'edit' to be accepted and 'translate'/'' to both be rejected as modes");
                   }});

    out.push_back({"validateEditInstruction: nil instruction -> failure, mentions 'instruction'",
                   "an edit request without an instruction would otherwise run with an empty instruction", [] {
                       auto o = PolishService::validateEditInstruction(std::nullopt);
                       if (!o)
                           return SelfTestOutcome::fail(
                               "expected a rejection outcome for a nil instruction, got nil (meaning: treated as valid)");
                       if (o->isSuccess()) return SelfTestOutcome::fail("expected .failure, got " + o->description());
                       if (platform::text::lowercased(o->value).find("instruction") == std::string::npos)
                           return SelfTestOutcome::fail("expected the failure message to mention 'instruction', got: " +
                                                        o->value);
                       return SelfTestOutcome::pass();
                   }});

    out.push_back({"validateEditInstruction: empty or whitespace-only instruction -> failure",
                   "trimming after the emptiness check would accept spaces and line feeds as an instruction", [] {
                       return expectFailure(PolishService::validateEditInstruction("   \n\t  "), "expected .failure, got ",
                                            "expected a rejection outcome for a whitespace-only instruction, got nil");
                   }});

    out.push_back({"validateEditInstruction: a normal instruction is accepted (returns nil == valid)",
                   "an over-eager validator would block every real edit request", [] {
                       auto o = PolishService::validateEditInstruction("make it more formal");
                       if (!o) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("expected nil (valid) for a normal instruction, got " +
                                                    o->description());
                   }});

    out.push_back(
        {"validateEditInstruction: exactly maxInstructionLength characters is accepted, one character over is rejected",
         "an off-by-one in the length comparison would reject the last valid length or accept one character "
         "too many",
         [] {
             // The published limit, spelled out: rebuilding it from the service's own
             // constant would follow any change to that constant.
             const std::size_t max = 500;
             if (auto o = PolishService::validateEditInstruction(std::string(max, 'a')))
                 return SelfTestOutcome::fail(
                     "expected an instruction of exactly maxInstructionLength (500) to be valid, got " + o->description());
             auto over = PolishService::validateEditInstruction(std::string(max + 1, 'a'));
             if (!over || !over->isFailure())
                 return SelfTestOutcome::fail(
                     "expected an instruction one character over maxInstructionLength to be rejected");
             return SelfTestOutcome::pass();
         }});

    // The availability decision for fixed inputs: the same on every machine.
    out.push_back({"evaluateAvailability: unsupported OS -> unavailable, reason names the system requirement",
                   "checking the helper before the operating system would report a missing helper on a system that "
                   "could never run it",
                   [] {
                       // The helper is missing too, so only the system requirement may be named.
                       auto a = PolishService::evaluateAvailability(false, false, false, std::nullopt);
                       if (!a.available && a.reason == LinuxNames::rewriteSystemRequirement) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail(availabilityText(a));
                   }});
    out.push_back({"evaluateAvailability: helper file absent -> unavailable, reason mentions the helper is missing",
                   "a build that lost the helper must be reported unavailable with a reason", [] {
                       auto a = PolishService::evaluateAvailability(true, false, false, std::nullopt);
                       if (!a.available && platform::text::lowercased(a.reason).find("missing") != std::string::npos)
                           return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail(availabilityText(a));
                   }});
    out.push_back({"evaluateAvailability: helper present but not executable -> unavailable",
                   "checking only that the file exists would report a helper without execute permission as available", [] {
                       auto a = PolishService::evaluateAvailability(true, true, false, std::nullopt);
                       if (!a.available) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("a helper without execute permission: " + availabilityText(a));
                   }});
    out.push_back(
        {"evaluateAvailability: OS ok, helper ok, model previously failed to start -> unavailable with that reason surfaced",
         "ignoring a known start failure would report the rewrite as available until the user tries it", [] {
             const std::string reason = "The on-device rewrite model did not start: mirvane: model unavailable";
             auto a = PolishService::evaluateAvailability(true, true, true, reason);
             if (!a.available && a.reason == reason) return SelfTestOutcome::pass();
             return SelfTestOutcome::fail("after a recorded start failure (" + reason + "): " + availabilityText(a));
         }});
    out.push_back({"evaluateAvailability: OS ok, helper ok, no known failure -> available",
                   "a decision that defaulted to false would make the rewrite feature look broken on every correct install",
                   [] {
                       auto a = PolishService::evaluateAvailability(true, true, true, std::nullopt);
                       if (a.available) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("with everything in place: " + availabilityText(a));
                   }});

    const char* gateTeeth =
        "removing the edit-instruction gate from rewrite(mode:text:instruction:completion:), or moving it behind the "
        "switch to the input/output queue, would wait on a helper the machine may not have or return a spawn or parse "
        "failure instead of the instruction rejection";
    out.push_back(
        {"rewrite(): mode 'edit' with no instruction fails before any helper spawn", gateTeeth, [] {
             return expectRefusedBeforeSpawn(
                 std::nullopt, "expected .failure, got ",
                 "rewrite() never called back within the timeout — the pre-I/O gate is gone and it is waiting on the helper",
                 true);
         }});
    out.push_back({"rewrite(): mode 'edit' with an over-length instruction fails before any helper spawn", gateTeeth, [] {
                       return expectRefusedBeforeSpawn(
                           std::string(501, 'x'), "expected .failure for an over-length instruction, got ",
                           "rewrite() never called back within the timeout — the length gate is not running before I/O",
                           false);
                   }});

    return out;
}

}  // namespace PolishServiceSelfTests

ONDIRA_SELFTEST_SUITE("PolishService", PolishServiceSelfTests::cases);
