// The hub page shows only what the program measured or reported: no status
// text baked into the template, and every status panel wired to the query
// that fills it at load time.
#include "SelfTest/HubPageSource.h"
#include "SelfTest/PersonalModelFixtures.h"
#include "UI/BridgePayload.h"
#include "Update/UpdateChecker.h"

namespace HubHonestySelfTests {

namespace {

bool has(const std::string& page, const std::string& needle) { return page.find(needle) != std::string::npos; }

bool anyLineHolds(const BridgePayload::json& payload, const std::string& text) {
    if (!payload.contains("lines") || !payload["lines"].is_array()) return false;
    for (const auto& line : payload["lines"])
        if (line.is_string() && line.get<std::string>().find(text) != std::string::npos) return true;
    return false;
}

}  // namespace

std::vector<SelfTestCase> cases() {
    auto text = HubPageSource::bundledPage();
    if (!text) {
        return {{"hub honesty", "n/a", [] {
                     return SelfTestOutcome::fail(
                         "bundled ondira_hub.html not found \u2014 cannot check any hardcoded-status literal");
                 }}};
    }
    auto page = std::make_shared<const std::string>(std::move(*text));

    struct Banned {
        const char* literal;
        const char* reason;
    };
    static const Banned banned[] = {
        {"0 KB Egress",
         "the program measures host literals in its own executable, not bytes on the wire: no instrument stands "
         "behind such a number and it could never turn red"},
        {"v2.0.0 (Apple Silicon Native)",
         "a pinned version text; the version must come from UpdateChecker::currentAppVersion() through the "
         "update_query message"},
        {"updateState = 'unsupported'",
         "this default told every user on every load that automatic updates did not exist, while update checking "
         "was fully wired"},
        {"0 leftover files ",
         "a substituted text that overwrote the measured audio-retention result: a probe that found leftover files "
         "still printed zero"},
        {"8 allowed Apple & Ondira hostnames",
         "a substituted text that overwrote the measured outbound-host result: a probe that found an unlisted host "
         "still printed the allow-list"},
        {"ATTACHED TO RECOGNITION YES",
         "the personal-model panel's positive line must come from the personal model's own status lines in the "
         "reply; baked into the template it would claim attachment on every load before the program answered"},
    };

    std::vector<SelfTestCase> out;
    for (const auto& b : banned) {
        const std::string literal = b.literal, reason = b.reason;
        out.push_back(
            {"hub does not hardcode: " + literal,
             "pasting the literal \"" + literal + "\" back into ondira_hub.html fails this immediately \u2014 " + reason,
             [page, literal, reason] {
                 if (!has(*page, literal)) return SelfTestOutcome::pass();
                 return SelfTestOutcome::fail("ondira_hub.html contains the banned literal \"" + literal + "\" \u2014 " +
                                              reason);
             }});
    }
    out.push_back(HubPageSource::pageHolds(
        page, "hub asks the host for the update state on load (update_query)",
        "deleting the update query from the page's start-up queries restores the defect: the version "
        "and state text never leave their \"Checking\u2026\" placeholder",
        {"act('update_query')"}, "ondira_hub.html never sends update_query, so nothing can ever populate #updates-status"));
    out.push_back(HubPageSource::pageHolds(
        page, "hub has a bridge entry point for the update state",
        "without the receiver, the hub window's update-state message goes nowhere and the page keeps "
        "its placeholder forever",
        {"window.ondiraSetUpdateState"}, "no window.ondiraSetUpdateState receiver defined in ondira_hub.html"));
    out.push_back(HubPageSource::pageHolds(
        page, "egress badge is an element the app fills, not static markup",
        "replacing the badge element with fixed text fails this: the badge must stay addressable so "
        "that its renderer can drive it from the same probe reply that fills the rows",
        {"id=\"privacy-egress-badge\"", "function renderEgressBadge"},
        "privacy-egress-badge element and/or its renderEgressBadge() driver are missing"));
    out.push_back(HubPageSource::pageHolds(
        page, "privacy rows render the measured detail string",
        "putting back a fixed-text override before the detail assignment re-adds a banned literal; "
        "this also pins that the assignment reads the probe's own field",
        {"detail.textContent = chk.detail;"}, "renderPrivacyProbe no longer assigns the probe's measured detail directly"));

    struct TokenRow {
        UpdateStatus status;
        const char* label;
        const char* token;
    };
    const std::vector<TokenRow> tokens = {
        {UpdateStatus::idle(), "idle", "idle"},
        {UpdateStatus::checking(), "checking", "checking"},
        {UpdateStatus::upToDate("2.0.0"), "upToDate", "uptodate"},
        {UpdateStatus::failed("offline"), "failed", "error"},
    };
    out.push_back({"UpdateChecker::stateToken maps every status to a token the hub knows",
                   "renaming a returned token (for example \"uptodate\" to \"up_to_date\") without updating the page's "
                   "mapping would make the page fall back to showing \"Update state: \" and the raw token",
                   [page, tokens] {
                       for (const auto& row : tokens) {
                           const std::string got = UpdateChecker::stateToken(row.status);
                           if (got != row.token)
                               return SelfTestOutcome::fail(std::string("stateToken(") + row.label + ") = " + got +
                                                            ", expected " + row.token);
                           if (!has(*page, std::string("'") + row.token + "':"))
                               return SelfTestOutcome::fail(std::string("hub has no mapping entry for token '") + row.token +
                                                            "' \u2014 it would render the raw token to the user");
                       }
                       return SelfTestOutcome::pass();
                   }});
    out.push_back(
        HubPageSource::pageHolds(page, "hub asks the host for the personal model state on load (personal_model_query:)",
                                 "deleting the personal-model query from the start-up queries leaves the badge and body on "
                                 "their \"Not verified\" and \"Checking\u2026\" placeholders forever",
                                 {"act('personal_model_query:')"},
                                 "ondira_hub.html never sends personal_model_query:, so nothing can ever populate the "
                                 "Personal Model card"));
    out.push_back(HubPageSource::pageHolds(page, "hub has a bridge entry point for the personal model state",
                                           "without the receiver, the hub window's personal-model message goes nowhere",
                                           {"window.onPersonalModel"},
                                           "no window.onPersonalModel receiver defined in ondira_hub.html"));
    out.push_back(HubPageSource::pageHolds(
        page, "personal model badge and body are elements the app fills, not static markup",
        "replacing the badge or body element with fixed text, or deleting their renderer, fails this: "
        "a real reply must be able to drive both",
        {"id=\"personal-model-badge\"", "id=\"personal-model-lines\"", "function renderPersonalModel"},
        "personal-model-badge/personal-model-lines elements and/or their renderPersonalModel() "
        "driver are missing"));
    out.push_back(HubPageSource::pageHolds(
        page, "personal model body renders the CLI's own lines verbatim",
        "rebuilding the text from individual fields in the page instead of joining the reply's lines "
        "would let the hub and the command line's personal-model report drift apart",
        {"lines.join('\\n')"}, "renderPersonalModel no longer joins the reply's own lines array verbatim"));
    out.push_back({"BridgePayload::personalModelPayload reports both attached and not-attached honestly",
                   "reporting attachment from a shortcut such as the enabled flag alone would claim attached = true for "
                   "the model that is enabled but cached for another locale",
                   [] {
                       const auto matching = BridgePayload::personalModelPayload(completePersonalModelStatus());
                       if (matching.value("attached", BridgePayload::json()) != true)
                           return SelfTestOutcome::fail(
                               "a complete, matching, enabled cache must report attached=true, "
                               "got " +
                               matching.value("attached", BridgePayload::json()).dump());
                       if (!anyLineHolds(matching, "ATTACHED TO RECOGNITION YES"))
                           return SelfTestOutcome::fail(
                               "attached=true payload's lines must include PersonalModel's own YES line verbatim");
                       auto elsewhere = completePersonalModelStatus();
                       elsewhere.cachedLocale = "es_MX";
                       const auto mismatched = BridgePayload::personalModelPayload(elsewhere);
                       if (mismatched.value("attached", BridgePayload::json()) != false)
                           return SelfTestOutcome::fail("a locale-mismatched cache must report attached=false, got " +
                                                        mismatched.value("attached", BridgePayload::json()).dump());
                       if (!anyLineHolds(mismatched, "ATTACHED TO RECOGNITION NO"))
                           return SelfTestOutcome::fail(
                               "attached=false payload's lines must include PersonalModel's own NO line verbatim");
                       return SelfTestOutcome::pass();
                   }});
    return out;
}

}  // namespace HubHonestySelfTests

ONDIRA_SELFTEST_SUITE("HubHonesty", HubHonestySelfTests::cases);
