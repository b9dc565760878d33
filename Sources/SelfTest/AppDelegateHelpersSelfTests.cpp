#include "App/AppDelegate.h"
#include "Base/AppPaths.h"
#include "Engine/FileTranscriber.h"
#include "Platform/UUID.h"
#include "SelfTest/SelfTest.h"
#include "SelfTest/SourceScan.h"
#include "Text/StagingBuffer.h"

#include <gio/gio.h>

#include <algorithm>

namespace AppDelegateHelpersSelfTests {

namespace {
// The content type the desktop gives a file-name extension, when it knows one.
std::optional<std::string> contentTypeFor(const std::string& extension) {
    gboolean uncertain = FALSE;
    gchar* type = g_content_type_guess(("file." + extension).c_str(), nullptr, 0, &uncertain);
    std::optional<std::string> out;
    if (type && !uncertain && g_content_type_is_a(type, "application/octet-stream")) out = type;
    g_free(type);
    return out;
}

SelfTestCase offersExtension(const std::string& extension) {
    return {"transcribableContentTypes: includes a type resolving the " + extension + " extension",
            extension == "wav" ? "a missing type would grey out WAV files in the open panel although they can be transcribed"
                               : "a missing type would exclude video files although mp4 is a supported video container",
            [extension] {
                const auto type = contentTypeFor(extension);
                const auto types = AppDelegate::transcribableContentTypes();
                if (type && std::find(types.begin(), types.end(), *type) != types.end()) return SelfTestOutcome::pass();
                return SelfTestOutcome::fail("transcribableContentTypes() did not include the " + extension + " UTType");
            }};
}

std::string optionalForm(const std::optional<std::string>& message) {
    return message ? "Optional(\"" + *message + "\")" : "nil";
}

std::vector<std::optional<std::string>> capMessages(const StagingLimits& limits) {
    return {AppDelegate::stagingRejectionMessage({StagingAppendResult::Kind::rejectedEntryCap, {}}, limits),
            AppDelegate::stagingRejectionMessage({StagingAppendResult::Kind::rejectedByteCap, {}}, limits)};
}

std::string capsText(const std::vector<std::optional<std::string>>& caps) {
    return "entryCap=" + caps[0].value_or("") + " byteCap=" + caps[1].value_or("");
}
}  // namespace

std::vector<SelfTestCase> cases() {
    std::vector<SelfTestCase> out;

    // The tool is linked into the user's own bin directory here, so the
    // command names that link rather than a system directory.
    out.push_back(
        {"cliInstallCommand: produces a plain `ln -s <bin> ~/.local/bin/ondira` with no sudo",
         "if the fallback command ever gained a sudo prefix, a user pasting it would be asked for a password "
         "by text this application generated",
         [] {
             // The expected text is spelled out here, not rebuilt from the delegate's own
             // link constant: a link moved to a system directory must turn this red.
             const std::string bin = "/opt/Ondira.bundle/Ondira";
             const std::string expected = "ln -s " + bin + " " + (AppPaths::homeDirectory() / ".local/bin/ondira").string();
             const std::string cmd = AppDelegate::cliInstallCommand(bin);
             if (cmd == expected && cmd.find("sudo") == std::string::npos) return SelfTestOutcome::pass();
             return SelfTestOutcome::fail("cliInstallCommand produced \"" + cmd + "\", expected \"" + expected + "\"");
         }});

    out.push_back({"cliInstallCommand: threads the exact resolved binary path given, not a hardcoded one",
                   "a hard-coded application path would print an unusable command for any development build or moved "
                   "installation",
                   [] {
                       const std::string bin = "/tmp/some/dev/build/Ondira";
                       const std::string cmd = AppDelegate::cliInstallCommand(bin);
                       if (cmd.find(bin) != std::string::npos) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("cliInstallCommand ignored its forBinaryAt argument: " + cmd);
                   }});

    out.push_back({"transcribableContentTypes: is derived from FileTranscriber.Format, not a separate hand-kept list",
                   "a hand-kept list would silently leave a newly supported format out of the open panel's filter, so "
                   "users would think it unsupported",
                   [] {
                       const auto count = AppDelegate::transcribableContentTypes().size();
                       const auto formats = FileTranscriber::allFormats().size();
                       if (count == formats) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("transcribableContentTypes() returned " + std::to_string(count) +
                                                    " types, expected one per FileTranscriber.Format case (" +
                                                    std::to_string(formats) + ")");
                   }});
    out.push_back(offersExtension("wav"));
    out.push_back(offersExtension("mp4"));

    out.push_back({"stagingCommitTitle: carries the live entry count, and a different count produces a different title",
                   "a fixed \"Commit Staged Text\" would read the same with 0, 1 or 40 entries staged, a status text "
                   "that does not tell the truth",
                   [] {
                       const std::string t0 = AppDelegate::stagingCommitTitle(0);
                       const std::string t1 = AppDelegate::stagingCommitTitle(1);
                       const std::string t40 = AppDelegate::stagingCommitTitle(40);
                       const bool distinct = t0 != t1 && t1 != t40 && t0 != t40;
                       if (distinct && t1.find("1") != std::string::npos && t40.find("40") != std::string::npos &&
                           t0.find("0 ") == std::string::npos)
                           return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("titles were 0=" + t0 + " 1=" + t1 + " 40=" + t40);
                   }});

    out.push_back({"stagingCommitTitle: singular for one entry, plural for more than one",
                   "\"1 entries\" reads as unfinished software; this fails if the plural is unconditional", [] {
                       const std::string one = AppDelegate::stagingCommitTitle(1);
                       const std::string two = AppDelegate::stagingCommitTitle(2);
                       if (one.find("1 entry") != std::string::npos && one.find("entries") == std::string::npos &&
                           two.find("2 entries") != std::string::npos)
                           return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("one=" + one + " two=" + two);
                   }});

    out.push_back({"stagingRejectionMessage: nil on a successful append, non-nil on both caps",
                   "a message on the normal path would show a frightening error; no message at a cap would send the "
                   "dictation to the paste path without explanation",
                   [] {
                       const auto limits = StagingLimits::defaults();
                       const auto appended = AppDelegate::stagingRejectionMessage(
                           {StagingAppendResult::Kind::appended, platform::newUUID()}, limits);
                       const auto caps = capMessages(limits);
                       if (!appended && caps[0] && caps[1]) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("appended=" + optionalForm(appended) + " entryCap=" +
                                                    optionalForm(caps[0]) + " byteCap=" + optionalForm(caps[1]));
                   }});
    out.push_back({"stagingRejectionMessage: quotes the ACTUAL cap from the limits passed, not a literal",
                   "the caps live in the staging limits; a message with a hard-coded \"200 entries\" would stay wrong "
                   "after the limit changed, and a hard-coded text cannot contain 37",
                   [] {
                       const auto caps = capMessages(StagingLimits{37, 91000});
                       if (caps[0] && caps[0]->find("37") != std::string::npos && caps[1] &&
                           caps[1]->find("91") != std::string::npos)
                           return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail(capsText(caps));
                   }});
    out.push_back(
        {"stagingRejectionMessage: says the words were pasted instead, because a refused append must never read as a silent "
         "drop",
         "the staging buffer refuses at the cap instead of evicting; if the message did not say the text still "
         "went somewhere, the user would believe the dictation lost",
         [] {
             const auto caps = capMessages(StagingLimits::defaults());
             for (const auto& message : caps)
                 if (!message || platform::text::lowercased(*message).find("pasted") == std::string::npos)
                     return SelfTestOutcome::fail(capsText(caps));
             return SelfTestOutcome::pass();
         }});

    out.push_back({"staging mode defaults OFF, unlike every other feature flag here",
                   "staging changes where a dictation lands; a default of on would silently stop pasting for every "
                   "existing user; reading the registered default catches a stray registration that turns it on",
                   [] {
                       auto store = AppPaths::userDefaults();
                       store->removeObject(AppDelegate::stagingModeKey);
                       if (!store->boolValue(AppDelegate::stagingModeKey)) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail(std::string("default was ") + "true" + " for key " +
                                                    AppDelegate::stagingModeKey);
                   }});

    // The dictation road of the delegate, in its own file here.
    if (!SelfTestSupport::repoRoot()) return out;
    const auto source = SelfTestSupport::readRepoFile("Sources/App/DictationController.cpp");
    const auto unreadable = [] {
        return SelfTestOutcome::fail("Sources/App/DictationController.cpp is missing or unreadable in the source tree");
    };
    // The hub refresh and the delivery belong to the main thread while the
    // completion job runs off it: they must stay inside the job's one
    // main-queue step, never be called from the job directly.
    out.push_back(
        {"defect #2: refreshAfterDictation() is hopped through MainActor.run, not called bare",
         "the hub window controller belongs to the main actor while the transcription task body runs off it; "
         "a bare call would reach across actors unguarded, so the main-actor hop must stay",
         [source, unreadable] {
             if (!source) return unreadable();
             const std::string hop = "platform::MainQueue::async([this, job, cleaned";
             // The hub refresh hook the delegate calls after a recorded dictation.
             const std::string call = "HubWindowController::shared().refreshAfterDictation();";
             const auto block = SourceScan::between(*source, hop, "\n    });\n");
             const bool hopped = block && SourceScan::contains(*block, call);
             const auto first = source->find(call);
             const bool noBareCall = first != std::string::npos && source->find(call, first + 1) == std::string::npos &&
                                     (!hopped || source->find(hop) < first);
             if (hopped && noBareCall) return SelfTestOutcome::pass();
             return SelfTestOutcome::fail(std::string("expected the hub refresh after a dictation to be called only inside "
                                                      "the job's main-queue step, hopped=") +
                                          (hopped ? "true" : "false") + " noBareCall=" + (noBareCall ? "true" : "false"));
         }});
    // The partial-text callback outlives nothing: it captures no delegate and
    // finds the live one when it runs.
    out.push_back(
        {"defect #3 (confirmed already correct, left alone): onPartial keeps [weak self], not a strong capture",
         "the partial-text callback is sendable and the delegate is not; a strong capture would also keep the "
         "delegate alive for the whole background task, a leak on every dictation",
         [source, unreadable] {
             if (!source) return unreadable();
             const auto body = SourceScan::between(
                 *source, "PartialTextCallback partialTextForwarder(std::weak_ptr<DictationController> controller) {",
                 "\n}\n");
             const bool usesWeakSelf = body &&
                                       SourceScan::contains(*body, "return [controller](const std::string& text) {") &&
                                       !SourceScan::contains(*body, "this");
             const bool bodyUsesOptionalChaining =
                 body && SourceScan::contains(
                             *body, "if (controller.lock()) IndicatorWindowController::shared().updatePartialText(text);");
             if (usesWeakSelf && bodyUsesOptionalChaining) return SelfTestOutcome::pass();
             return SelfTestOutcome::fail(std::string("expected onPartial to capture [weak self] and call "
                                                      "self?.indicator.updatePartialText(text), usesWeakSelf=") +
                                          (usesWeakSelf ? "true" : "false") +
                                          " bodyUsesOptionalChaining=" + (bodyUsesOptionalChaining ? "true" : "false"));
         }});
    return out;
}

}  // namespace AppDelegateHelpersSelfTests

ONDIRA_SELFTEST_SUITE("AppDelegateHelpers", AppDelegateHelpersSelfTests::cases);
