#include "SelfTest/HubPageSource.h"

#include "Platform/Bundle.h"
#include "Platform/FileIO.h"
#include "Platform/Unicode.h"

namespace fs = std::filesystem;

namespace HubPageSource {

namespace {

// A page is a few tens of kilobytes; anything near this is not our page.
constexpr std::uintmax_t maxPageBytes = 4u << 20;

std::optional<std::string> readPage(const fs::path& path) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return std::nullopt;  // follows the checkout's link
    const auto size = fs::file_size(path, ec);
    if (ec || size > maxPageBytes) return std::nullopt;
    auto text = platform::readFile(path);
    if (!text || !platform::text::isValidUTF8(*text)) return std::nullopt;
    return text;
}

bool isNameChar(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'; }

// The name that starts at `at`, or an empty view.
std::string_view nameAt(std::string_view text, std::size_t at) {
    std::size_t end = at;
    while (end < text.size() && isNameChar(text[end])) ++end;
    return text.substr(at, end - at);
}

// Every name written `opener` name `closer`.
void collect(std::string_view text, std::string_view opener, std::string_view closer, std::set<std::string>& into) {
    for (auto at = text.find(opener); at != std::string_view::npos; at = text.find(opener, at + 1)) {
        const auto start = at + opener.size();
        const auto name = nameAt(text, start);
        if (!name.empty() && text.substr(start + name.size(), closer.size()) == closer) into.emplace(name);
    }
}

}  // namespace

std::optional<std::string> bundledPage() {
    auto resources = platform::Bundle::resourceURL();
    if (!resources) return std::nullopt;
    return readPage(*resources / pageFileName);
}

std::optional<std::string> checkoutPage(fs::path* path) {
    auto root = SelfTestSupport::repoRoot();
    if (!root) return std::nullopt;
    const fs::path page = *root / "Resources" / pageFileName;
    if (path) *path = page;
    return readPage(page);
}

std::set<std::string> postedMessages(std::string_view page) {
    std::set<std::string> names;
    collect(page, "act('", "", names);
    return names;
}

std::optional<DispatcherScan> scanDispatcher(std::string_view source) {
    const auto start = source.find(dispatcherStart);
    if (start == std::string_view::npos) return std::nullopt;
    const auto end = source.find(dispatcherEnd, start + std::string_view(dispatcherStart).size());
    if (end == std::string_view::npos) return std::nullopt;
    const auto region = source.substr(start, end - start);
    DispatcherScan scan;
    collect(region, "body == \"", "\"", scan.handlers);
    collect(region, "strip(body, \"", ":\"", scan.handlers);
    scan.logsUnhandled = region.find(unhandledLog) != std::string_view::npos;
    return scan;
}

std::string joined(const std::set<std::string>& names) {
    std::string out;
    for (const auto& name : names) out += (out.empty() ? "" : ", ") + name;
    return out;
}

SelfTestCase pageHolds(std::shared_ptr<const std::string> page, std::string name, std::string teeth,
                       std::vector<std::string> needles, std::string message) {
    return {std::move(name), std::move(teeth), [page, needles, message] {
                for (const auto& needle : needles)
                    if (page->find(needle) == std::string::npos) return SelfTestOutcome::fail(message);
                return SelfTestOutcome::pass();
            }};
}

}  // namespace HubPageSource

std::vector<SelfTestCase> UpdateAutoCheckPageCases() {
    auto text = HubPageSource::bundledPage();
    if (!text) {
        return {{"hub update controls are wired to the bridge", "n/a", [] {
                     return SelfTestOutcome::fail(
                         "bundled ondira_hub.html not found \u2014 cannot verify the update controls are connected");
                 }}};
    }
    struct Control {
        const char* label;
        const char* snippet;
        const char* consequence;
    };
    static const Control controls[] = {
        {"automatic-checks toggle sends update_set_auto:", "act('update_set_auto:'",
         "the toggle would move on screen and change nothing, which is worse than not shipping it"},
        {"check-now button sends update_check", "act('update_check')",
         "the button would spin for three seconds and re-read the same stale state"},
        {"panel renders the persisted last-checked stamp", "function renderUpdateLastChecked",
         "the stamp is persisted host-side but nothing would display it"},
        {"panel renders the switch position it was told", "function renderUpdateAuto",
         "the toggle would render from its own click rather than from what the host actually stored"},
    };
    auto page = std::make_shared<const std::string>(std::move(*text));
    std::vector<SelfTestCase> out;
    for (const auto& c : controls) {
        const std::string snippet = c.snippet, consequence = c.consequence;
        out.push_back(
            HubPageSource::pageHolds(page, std::string("hub: ") + c.label,
                                     "deleting \"" + snippet + "\" from ondira_hub.html fails this \u2014 " + consequence,
                                     {snippet}, "ondira_hub.html is missing " + snippet + " \u2014 " + consequence));
    }
    out.push_back(HubPageSource::pageHolds(
        page, "hub does not assert a switch position before the host answers",
        "initialising updateAuto to false instead of null would tell the user that automatic checks are off during "
        "every page load, also when they are on",
        {"var updateAuto = null"},
        "updateAuto is not initialised to null, so the panel renders a settings claim it has not been given"));
    return out;
}

std::vector<SelfTestCase> StagingPageCases() {
    return {
        {"staging_panel_html_has_real_checkbox_edit_reorder_and_commit_anchors",
         "it would fail if the hub page's staging card lost its per-row checkbox, its inline edit, its up and down "
         "reorder controls or its \"Commit selected\" button: a panel that exists with half its interactions "
         "missing, which a decorative check for the word Staging would not catch",
         [] {
             if (!SelfTestSupport::repoRoot())
                 return SelfTestOutcome::skip(
                     "dev source tree not present next to this bundle \u2014 cannot scan ondira_hub.html");
             fs::path where;
             auto page = HubPageSource::checkoutPage(&where);
             if (!page) return SelfTestOutcome::fail("could not read ondira_hub.html at " + where.string());
             struct Anchor {
                 std::vector<const char*> any;
                 const char* message;
             };
             static const Anchor anchors[] = {
                 {{"staging-card"}, "missing 'staging-card' container \u2014 the Staging panel card itself is absent"},
                 {{"type=\"checkbox\""},
                  "missing a checkbox input anywhere in the HTML \u2014 no per-row select affordance"},
                 {{"stagingRowEl", "renderStaging"}, "missing the Staging row-render function \u2014 rows have no renderer"},
                 {{"staging_move:"}, "missing a staging_move: call site \u2014 no reorder affordance"},
                 {{"staging_edit:"}, "missing a staging_edit: call site \u2014 no inline-edit affordance"},
                 {{"staging_delete:"}, "missing a staging_delete: call site \u2014 no per-row delete affordance"},
                 {{"Commit selected"}, "missing the 'Commit selected' button label the brief explicitly requires"},
                 {{"staging_commit:"}, "missing a staging_commit: call site \u2014 the Commit button is not wired"},
             };
             for (const auto& anchor : anchors) {
                 bool found = false;
                 for (const char* needle : anchor.any) found = found || page->find(needle) != std::string::npos;
                 if (!found) return SelfTestOutcome::fail(anchor.message);
             }
             return SelfTestOutcome::pass();
         }}};
}
