#include "UI/HubWindow.h"

#include <sys/utsname.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <set>

#include "Base/AppPaths.h"
#include "Diagnostics/PrivacyProbe.h"
#include "Engine/SpeechEngine.h"
#include "Engine/SphinxRecognizer.h"
#include "Learning/CorrectionLog.h"
#include "Learning/DictationLogger.h"
#include "Learning/PersonalModel.h"
#include "Platform/FileIO.h"
#include "Platform/Log.h"
#include "Platform/Queues.h"
#include "Platform/Unicode.h"
#include "Platform/URLSession.h"
#include "Text/AppRules.h"
#include "Text/PolishEngine.h"
#include "Text/PolishService.h"
#include "Text/ProcessingMode.h"
#include "Text/Snippets.h"
#include "Text/StagingBuffer.h"
#include "Text/Vocabulary.h"
#include "UI/BridgePayload.h"
#include "UI/IndicatorPages.h"
#include "Update/UpdateChecker.h"

namespace fs = std::filesystem;
namespace text = platform::text;
using json = nlohmann::json;

namespace {

// Every line of the bridge is written whole, "[bridge] ..." included, so the
// texts in this file are the texts in the log.
void bridgeLog(const std::string& line) {
    const std::string prefix = "[bridge] ";
    // Lines quote what the page sent, which may be any size.
    const std::string shown = BridgePayload::logExcerpt(line, 400);
    platform::log("bridge", text::hasPrefix(shown, prefix) ? shown.substr(prefix.size()) : shown);
}

std::optional<std::string> strip(const std::string& body, std::string_view prefix);

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A stored list that is present but does not decode must not be written
// over: the user's entries in it are still there for a later fix.
template <typename Decode>
bool storedListLoads(const char* key, Decode decode) {
    auto store = AppPaths::userDefaults();
    if (!store->persistentObject(key)) return true;
    auto bytes = store->data(key);
    return bytes && decode(std::string(bytes->begin(), bytes->end())).has_value();
}

bool isShippedProfile(const std::string& id) {
    for (const auto& p : Profiles::builtInDefaults())
        if (p.id == id) return true;
    return false;
}

std::string currentHotkeyWord() {
    if (auto raw = AppPaths::readConfigValue("hotkey"))
        if (HotkeyModes::fromRawValue(*raw)) return *raw;
    return HotkeyModes::rawValue(HotkeyMode::fn);
}

std::string currentProcessingWord() {
    if (auto raw = AppPaths::readConfigValue("processing_mode"))
        if (ProcessingModes::fromRawValue(*raw)) return *raw;
    return ProcessingModes::rawValue(PolishEngine::shared().mode());
}

std::string machineArchitecture() {
    struct utsname name {};
    if (::uname(&name) != 0) return "unknown";
    return name.machine;
}

std::string isoDate(std::chrono::system_clock::time_point when) {
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return buffer;
}

}  // namespace

namespace HubWindow {

std::optional<std::string> percentDecoded(std::string_view in) {
    std::string out;
    out.reserve(in.size());
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            out.push_back(in[i]);
            continue;
        }
        if (i + 2 >= in.size()) return std::nullopt;
        const int hi = hexValue(in[i + 1]), lo = hexValue(in[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
    if (!text::isValidUTF8(out)) return std::nullopt;
    return out;
}

bool isOpenableURL(const std::string& url) {
    if (url.empty() || url.size() > 4096) return false;
    for (unsigned char c : url)
        if (c <= 0x20 || c == 0x7f) return false;
    auto parts = platform::parseURL(url);
    if (!parts || (parts->scheme != "http" && parts->scheme != "https") || parts->host.empty()) return false;
    // The scheme as written must be the one parsed: no "javascript:" hiding behind a case trick.
    const std::string lower = text::lowercased(url);
    return text::hasPrefix(lower, "http://") || text::hasPrefix(lower, "https://");
}

}  // namespace HubWindow

nlohmann::json HubHost::privacyReport() {
    // The same measured checks `ondira --privacy-report` prints, with the only
    // hosts the program may name or contact.
    const auto now =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    json payload = PrivacyProbe::buildPayload(PrivacyProbe::runLiveChecks(), static_cast<std::int64_t>(now));
    json hosts = json::array();
    for (const auto& h : PrivacyProbe::allowedHostSuffixes()) hosts.push_back(h);
    payload["allowedHosts"] = hosts;
    return payload;
}

struct HubBridge::Impl {
    Impl(HubEmitter& e, HubHost& h, HubStores s) : emitter(e), host(h), stores(std::move(s)) {}
    HubEmitter& emitter;
    HubHost& host;
    HubStores stores;
    std::weak_ptr<Impl> self;
    // Cleared on the main thread when the owner lets the bridge go; work
    // still running then finishes, but its answer never reaches the page.
    std::atomic<bool> open{true};

    DictationLogger& history() { return stores.history ? *stores.history : DictationLogger::shared(); }
    StagingBuffer& staging() { return stores.staging ? *stores.staging : StagingBuffer::shared(); }
    CorrectionLog& corrections() { return stores.corrections ? *stores.corrections : CorrectionLog::shared(); }
    PolishService& rewriter() { return stores.rewriter ? *stores.rewriter : PolishService::shared(); }
    UpdateChecker& updates() { return stores.updates ? *stores.updates : UpdateChecker::shared(); }
    std::shared_ptr<platform::URLSession> updateSession() {
        if (stores.updateSession) return stores.updateSession;
        return platform::CurlURLSession::shared();
    }

    // Evaluates on the main thread, and only while the bridge is open.
    void evaluate(const std::string& js) {
        if (platform::MainQueue::isMainThread()) {
            if (open) emitter.evaluateScript(js);
            return;
        }
        std::weak_ptr<Impl> weak = self;
        platform::MainQueue::async([weak, js] {
            if (auto impl = weak.lock(); impl && impl->open) impl->emitter.evaluateScript(js);
        });
    }
    void emit(const std::string& name, const json& payload) {
        std::string js;
        try {
            js = HubBridge::script(name, payload);
        } catch (const nlohmann::json::exception&) {
            bridgeLog("[bridge] failed to serialize payload for " + name);
            return;
        }
        evaluate(js);
    }
    void emit(const std::string& name) { evaluate(HubBridge::script(name)); }
    // Emits from any thread for a bridge that may be gone.
    static void emitLater(const std::weak_ptr<Impl>& weak, const std::string& name, const json& payload) {
        if (auto impl = weak.lock()) impl->emit(name, payload);
    }
    // History reads and writes run one after the other, in the order the
    // page asked: statistics asked for after a deletion must not be counted
    // from the file as it was before it.
    static platform::SerialQueue& historyQueue() {
        static auto* queue = new platform::SerialQueue("com.ondira.hub.history", platform::QoS::utility);  // never released
        return *queue;
    }
    enum class Order { any, history };
    // Slow work off the main thread; `work` returns the answer's payload.
    void background(const std::string& name, std::function<json(Impl&)> work, Order order = Order::any) {
        std::weak_ptr<Impl> weak = self;
        auto job = [weak, name, work = std::move(work)] {
            auto impl = weak.lock();
            if (!impl || !impl->open) return;
            impl->emit(name, work(*impl));
        };
        if (order == Order::history) historyQueue().async(std::move(job));
        else platform::GlobalQueue::async(platform::QoS::utility, std::move(job));
    }

    // MARK: payloads
    // What could not be read goes with the rows, so the page never shows a
    // history that did not read as an empty one.
    static json withReadProblems(json payload, const DictationLogger::RowsRead& read) {
        payload["unreadable"] = read.unreadableFiles;
        payload["linesLeftOut"] = read.linesLeftOut;
        return payload;
    }
    json historyPage(int offset, int limit) {
        const auto read = history().readRows();
        const auto page = HistoryView::paginateHistory(read.rows, offset, limit);
        return withReadProblems(json{{"entries", BridgePayload::logEntryRows(page.page)},
                                     {"offset", offset},
                                     {"limit", limit},
                                     {"total", page.total}},
                                read);
    }
    json statistics() {
        const auto read = history().readRows();
        return withReadProblems(BridgePayload::statisticsPayload(read.rows, BridgePayload::todayKey()), read);
    }

    json dictionary() {
        json terms = json::array();
        for (const auto& t : Vocabulary::loadRawTerms()) {
            json term = json::object();
            for (const auto& [k, v] : t) term[k] = v;
            terms.push_back(term);
        }
        const auto enabled = Vocabulary::enabledPackNames();
        const std::set<std::string> enabledSet(enabled.begin(), enabled.end());
        std::set<std::string> names;
        if (auto dir = AppPaths::vocabPacksDirectory()) {
            std::error_code ec;
            for (const auto& item : fs::directory_iterator(*dir, ec)) {
                if (item.path().extension() != ".json" || !item.is_regular_file(ec)) continue;
                const std::string name = item.path().stem().string();
                if (Vocabulary::isValidPackName(name)) names.insert(name);
            }
        }
        json packs = json::array();
        for (const auto& name : names) packs.push_back(json{{"name", name}, {"enabled", enabledSet.count(name) > 0}});
        return json{{"terms", terms}, {"packs", packs}};
    }

    json languages() {
        auto store = AppPaths::userDefaults();
        const auto stored = SpeechEngine::loadPersistedLocale(*store);
        const std::string system = SpeechEngine::currentSystemLocaleIdentifier();
        const std::string selected = SpeechEngine::resolveConfiguredLocaleIdentifier(stored, system);
        json rows = json::array();
        for (const auto& row : SpeechEngine::availableLanguages(system))
            rows.push_back(json{{"id", row.identifier}, {"name", row.displayName}});
        return json{{"languages", rows},
                    {"selected", selected},
                    {"systemDefault", system},
                    {"followingSystem", !stored.has_value()},
                    {"onDeviceReady", SpeechEngine::supportedLocale(selected).has_value()}};
    }

    json health() { return json{{"items", host.healthItems()}, {"logging", history().isLoggingEnabled()}}; }

    json updateState(const UpdateStatus& status) {
        auto& checker = updates();
        json last = nullptr;
        if (auto when = checker.lastCheckedDate()) last = isoDate(*when);
        json payload{{"version", UpdateChecker::currentAppVersion()},
                     {"state", UpdateChecker::stateToken(status)},
                     {"error", status.kind == UpdateStatus::Kind::failed ? json(status.reason) : json(nullptr)},
                     {"arch", machineArchitecture()},
                     {"auto", checker.automaticChecksEnabled()},
                     {"lastChecked", last}};
        if (status.manifest) {
            payload["available"] = status.manifest->version;
            payload["downloadURL"] = status.manifest->downloadURL;
        }
        return payload;
    }

    json rules() { return json{{"rules", BridgePayload::ruleRows(AppRules::effectiveRules(AppPaths::userDefaults()))}}; }
    json profiles() {
        return json{{"profiles", BridgePayload::profileRows(Profiles::effectiveProfiles(AppPaths::userDefaults()))}};
    }
    json snippets() {
        json rows = json::array();
        for (const auto& row : Snippets::loadRawSnippets()) {
            json o = json::object();
            for (const auto& [k, v] : row) o[k] = v;
            rows.push_back(o);
        }
        return json{{"snippets", rows}};
    }
    json stagingPayload(const std::optional<std::string>& error = std::nullopt) {
        json payload{{"entries", BridgePayload::stagingRows(staging().allEntries())}};
        payload["error"] = error ? json(*error) : json(nullptr);
        return payload;
    }
    json learnedRules() {
        json rows = json::array();
        for (const auto& r : corrections().learnedSubstitutionsForReview())
            rows.push_back(json{{"heard", r.heard}, {"written", r.written}, {"count", r.count}});
        return json{{"rules", rows}};
    }
    json engineInfo() {
        const auto stats = BridgePayload::engineUsageStats(history().readAllEntries());
        // Both whole-take paths run wherever the recogniser runs.
        return json{{"engines", BridgePayload::engineDescriptorRows(true, stats)},
                    {"useDictationTranscriber", SpeechEngine::isDictationTranscriberEnabled()}};
    }
    json personalModel() {
        const std::string locale = SpeechEngine::resolveConfiguredLocaleIdentifier(
            SpeechEngine::loadPersistedLocale(*AppPaths::userDefaults()), SpeechEngine::currentSystemLocaleIdentifier());
        const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
        return BridgePayload::personalModelPayload(
            PersonalModel::shared().currentStatus(locale, PersonalModel::isEnabled(), now));
    }

    // MARK: handlers with a payload of their own
    void profileResult(const std::optional<std::string>& error) {
        emit("onProfileResult", json{{"ok", !error}, {"error", error ? json(*error) : json(nullptr)}});
    }
    void finishProfiles(const std::optional<std::string>& error) {
        profileResult(error);
        emit("onProfiles", profiles());
    }

    void profilesCreate(const std::string& payload) {
        auto draft = BridgePayload::parseProfileCreate(payload);
        if (!draft) {
            bridgeLog("[bridge] profiles_create: malformed payload: " + payload);
            return finishProfiles("Malformed request.");
        }
        auto name = Profiles::normalizedName(draft->name);
        if (!name) return finishProfiles("Profile name can't be empty or just whitespace.");
        auto store = AppPaths::userDefaults();
        if (Profiles::isDuplicateName(*name, std::nullopt, Profiles::effectiveProfiles(store)))
            return finishProfiles("A profile with that name already exists.");
        if (!storedListLoads(Profiles::defaultsKey, Profiles::decode))
            return finishProfiles("The stored profiles could not be read, so nothing was changed.");
        auto created = Profiles::create(*name, draft->mode, draft->polishEnabled, draft->autoCapitalizeEnabled,
                                        draft->dictionaryEnabled, Profiles::effectiveProfiles(store));
        if (!created) return finishProfiles("A profile with that name already exists.");
        auto stored = Profiles::loadStoredProfiles(store);
        stored.push_back(*created);
        persistUserProfiles(stored);
        finishProfiles(std::nullopt);
    }

    // Only the user's own profiles are stored; the shipped ones always come from the program.
    void persistUserProfiles(const std::vector<Profile>& list) {
        std::vector<Profile> own;
        for (const auto& p : list)
            if (!isShippedProfile(p.id)) own.push_back(p);
        Profiles::persist(own, AppPaths::userDefaults());
    }

    void profilesRename(const std::string& payload) {
        auto rename = BridgePayload::parseProfileRename(payload);
        if (!rename) {
            bridgeLog("[bridge] profiles_rename: malformed payload: " + payload);
            return finishProfiles("Malformed request.");
        }
        if (!Profiles::normalizedName(rename->name))
            return finishProfiles("Profile name can't be empty or just whitespace.");
        if (isShippedProfile(rename->id)) return finishProfiles("Built-in profiles can't be renamed.");
        if (!storedListLoads(Profiles::defaultsKey, Profiles::decode))
            return finishProfiles("The stored profiles could not be read, so nothing was changed.");
        auto renamed = Profiles::rename(rename->id, rename->name, Profiles::effectiveProfiles(AppPaths::userDefaults()));
        if (!renamed) return finishProfiles("That name is already taken, or the profile no longer exists.");
        persistUserProfiles(*renamed);
        finishProfiles(std::nullopt);
    }

    void profilesDelete(const std::string& payload) {
        auto id = BridgePayload::parseProfileDelete(payload);
        if (!id) {
            bridgeLog("[bridge] profiles_delete: malformed payload: " + payload);
            return finishProfiles("Malformed request.");
        }
        if (isShippedProfile(*id)) return finishProfiles("Built-in profiles can't be deleted.");
        const auto effective = Profiles::effectiveProfiles(AppPaths::userDefaults());
        if (std::none_of(effective.begin(), effective.end(), [&](const Profile& p) { return p.id == *id; }))
            return finishProfiles("That profile no longer exists.");
        if (!storedListLoads(Profiles::defaultsKey, Profiles::decode))
            return finishProfiles("The stored profiles could not be read, so nothing was changed.");
        persistUserProfiles(Profiles::remove(*id, effective, Profiles::noneProfileID).first);
        finishProfiles(std::nullopt);
    }

    // rules_set and rules_delete: one change to the stored overrides (none
    // when the payload did not parse), then the rows whatever happened.
    void changeRules(const std::string& verb, const std::string& payload,
                     const std::function<std::vector<AppRule>(std::vector<AppRule>)>& change) {
        if (!change) {
            bridgeLog("[bridge] " + verb + ": malformed or invalid payload: " + payload);
        } else if (!storedListLoads(AppRules::defaultsKey, AppRules::decode)) {
            bridgeLog("[bridge] " + verb + ": stored rules do not load; nothing written");
        } else {
            auto store = AppPaths::userDefaults();
            AppRules::persist(change(AppRules::loadStoredOverrides(store)), store);
        }
        emit("onRules", rules());
    }
    void rulesSet(const std::string& payload) {
        auto rule = BridgePayload::parseRuleSet(payload);
        std::function<std::vector<AppRule>(std::vector<AppRule>)> change;
        if (rule) change = [&](std::vector<AppRule> stored) { return BridgePayload::upsertRule(*rule, std::move(stored)); };
        changeRules("rules_set", payload, change);
    }
    void rulesDelete(const std::string& payload) {
        auto bundleID = BridgePayload::ruleBundleID(payload);
        std::function<std::vector<AppRule>(std::vector<AppRule>)> change;
        if (bundleID)
            change = [&](std::vector<AppRule> stored) { return BridgePayload::removeRule(*bundleID, std::move(stored)); };
        changeRules("rules_delete", payload, change);
    }

    void rewrite(const std::string& payload) {
        auto o = BridgePayload::object(payload);
        if (!o) return bridgeLog("[bridge] rewrite: malformed JSON, cannot reply: " + payload);
        auto reqId = o->find("reqId");
        if (reqId == o->end() || !reqId->is_string())
            return bridgeLog("[bridge] rewrite: missing reqId, cannot reply: " + payload);
        const std::string id = reqId->get<std::string>();
        auto modeIt = o->find("mode");
        const std::string mode = modeIt != o->end() && modeIt->is_string() ? modeIt->get<std::string>() : "";
        auto textIt = o->find("text");
        if (textIt == o->end() || !textIt->is_string())
            return emit("onRewriteResult",
                        json{{"reqId", id}, {"ok", false}, {"mode", mode}, {"err", "malformed rewrite request"}});
        std::optional<std::string> instruction;
        auto instructionIt = o->find("instruction");
        if (instructionIt != o->end() && instructionIt->is_string()) instruction = instructionIt->get<std::string>();
        const auto start = std::chrono::steady_clock::now();
        std::weak_ptr<Impl> weak = self;
        rewriter().rewrite(mode, textIt->get<std::string>(), instruction,
                           [weak, id, mode, start](const PolishService::RewriteOutcome& outcome) {
                               const auto elapsed = std::chrono::steady_clock::now() - start;
                               const long long ms = std::llround(std::chrono::duration<double, std::milli>(elapsed).count());
                               json answer{{"reqId", id}, {"mode", mode}, {"ms", ms}, {"ok", outcome.isSuccess()}};
                               answer[outcome.isSuccess() ? "text" : "err"] = outcome.value;
                               emitLater(weak, "onRewriteResult", answer);
                           });
    }

    void stagingCommit(const std::string& payload) {
        auto commit = BridgePayload::parseStagingCommit(payload);
        if (!commit) {
            bridgeLog("[bridge] staging_commit: malformed payload: " + payload);
            return emit("onStaging", stagingPayload("Nothing was committed: the request was malformed."));
        }
        const std::set<std::string> wanted(commit->ids.begin(), commit->ids.end());
        std::vector<StagingEntry> chosen;
        for (const auto& e : staging().allEntries())
            if (wanted.count(e.id)) chosen.push_back(e);
        if (chosen.empty()) return emit("onStaging", stagingPayload("The selected texts are no longer staged."));
        const std::string composed = StagingBuffer::compose(chosen, commit->joiner);
        std::weak_ptr<Impl> weak = self;
        const auto ids = commit->ids;
        const auto joiner = commit->joiner;
        // The texts leave the buffer only once the insertion is confirmed.
        host.insertStagedText(composed, [weak, ids, joiner](bool inserted, std::string message) {
            platform::MainQueue::async([weak, ids, joiner, inserted, message] {
                auto impl = weak.lock();
                if (!impl) return;
                if (inserted) impl->staging().take(ids, joiner);
                impl->emit("onStaging", impl->stagingPayload(inserted ? std::nullopt : std::optional(message)));
            });
        });
    }

    void fileExport(const std::string& title, const std::string& suggested, const std::string& resultName,
                    std::function<std::optional<std::string>(Impl&)> contents) {
        std::weak_ptr<Impl> weak = self;
        host.chooseSaveFile(title, suggested, [weak, resultName, contents](std::optional<std::string> path) {
            platform::GlobalQueue::async(platform::QoS::utility, [weak, resultName, contents, path] {
                json result;
                if (!path) {
                    result = json{{"ok", false}, {"cancelled", true}, {"path", nullptr}, {"error", nullptr}};
                } else {
                    std::optional<std::string> bytes;
                    if (auto impl = weak.lock()) bytes = contents(*impl);
                    std::string error;
                    const bool ok = bytes && platform::atomicWrite(*path, *bytes, 0600, &error);
                    result = json{{"ok", ok},
                                  {"cancelled", false},
                                  {"path", *path},
                                  {"error", ok ? json(nullptr) : json(error.empty() ? "Nothing to export." : error)}};
                }
                emitLater(weak, resultName, result);
            });
        });
    }

    void dictImport() {
        std::weak_ptr<Impl> weak = self;
        host.chooseOpenFile("Import Dictionary", {"*.json"}, [weak](std::optional<std::string> path) {
            platform::GlobalQueue::async(platform::QoS::utility, [weak, path] {
                auto answer = [&](int added, int skipped, json error) {
                    emitLater(weak, "ondiraSetDictImportResult",
                              json{{"added", added}, {"skipped", skipped}, {"error", error}, {"cancelled", !path}});
                };
                if (!path) return answer(0, 0, nullptr);
                std::error_code ec;
                const auto status = fs::symlink_status(*path, ec);
                if (ec || !fs::is_regular_file(status)) return answer(0, 0, "That is not a regular file.");
                if (fs::file_size(*path, ec) > HubWindow::maxImportBytes || ec)
                    return answer(0, 0, "The file is too large to be a dictionary.");
                auto bytes = platform::readFile(*path);
                if (!bytes) return answer(0, 0, "The file could not be read.");
                json parsed = json::parse(*bytes, nullptr, false);
                auto terms = parsed.is_discarded() ? std::nullopt : Vocabulary::validateImportPayload(parsed);
                if (!terms) return answer(0, 0, "The file is not a dictionary: a list of {\"from\", \"to\"} entries.");
                auto merged = Vocabulary::shared().importTerms(*terms);
                if (!merged) return answer(0, 0, "The dictionary could not be written.");
                answer(merged->added, merged->skipped, nullptr);
                if (auto impl = weak.lock()) impl->emit("ondiraSetDictionary", impl->dictionary());
            });
        });
    }
};

std::shared_ptr<HubBridge> HubBridge::create(HubEmitter& emitter, HubHost& host, HubStores stores) {
    return std::shared_ptr<HubBridge>(new HubBridge(emitter, host, std::move(stores)));
}

HubBridge::HubBridge(HubEmitter& emitter, HubHost& host, HubStores stores)
    : impl_(std::make_shared<Impl>(emitter, host, std::move(stores))) {
    impl_->self = impl_;
}

HubBridge::~HubBridge() { impl_->open = false; }

std::string HubBridge::script(const std::string& name, const nlohmann::json& payload) {
    return "window." + name + " && window." + name + "(" + payload.dump() + ");";
}

std::string HubBridge::script(const std::string& name) { return "window." + name + " && window." + name + "();"; }

void HubBridge::emit(const std::string& name, const nlohmann::json& payload) { impl_->emit(name, payload); }

void HubBridge::emit(const std::string& name) { impl_->emit(name); }

void HubBridge::showFirstPage() {
    const int limit = currentHistoryLimit;
    impl_->background(
        "ondiraSetStats", [](Impl& impl) { return impl.statistics(); }, Impl::Order::history);
    impl_->background(
        "ondiraSetHistory", [limit](Impl& impl) { return impl.historyPage(0, limit); }, Impl::Order::history);
}

void HubBridge::refreshAfterDictation() {
    // A dictation changes more than the history: it may have been staged,
    // and the engine line counts it. Each panel fed by a store it touched is
    // sent again, so an open hub never shows an older store than the files.
    showFirstPage();
    stagingChanged();
    impl_->background("onEngineInfo", [](Impl& i) { return i.engineInfo(); });
    impl_->background("onLearnedRules", [](Impl& i) { return i.learnedRules(); });
    personalModelChanged();
}

void HubBridge::stagingChanged() { impl_->emit("onStaging", impl_->stagingPayload()); }

void HubBridge::personalModelChanged() {
    impl_->background("onPersonalModel", [](Impl& i) { return i.personalModel(); });
}

// The dispatcher. Exact words first, then prefixes, each in the protocol's
// order; the first match wins.
void HubBridge::handleMessage(const std::string& body) {
    Impl& h = *impl_;
    const int limit = currentHistoryLimit;
    if (body == "stats_query")
        return h.background(
            "ondiraSetStats", [](Impl& i) { return i.statistics(); }, Impl::Order::history);
    if (body == "dict_query") return h.emit("ondiraSetDictionary", h.dictionary());
    if (body == "hotkey_query") return h.emit("ondiraSetHotkey", currentHotkeyWord());
    if (body == "mode_query") return h.emit("ondiraSetMode", currentProcessingWord());
    if (body == "language_query") return h.background("ondiraSetLanguages", [](Impl& i) { return i.languages(); });
    if (body == "health_query") return h.emit("ondiraSetHealth", h.health());
    if (body == "selftest") return h.emit("ondiraSetSelftest", json{{"items", h.host.healthItems()}});
    if (body == "update_query") return h.emit("ondiraSetUpdateState", h.updateState(h.updates().status()));
    if (body == "update_check") {
        h.emit("ondiraSetUpdateState", h.updateState(UpdateStatus::checking()));
        std::weak_ptr<Impl> weak = h.self;
        h.updates().checkForUpdates(UpdateChecker::defaultManifestURL(), h.updateSession(), [weak](UpdateStatus status) {
            platform::MainQueue::async([weak, status] {
                if (auto impl = weak.lock()) impl->emit("ondiraSetUpdateState", impl->updateState(status));
            });
        });
        return;
    }
    if (body == "history_delete_all") {
        std::weak_ptr<Impl> weak = h.self;
        Impl::historyQueue().async([weak, limit] {
            auto impl = weak.lock();
            if (!impl || impl->history().deleteAllHistory()) return;
            // The page cleared its list; show it what is really still there.
            bridgeLog("[bridge] history_delete_all: the history could not be deleted");
            impl->emit("ondiraSetHistory", impl->historyPage(0, limit));
        });
        return;
    }
    if (body == "dict_export")
        return h.fileExport("Export Dictionary", "ondira-dictionary-" + BridgePayload::todayKey() + ".json",
                            "ondiraSetDictExportResult",
                            [](Impl& i) -> std::optional<std::string> { return i.dictionary()["terms"].dump(2) + "\n"; });
    if (body == "dict_import") return h.dictImport();

    if (auto p = strip(body, "dict_add:")) {
        const auto add = BridgePayload::parseDictAdd(*p);
        if (!add) return bridgeLog("[bridge] dict_add: malformed payload: " + *p);
        if (!Vocabulary::shared().addTerm(add->from, add->to)) bridgeLog("[bridge] dict_add: the dictionary was not written");
        return h.emit("ondiraSetDictionary", h.dictionary());
    }
    if (auto p = strip(body, "dict_del:")) {
        auto o = BridgePayload::object(*p);
        if (!o || !(*o)["from"].is_string() || text::trimmed((*o)["from"].get<std::string>()).empty())
            return bridgeLog("[bridge] dict_del: malformed payload: " + *p);
        if (!Vocabulary::shared().deleteTerm((*o)["from"].get<std::string>()))
            bridgeLog("[bridge] dict_del: the dictionary was not written");
        return h.emit("ondiraSetDictionary", h.dictionary());
    }
    if (auto p = strip(body, "history_query:")) {
        auto q = BridgePayload::parseHistoryQuery(*p);
        if (!q) return bridgeLog("[bridge] history_query: malformed payload: " + *p);
        return h.background(
            "ondiraSetHistory", [q = *q](Impl& i) { return i.historyPage(q.offset, q.limit); }, Impl::Order::history);
    }
    if (auto p = strip(body, "history_search:")) {
        auto o = BridgePayload::object(*p);
        if (!o || !(*o)["query"].is_string()) return bridgeLog("[bridge] history_search: malformed payload: " + *p);
        const std::string query = (*o)["query"].get<std::string>();
        int cap = HubWindow::defaultSearchCap;
        if ((*o)["cap"].is_number_integer())
            cap = static_cast<int>(std::clamp<long long>((*o)["cap"].get<long long>(), 0, 100000));
        return h.background(
            "ondiraSetHistorySearchResults",
            [query, cap](Impl& i) {
                const auto read = i.history().readRows();
                const auto found = HistoryView::searchHistory(read.rows, query, cap);
                return Impl::withReadProblems(json{{"query", query},
                                                   {"entries", BridgePayload::logEntryRows(found.matches)},
                                                   {"matchCount", found.matchCount},
                                                   {"shown", static_cast<int>(found.matches.size())}},
                                              read);
            },
            Impl::Order::history);
    }
    if (auto p = strip(body, "history_export:")) {
        auto o = BridgePayload::object(*p);
        std::string word = o && (*o)["format"].is_string() ? (*o)["format"].get<std::string>() : "json";
        auto format = DictationLogger::exportFormat(word);
        if (!o || !format) return bridgeLog("[bridge] history_export: malformed payload: " + *p);
        const std::string ext = DictationLogger::rawValue(*format);
        return h.fileExport("Export History", "ondira-history-" + BridgePayload::todayKey() + "." + ext,
                            "ondiraSetExportResult",
                            [f = *format](Impl& i) -> std::optional<std::string> { return i.history().exportHistory(f); });
    }
    if (auto p = strip(body, "history_delete_one:")) {
        auto d = BridgePayload::parseHistoryDeleteOne(*p, limit);
        if (!d) return bridgeLog("[bridge] history_delete_one: malformed payload: " + *p);
        return h.background(
            "ondiraSetHistory",
            [d = *d](Impl& i) {
                if (!i.history().deleteOneEntry(d.date, d.time, d.text))
                    bridgeLog("[bridge] history_delete_one: no such entry, or the history could not be written");
                return i.historyPage(d.offset, d.limit);
            },
            Impl::Order::history);
    }
    if (auto p = strip(body, "pack_set:")) {
        auto o = BridgePayload::object(*p);
        const bool ok = o && (*o)["pack"].is_string() && (*o)["enabled"].is_boolean();
        const std::string pack = ok ? (*o)["pack"].get<std::string>() : "";
        if (!ok || !Vocabulary::isValidPackName(pack) || !Vocabulary::resolvePackFileURL(pack))
            return bridgeLog("[bridge] pack_set: malformed payload: " + *p);
        auto names = Vocabulary::enabledPackNames();
        names.erase(std::remove(names.begin(), names.end(), pack), names.end());
        if ((*o)["enabled"].get<bool>()) names.push_back(pack);
        AppPaths::userDefaults()->setStringArray(Vocabulary::packsEnabledKey, names);
        Vocabulary::shared().reloadDictionary();
        return h.emit("ondiraSetDictionary", h.dictionary());
    }
    if (auto p = strip(body, "hotkey_set:")) {
        const std::string previous = currentHotkeyWord();
        auto mode = HotkeyModes::fromRawValue(*p);
        if (!mode) {
            bridgeLog("[bridge] hotkey_set: malformed payload: " + *p);
            h.emit("ondiraHotkeyError", json{{"message", "Unknown hotkey."}, {"mode", previous}});
            return h.emit("ondiraSetHotkey", previous);
        }
        if (auto refusal = h.host.regrabHotkey(*mode)) {
            h.emit("ondiraHotkeyError", json{{"message", *refusal}, {"mode", previous}});
            return h.emit("ondiraSetHotkey", previous);
        }
        return h.emit("ondiraSetHotkey", HotkeyModes::rawValue(*mode));
    }
    if (auto p = strip(body, "mode_set:")) {
        if (auto mode = ProcessingModes::fromRawValue(*p)) {
            AppPaths::writeConfigValue("processing_mode", *p);
            PolishEngine::shared().setMode(*p);
        } else {
            bridgeLog("[bridge] mode_set: malformed payload: " + *p);
        }
        return h.emit("ondiraSetMode", currentProcessingWord());
    }
    if (auto p = strip(body, "language_set:")) {
        std::optional<std::optional<std::string>> choice;  // outer: valid; inner: none = follow the system
        if (*p == SpeechEngine::systemLanguageSentinel) choice.emplace(std::nullopt);
        for (const auto& row : SpeechEngine::availableLanguages(SpeechEngine::currentSystemLocaleIdentifier()))
            if (row.identifier == *p) choice.emplace(*p);
        if (!choice) {
            bridgeLog("[bridge] language_set: malformed payload: " + *p);
        } else {
            SpeechEngine::persistLocale(*choice, *AppPaths::userDefaults());
            h.host.dictationLanguageChanged();
        }
        h.emit("ondiraSetHealth", h.health());
        return h.background("ondiraSetLanguages", [](Impl& i) { return i.languages(); });
    }
    if (auto p = strip(body, "perm_open:")) {
        static const std::set<std::string> panes{"microphone", "speech", "accessibility"};
        if (!panes.count(*p)) return bridgeLog("[bridge] perm_open: malformed payload: " + *p);
        return h.host.openPermissionSettings(*p);
    }
    if (auto p = strip(body, "logging_set:")) {
        json value = json::parse(*p, nullptr, false);
        if (!value.is_boolean()) return bridgeLog("[bridge] logging_set: malformed payload: " + *p);
        h.history().setLoggingEnabled(value.get<bool>());
        return h.emit("ondiraSetHealth", h.health());
    }
    if (auto p = strip(body, "copy:")) {
        auto decoded = HubWindow::percentDecoded(*p);
        h.host.copyToClipboard(decoded ? *decoded : *p);
        return emit("ondiraSetCopyAck");
    }
    if (auto p = strip(body, "open_url:")) {
        if (!HubWindow::isOpenableURL(*p)) return bridgeLog("[bridge] open_url: refused: " + *p);
        return h.host.openURL(*p);
    }
    if (auto p = strip(body, "theme_set:")) {
        auto theme = IndicatorThemes::fromRawValue(*p);
        if (!theme) return bridgeLog("[bridge] theme_set: malformed payload: " + *p);
        IndicatorThemes::store(*theme);
        return h.host.applyIndicatorTheme(*p);
    }
    if (auto p = strip(body, "rewrite:")) return h.rewrite(*p);
    if (auto p = strip(body, "rewrite_available:")) {
        // The helper itself is asked (it is ready only once its model server
        // answered), off the main thread: a start may take seconds.
        return h.background("onRewriteAvailability", [](Impl& i) {
            const auto availability = i.rewriter().probeAvailability();
            return json{{"available", availability.available}, {"reason", availability.reason}};
        });
    }
    if (auto p = strip(body, "correction_observed:")) {
        auto o = BridgePayload::object(*p);
        if (!o || !(*o)["heard"].is_string() || !(*o)["written"].is_string())
            return bridgeLog("[bridge] correction_observed: malformed payload: " + *p);
        auto str = [&](const char* key) { return (*o)[key].is_string() ? (*o)[key].get<std::string>() : ""; };
        const std::string heard = str("heard"), written = str("written"), context = str("context"), app = str("app");
        // The learned list is sent once the correction is in it, never before.
        return h.background("onLearnedRules", [heard, written, context, app](Impl& i) {
            i.corrections().record(heard, written, context, app, CorrectionSource::observedEdit);
            return i.learnedRules();
        });
    }
    if (auto p = strip(body, "privacy_probe:"))
        return h.background("onPrivacyProbe", [](Impl& i) { return i.host.privacyReport(); });
    if (auto p = strip(body, "rules_query:")) return h.emit("onRules", h.rules());
    if (auto p = strip(body, "rules_set:")) return h.rulesSet(*p);
    if (auto p = strip(body, "rules_delete:")) return h.rulesDelete(*p);
    if (auto p = strip(body, "snippets_query:")) return h.emit("onSnippets", h.snippets());
    if (auto p = strip(body, "snippets_set:")) {
        if (auto s = BridgePayload::parseSnippetSet(*p)) {
            if (!Snippets::shared().addSnippet(s->trigger, s->expansion))
                bridgeLog("[bridge] snippets_set: the snippets were not written");
        } else {
            bridgeLog("[bridge] snippets_set: malformed payload: " + *p);
        }
        return h.emit("onSnippets", h.snippets());
    }
    if (auto p = strip(body, "snippets_delete:")) {
        if (auto trigger = BridgePayload::parseSnippetDelete(*p)) Snippets::shared().deleteSnippet(*trigger);
        else bridgeLog("[bridge] snippets_delete: malformed payload: " + *p);
        return h.emit("onSnippets", h.snippets());
    }
    if (auto p = strip(body, "profiles_query:")) return h.emit("onProfiles", h.profiles());
    if (auto p = strip(body, "profiles_create:")) return h.profilesCreate(*p);
    if (auto p = strip(body, "profiles_rename:")) return h.profilesRename(*p);
    if (auto p = strip(body, "profiles_delete:")) return h.profilesDelete(*p);
    if (auto p = strip(body, "engine_query:")) return h.background("onEngineInfo", [](Impl& i) { return i.engineInfo(); });
    if (auto p = strip(body, "engine_set:")) {
        if (auto use = BridgePayload::parseEngineSet(*p)) SpeechEngine::setDictationTranscriberEnabled(*use);
        else bridgeLog("[bridge] engine_set: malformed payload: " + *p);
        return h.background("onEngineInfo", [](Impl& i) { return i.engineInfo(); });
    }
    if (auto p = strip(body, "update_set_auto:")) {
        json value = json::parse(*p, nullptr, false);
        if (value.is_boolean()) h.updates().setAutomaticChecksEnabled(value.get<bool>());
        else bridgeLog("[bridge] update_set_auto: malformed payload: " + *p);
        return h.emit("ondiraSetUpdateState", h.updateState(h.updates().status()));
    }
    if (auto p = strip(body, "learned_rules_query:"))
        return h.background("onLearnedRules", [](Impl& i) { return i.learnedRules(); });
    if (auto p = strip(body, "learned_rules_revoke:")) {
        auto o = BridgePayload::object(*p);
        if (!o || !(*o)["heard"].is_string() || !(*o)["written"].is_string())
            return bridgeLog("[bridge] learned_rules_revoke: malformed payload: " + *p);
        const std::string heard = (*o)["heard"].get<std::string>(), written = (*o)["written"].get<std::string>();
        return h.background("onLearnedRules", [heard, written](Impl& i) {
            i.corrections().deleteRecords(heard, written);
            return i.learnedRules();
        });
    }
    if (auto p = strip(body, "staging_query:")) return h.emit("onStaging", h.stagingPayload());
    if (auto p = strip(body, "staging_edit:")) {
        auto edit = BridgePayload::parseStagingEdit(*p);
        if (!edit) return bridgeLog("[bridge] staging_edit: malformed payload: " + *p);
        const bool ok = h.staging().replaceText(edit->id, edit->text);
        return h.emit("onStaging",
                      h.stagingPayload(ok ? std::nullopt : std::optional<std::string>("The text could not be changed.")));
    }
    if (auto p = strip(body, "staging_delete:")) {
        auto id = BridgePayload::parseStagingDelete(*p);
        if (!id) return bridgeLog("[bridge] staging_delete: malformed payload: " + *p);
        h.staging().remove(*id);
        return h.emit("onStaging", h.stagingPayload());
    }
    if (auto p = strip(body, "staging_move:")) {
        auto move = BridgePayload::parseStagingMove(*p);
        if (!move) return bridgeLog("[bridge] staging_move: malformed payload: " + *p);
        h.staging().move(move->id, move->toIndex);
        return h.emit("onStaging", h.stagingPayload());
    }
    if (auto p = strip(body, "staging_commit:")) return h.stagingCommit(*p);
    if (auto p = strip(body, "staging_clear:")) {
        h.staging().clear();
        return h.emit("onStaging", h.stagingPayload());
    }
    // The status counts the whole history: off the main thread.
    if (auto p = strip(body, "personal_model_query:"))
        return h.background("onPersonalModel", [](Impl& i) { return i.personalModel(); });
    bridgeLog("[bridge] UNHANDLED: " + body);
}

namespace {
// The payload after a prefix word, which always carries its colon.
std::optional<std::string> strip(const std::string& body, std::string_view prefix) {
    if (!text::hasPrefix(body, prefix)) return std::nullopt;
    return body.substr(prefix.size());
}
}  // namespace
