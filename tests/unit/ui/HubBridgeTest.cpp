// The hub's dispatcher driven without a display: every message of the page
// protocol reaches its handler and answers with its callbacks, malformed and
// unknown messages answer nothing, and the stores on disk change as the
// page asked (and only then).
#include "UI/HubBridge.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>

#include "Base/AppPaths.h"
#include "Learning/CorrectionLog.h"
#include "Learning/DictationLogger.h"
#include "Platform/Bundle.h"
#include "Platform/FileIO.h"
#include "Platform/Queues.h"
#include "Platform/URLSession.h"
#include "Text/AppRules.h"
#include "Text/PolishService.h"
#include "Text/Snippets.h"
#include "Text/StagingBuffer.h"
#include "Text/Vocabulary.h"
#include "UI/BridgePayload.h"
#include "UI/HubWindow.h"
#include "UI/IndicatorPages.h"
#include "Update/UpdateChecker.h"
#include "support/FakeHub.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

// The network is never asked: every fetch fails at once.
class OfflineSession : public platform::URLSession {
public:
    void get(const std::string&, std::function<void(platform::HTTPResult)> completion) override {
        platform::HTTPResult r;
        r.error = "offline";
        completion(r);
    }
};

std::string readText(const fs::path& path) { return platform::readFile(path).value_or(""); }

class HubBridgeTest : public ::testing::Test {
protected:
    TempDir home{"ondira-hub-"};
    ScopedEnv isolation{AppPaths::selfTestStateDirVariable, home.path.string()};
    std::unique_ptr<DictationLogger> logger;
    std::unique_ptr<StagingBuffer> staging;
    std::unique_ptr<CorrectionLog> corrections;
    std::unique_ptr<UpdateChecker> updates;
    std::shared_ptr<PolishService> rewriter;
    FakeHubEmitter emitter;
    FakeHubHost host;
    std::shared_ptr<HubBridge> bridge;

    void SetUp() override {
        platform::MainQueue::markCurrentThreadAsMain();
        platform::Bundle::overrideBundleDirectory(fs::path(ONDIRA_BUNDLE_DIR));
        AppPaths::userDefaults()->removePersistentDomain(AppPaths::selfTestSuiteName);
        logger = std::make_unique<DictationLogger>(AppPaths::applicationSupport());
        logger->setLoggingEnabled(true);
        staging = std::make_unique<StagingBuffer>(AppPaths::applicationSupportFile("staging.json"), StagingLimits{});
        corrections = std::make_unique<CorrectionLog>(AppPaths::applicationSupportFile("corrections.jsonl"));
        updates = std::make_unique<UpdateChecker>(AppPaths::userDefaults());
        rewriter = PolishService::create();
        Vocabulary::shared().reloadDictionary();
        Snippets::shared().reload();
        HubStores stores;
        stores.history = logger.get();
        stores.staging = staging.get();
        stores.corrections = corrections.get();
        stores.rewriter = rewriter.get();
        stores.updates = updates.get();
        stores.updateSession = std::make_shared<OfflineSession>();
        bridge = HubBridge::create(emitter, host, stores);
    }

    void TearDown() override {
        bridge.reset();
        platform::MainQueue::pump(0.05);
        rewriter->shutdown();
        AppPaths::userDefaults()->removePersistentDomain(AppPaths::selfTestSuiteName);
        Vocabulary::shared().reloadDictionary();
        platform::Bundle::overrideBundleDirectory(std::nullopt);
    }

    // Sends one body and waits (at most 5 s) for `expected` more page calls.
    std::vector<PageCall> send(const std::string& body, std::size_t expected) {
        const std::size_t before = emitter.calls().size();
        bridge->handleMessage(body);
        // Some answers come from background work (the privacy probe reads the
        // whole process table): on a loaded machine that takes its time.
        platform::MainQueue::pump(30.0, [&] { return emitter.calls().size() >= before + expected; });
        // Anything that answers more than it should shows up here too.
        platform::MainQueue::pump(0.05);
        auto all = emitter.calls();
        return std::vector<PageCall>(all.begin() + static_cast<long>(before), all.end());
    }

    // A history of `n` dictations, one a minute back from now, written the way the logger writes them.
    void writeHistory(int n, const std::string& app = "Editor") {
        std::string lines;
        const auto now = std::chrono::system_clock::now();
        for (int i = 0; i < n; ++i) {
            auto entry = DictationLogger::makeEntry("entry number " + std::to_string(i) + " hello", app,
                                                    now - std::chrono::minutes(n - i), 2.0, 0.5, 1.0,
                                                    "pocketsphinx_context_ondevice");
            lines += entry->dump() + "\n";
        }
        std::ofstream(logger->historyFileURL(), std::ios::binary | std::ios::trunc) << lines;
    }
};

std::vector<std::string> names(const std::vector<PageCall>& calls) {
    std::vector<std::string> out;
    for (const auto& c : calls) out.push_back(c.name);
    return out;
}

// The page protocol: every message word, in the order the dispatcher tries them.
const std::vector<std::string> protocolWords = {"stats_query",
                                                "dict_query",
                                                "hotkey_query",
                                                "mode_query",
                                                "language_query",
                                                "health_query",
                                                "selftest",
                                                "update_query",
                                                "update_check",
                                                "history_delete_all",
                                                "dict_export",
                                                "dict_import",
                                                "dict_add:",
                                                "dict_del:",
                                                "history_query:",
                                                "history_search:",
                                                "history_export:",
                                                "history_delete_one:",
                                                "pack_set:",
                                                "hotkey_set:",
                                                "mode_set:",
                                                "language_set:",
                                                "perm_open:",
                                                "logging_set:",
                                                "copy:",
                                                "open_url:",
                                                "theme_set:",
                                                "rewrite:",
                                                "rewrite_available:",
                                                "correction_observed:",
                                                "privacy_probe:",
                                                "rules_query:",
                                                "rules_set:",
                                                "rules_delete:",
                                                "snippets_query:",
                                                "snippets_set:",
                                                "snippets_delete:",
                                                "profiles_query:",
                                                "profiles_create:",
                                                "profiles_rename:",
                                                "profiles_delete:",
                                                "engine_query:",
                                                "engine_set:",
                                                "update_set_auto:",
                                                "learned_rules_query:",
                                                "learned_rules_revoke:",
                                                "staging_query:",
                                                "staging_edit:",
                                                "staging_delete:",
                                                "staging_move:",
                                                "staging_commit:",
                                                "staging_clear:",
                                                "personal_model_query:"};

struct Row {
    std::string body;  // "{ID}" stands for the id of the first staged text
    std::vector<std::string> callbacks;
};

// One well-formed message per protocol word and the callbacks that answer it, in order.
const std::vector<Row> messageTable = {
    {"stats_query", {"ondiraSetStats"}},
    {"dict_query", {"ondiraSetDictionary"}},
    {"hotkey_query", {"ondiraSetHotkey"}},
    {"mode_query", {"ondiraSetMode"}},
    {"language_query", {"ondiraSetLanguages"}},
    {"health_query", {"ondiraSetHealth"}},
    {"selftest", {"ondiraSetSelftest"}},
    {"update_query", {"ondiraSetUpdateState"}},
    {"update_check", {"ondiraSetUpdateState", "ondiraSetUpdateState"}},
    {"history_delete_all", {}},
    {"dict_export", {"ondiraSetDictExportResult"}},
    {"dict_import", {"ondiraSetDictImportResult"}},
    {R"(dict_add:{"from":"teh","to":"the"})", {"ondiraSetDictionary"}},
    {R"(dict_del:{"from":"teh"})", {"ondiraSetDictionary"}},
    {R"(history_query:{"offset":0,"limit":10})", {"ondiraSetHistory"}},
    {R"(history_search:{"query":"hello"})", {"ondiraSetHistorySearchResults"}},
    {R"(history_export:{"format":"md"})", {"ondiraSetExportResult"}},
    {R"(history_delete_one:{"date":"2020-01-01","time":"10:00:00","text":"x"})", {"ondiraSetHistory"}},
    {R"(pack_set:{"pack":"legal","enabled":true})", {"ondiraSetDictionary"}},
    {"hotkey_set:f13", {"ondiraSetHotkey"}},
    {"mode_set:polish", {"ondiraSetMode"}},
    {"language_set:system", {"ondiraSetHealth", "ondiraSetLanguages"}},
    {"perm_open:microphone", {}},
    {"logging_set:false", {"ondiraSetHealth"}},
    {"copy:a%20b", {"ondiraSetCopyAck"}},
    {"open_url:https://example.com/help", {}},
    {"theme_set:aurora", {}},
    {R"(rewrite:{"reqId":"r1","text":"x"})", {"onRewriteResult"}},
    {"rewrite_available:", {"onRewriteAvailability"}},
    {R"(correction_observed:{"heard":"teh","written":"the"})", {"onLearnedRules"}},
    {"privacy_probe:", {"onPrivacyProbe"}},
    {"rules_query:", {"onRules"}},
    {R"(rules_set:{"bundleID":"org.test.app","displayName":"App","polishEnabled":true,"autoCapitalizeEnabled":true,"dictionaryEnabled":true,"neverDictate":false})",
     {"onRules"}},
    {R"(rules_delete:{"bundleID":"org.test.app"})", {"onRules"}},
    {"snippets_query:", {"onSnippets"}},
    {R"(snippets_set:{"trigger":"omw","expansion":"on my way"})", {"onSnippets"}},
    {R"(snippets_delete:{"trigger":"omw"})", {"onSnippets"}},
    {"profiles_query:", {"onProfiles"}},
    {R"(profiles_create:{"name":"Meetings","polishEnabled":true,"autoCapitalizeEnabled":true,"dictionaryEnabled":true})",
     {"onProfileResult", "onProfiles"}},
    {R"(profiles_rename:{"id":"nope","name":"X"})", {"onProfileResult", "onProfiles"}},
    {R"(profiles_delete:{"id":"nope"})", {"onProfileResult", "onProfiles"}},
    {"engine_query:", {"onEngineInfo"}},
    {R"(engine_set:{"useDictationTranscriber":true})", {"onEngineInfo"}},
    {"update_set_auto:true", {"ondiraSetUpdateState"}},
    {"learned_rules_query:", {"onLearnedRules"}},
    {R"(learned_rules_revoke:{"heard":"teh","written":"the"})", {"onLearnedRules"}},
    {"staging_query:", {"onStaging"}},
    {R"(staging_edit:{"id":"{ID}","text":"edited"})", {"onStaging"}},
    {R"(staging_move:{"id":"{ID}","toIndex":1})", {"onStaging"}},
    {R"(staging_commit:{"ids":["{ID}"],"joiner":"space"})", {"onStaging"}},
    {R"(staging_delete:{"id":"{ID}"})", {"onStaging"}},
    {"staging_clear:", {"onStaging"}},
    {"personal_model_query:", {"onPersonalModel"}},
};

std::string wordOf(const std::string& body) {
    const auto colon = body.find(':');
    return colon == std::string::npos ? body : body.substr(0, colon + 1);
}

TEST_F(HubBridgeTest, EveryMessageOfTheProtocolAnswersWithItsCallbacks) {
    std::set<std::string> covered;
    writeHistory(3);
    host.savePath = (home.path / "export.out").string();
    for (const auto& row : messageTable) {
        SCOPED_TRACE(row.body);
        covered.insert(wordOf(row.body));
        staging->clear();
        staging->append("first staged", false);
        staging->append("second staged", true);
        std::string body = row.body;
        if (auto at = body.find("{ID}"); at != std::string::npos) body.replace(at, 4, staging->allEntries()[0].id);
        testing::internal::CaptureStdout();
        const auto calls = send(body, row.callbacks.size());
        const std::string log = testing::internal::GetCapturedStdout();
        EXPECT_EQ(names(calls), row.callbacks);
        EXPECT_EQ(log.find("[bridge] UNHANDLED"), std::string::npos) << log;
        EXPECT_EQ(log.find("malformed"), std::string::npos) << log;
    }
    EXPECT_EQ(covered, std::set<std::string>(protocolWords.begin(), protocolWords.end()));
}

// The dispatcher's source lists the same words in the same order, in the
// forms the contract check reads.
TEST(HubDispatcherSource, ListsEveryProtocolWordInOrder) {
    const auto source = platform::readFile(fs::path(ONDIRA_SOURCE_DIR) / "Sources/UI/HubWindow.cpp");
    ASSERT_TRUE(source);
    const auto start = source->find("void HubBridge::handleMessage(");
    ASSERT_NE(start, std::string::npos);
    const auto end = source->find("std::optional<std::string> strip(", start);
    ASSERT_NE(end, std::string::npos);
    const std::string region = source->substr(start, end - start);
    std::vector<std::string> found;
    const std::regex form(R"re(body == "([a-zA-Z0-9_]+)"|strip\(body, "([a-zA-Z0-9_]+:)"\))re");
    for (auto it = std::sregex_iterator(region.begin(), region.end(), form); it != std::sregex_iterator(); ++it)
        found.push_back((*it)[1].matched ? (*it)[1].str() : (*it)[2].str());
    EXPECT_EQ(found, protocolWords);
    EXPECT_NE(region.find(R"(bridgeLog("[bridge] UNHANDLED: " + body))"), std::string::npos);
}

TEST_F(HubBridgeTest, UnknownAndNearMissMessagesAreLoggedAndAnswerNothing) {
    for (const std::string body : {"stats_query ", "Stats_query", "dict_add", "rules_query", "", "bogus:{}"}) {
        SCOPED_TRACE(body);
        testing::internal::CaptureStdout();
        EXPECT_TRUE(send(body, 0).empty());
        EXPECT_NE(testing::internal::GetCapturedStdout().find("[bridge] UNHANDLED: " + body + "\n"), std::string::npos);
    }
}

TEST_F(HubBridgeTest, MalformedPayloadsReachTheirHandlerAndChangeNothing) {
    const std::vector<Row> rows = {
        {"dict_add:", {}},
        {R"(dict_add:{"from":"  ","to":"x"})", {}},
        {"dict_del:[]", {}},
        {"history_query:{\"offset\":\"0\",\"limit\":10}", {}},
        {"history_search:not json", {}},
        {"history_delete_one:{}", {}},
        {R"(pack_set:{"pack":"../../etc/passwd","enabled":true})", {}},
        {"perm_open:microphone; rm -rf ~", {}},
        {"logging_set:maybe", {}},
        {"open_url:javascript:alert(1)", {}},
        {"open_url:file:///etc/passwd", {}},
        {"open_url:https://example.com/a b", {}},
        {"theme_set:neon", {}},
        {"rewrite:[1,2]", {}},
        {R"(rewrite:{"mode":"polish","text":"x"})", {}},
        {"staging_edit:not json {{{", {}},
        {R"(staging_move:{"id":"00000000-0000-0000-0000-000000000000","toIndex":"2"})", {}},
        {"correction_observed:{}", {}},
        {"learned_rules_revoke:{}", {}},
    };
    const std::string dictionaryBefore = readText(AppPaths::dictionaryFile());
    for (const auto& row : rows) {
        SCOPED_TRACE(row.body);
        testing::internal::CaptureStdout();
        EXPECT_TRUE(send(row.body, 0).empty());
        const std::string log = testing::internal::GetCapturedStdout();
        EXPECT_NE(log.find("[bridge] " + wordOf(row.body).substr(0, wordOf(row.body).size() - 1)), std::string::npos) << log;
        EXPECT_EQ(log.find("UNHANDLED"), std::string::npos);
    }
    EXPECT_EQ(readText(AppPaths::dictionaryFile()), dictionaryBefore);
    EXPECT_TRUE(host.openedURLs.empty());
    EXPECT_TRUE(host.permissionPanes.empty());
    EXPECT_TRUE(host.themes.empty());
    EXPECT_TRUE(Vocabulary::enabledPackNames().empty());
}

TEST_F(HubBridgeTest, EmitBuildsTheScriptTheProtocolNames) {
    EXPECT_EQ(HubBridge::script("ondiraSetMode", "fast"), R"(window.ondiraSetMode && window.ondiraSetMode("fast");)");
    EXPECT_EQ(HubBridge::script("ondiraSetCopyAck"), "window.ondiraSetCopyAck && window.ondiraSetCopyAck();");
    // A text that would end the call early stays inside its string literal.
    const auto call = FakeHubEmitter::parse(HubBridge::script("x", json{{"t", "\");alert(1);//"}}));
    ASSERT_TRUE(call);
    EXPECT_EQ(call->argument->at("t"), "\");alert(1);//");
    // Text that is not UTF-8 cannot be serialised: nothing reaches the page.
    testing::internal::CaptureStdout();
    bridge->emit("ondiraSetMode", json(std::string("\xff\xfe")));
    EXPECT_NE(testing::internal::GetCapturedStdout().find("[bridge] failed to serialize payload for ondiraSetMode"),
              std::string::npos);
    EXPECT_TRUE(emitter.scripts.empty());
}

TEST_F(HubBridgeTest, AnswersForABridgeThatIsGoneAreDropped) {
    writeHistory(50);
    bridge->handleMessage("stats_query");
    bridge->handleMessage(R"(history_search:{"query":"hello"})");
    bridge.reset();
    platform::MainQueue::pump(0.5);
    EXPECT_TRUE(emitter.scripts.empty()) << testing::PrintToString(emitter.scripts).substr(0, 300);
}

TEST_F(HubBridgeTest, HistoryPagesSearchesAndDeletesThroughTheLogOnDisk) {
    writeHistory(30);
    auto page = send(R"(history_query:{"offset":5,"limit":10})", 1).at(0).argument.value();
    EXPECT_EQ(page["total"], 30);
    ASSERT_EQ(page["entries"].size(), 10u);
    EXPECT_EQ(page["entries"][0]["text"], "entry number 24 hello");  // newest first, from the offset

    auto found = send(R"(history_search:{"query":"NUMBER 1","cap":3})", 1).at(0).argument.value();
    EXPECT_EQ(found["matchCount"], 11);  // 1 and 10..19
    EXPECT_EQ(found["shown"], 3);
    EXPECT_EQ(found["entries"][0]["text"], "entry number 19 hello");

    const json victim = page["entries"][0];
    auto after = send("history_delete_one:" + json{{"date", victim["date"]},
                                                   {"time", victim["time"]},
                                                   {"text", victim["text"]},
                                                   {"offset", 5},
                                                   {"limit", 10}}
                                                  .dump(),
                      1)
                     .at(0)
                     .argument.value();
    EXPECT_EQ(after["total"], 29);
    EXPECT_EQ(after["offset"], 5);  // the page the user was on
    EXPECT_EQ(after["entries"][0]["text"], "entry number 23 hello");
    EXPECT_EQ(readText(logger->historyFileURL()).find("entry number 24 hello"), std::string::npos);

    send("history_delete_all", 0);
    platform::MainQueue::pump(5.0, [&] { return logger->historyEntryCount() == 0; });
    EXPECT_EQ(logger->historyEntryCount(), 0);
    EXPECT_EQ(send(R"(history_query:{"offset":0,"limit":10})", 1).at(0).argument.value()["total"], 0);
}

// Statistics asked for right after a deletion count the history without it.
TEST_F(HubBridgeTest, HistoryWorkAnswersInTheOrderThePageAsked) {
    writeHistory(2000);
    bridge->handleMessage("history_delete_all");
    auto stats = send("stats_query", 1).at(0).argument.value();
    EXPECT_EQ(stats["total"], 0);
}

TEST_F(HubBridgeTest, ExportsWriteTheChosenFileAndCancelWritesNothing) {
    writeHistory(2);
    host.savePath = (home.path / "history.md").string();
    auto result = send(R"(history_export:{"format":"md"})", 1).at(0).argument.value();
    EXPECT_EQ(result["ok"], true);
    EXPECT_NE(readText(home.path / "history.md").find("entry number 1 hello"), std::string::npos);

    ASSERT_TRUE(Vocabulary::shared().addTerm("teh", "the"));
    host.savePath = (home.path / "dictionary.out.json").string();
    result = send("dict_export", 1).at(0).argument.value();
    EXPECT_EQ(result["ok"], true);
    EXPECT_EQ(json::parse(readText(home.path / "dictionary.out.json")), json::parse(R"([{"from":"teh","to":"the"}])"));

    host.savePath.reset();
    result = send("dict_export", 1).at(0).argument.value();
    EXPECT_EQ(result["cancelled"], true);
    EXPECT_EQ(result["ok"], false);
}

TEST_F(HubBridgeTest, DictionaryAddRemoveImportLandInTheDictionaryFile) {
    send(R"(dict_add:{"from":"kubernetes","to":"Kubernetes"})", 1);
    EXPECT_NE(readText(AppPaths::dictionaryFile()).find("Kubernetes"), std::string::npos);
    auto dict = send("dict_query", 1).at(0).argument.value();
    EXPECT_EQ(dict["terms"].size(), 1u);
    EXPECT_FALSE(dict["packs"].empty());

    const fs::path importFile = home.path / "import.json";
    std::ofstream(importFile) << R"([{"from":"kubernetes","to":"K8s"},{"from":"postgres","to":"PostgreSQL"}])";
    host.openPath = importFile.string();
    auto calls = send("dict_import", 2);
    ASSERT_EQ(names(calls), (std::vector<std::string>{"ondiraSetDictImportResult", "ondiraSetDictionary"}));
    EXPECT_EQ(calls[0].argument.value()["added"], 1);
    EXPECT_EQ(calls[0].argument.value()["skipped"], 1);
    EXPECT_NE(readText(AppPaths::dictionaryFile()).find("PostgreSQL"), std::string::npos);

    // A file that is not a dictionary is reported and merges nothing.
    std::ofstream(importFile, std::ios::trunc) << R"({"not":"a list"})";
    const std::string before = readText(AppPaths::dictionaryFile());
    auto refused = send("dict_import", 1).at(0).argument.value();
    EXPECT_TRUE(refused["error"].is_string());
    EXPECT_EQ(readText(AppPaths::dictionaryFile()), before);
    // Nor is a directory, or a link to one.
    host.openPath = home.path.string();
    EXPECT_TRUE(send("dict_import", 1).at(0).argument.value()["error"].is_string());

    send(R"(dict_del:{"from":"postgres"})", 1);
    EXPECT_EQ(readText(AppPaths::dictionaryFile()).find("PostgreSQL"), std::string::npos);

    send(R"(pack_set:{"pack":"legal","enabled":true})", 1);
    EXPECT_EQ(Vocabulary::enabledPackNames(), std::vector<std::string>{"legal"});
    send(R"(pack_set:{"pack":"legal","enabled":false})", 1);
    EXPECT_TRUE(Vocabulary::enabledPackNames().empty());
}

TEST_F(HubBridgeTest, RefusedHotkeyGrabAnswersTheErrorAndKeepsTheOldMode) {
    AppPaths::writeConfigValue("hotkey", "f14");
    host.grabRefusal = "F13 is taken by another application.";
    auto calls = send("hotkey_set:f13", 2);
    ASSERT_EQ(names(calls), (std::vector<std::string>{"ondiraHotkeyError", "ondiraSetHotkey"}));
    EXPECT_EQ(calls[0].argument.value()["message"], "F13 is taken by another application.");
    EXPECT_EQ(calls[1].argument.value(), "f14");
    EXPECT_EQ(AppPaths::readConfigValue("hotkey"), "f14");

    host.grabRefusal.reset();
    calls = send("hotkey_set:f13", 1);
    EXPECT_EQ(calls.at(0).argument.value(), "f13");
    EXPECT_EQ(host.grabs, (std::vector<HotkeyMode>{HotkeyMode::f13, HotkeyMode::f13}));
    // An unknown word never reaches the grab.
    send("hotkey_set:hyper", 2);
    EXPECT_EQ(host.grabs.size(), 2u);
}

TEST_F(HubBridgeTest, SettingsMessagesStoreWhatThePageChose) {
    EXPECT_EQ(send("mode_set:polish", 1).at(0).argument.value(), "polish");
    EXPECT_EQ(AppPaths::readConfigValue("processing_mode"), "polish");
    EXPECT_EQ(send("mode_set:Polish", 1).at(0).argument.value(), "polish");  // exact words only

    EXPECT_EQ(send("logging_set:false", 1).at(0).argument.value()["logging"], false);
    EXPECT_FALSE(logger->isLoggingEnabled());
    send("logging_set:true", 1);
    EXPECT_TRUE(logger->isLoggingEnabled());

    send("theme_set:abyss", 0);
    EXPECT_EQ(IndicatorThemes::stored(), IndicatorTheme::abyss);
    EXPECT_EQ(host.themes, std::vector<std::string>{"abyss"});

    send("update_set_auto:true", 1);
    EXPECT_TRUE(updates->automaticChecksEnabled());
    auto state = send("update_set_auto:false", 1).at(0).argument.value();
    EXPECT_EQ(state["auto"], false);
    for (const char* key : {"version", "state", "error", "arch", "auto", "lastChecked"}) EXPECT_TRUE(state.contains(key));

    auto checked = send("update_check", 2);
    EXPECT_EQ(checked.at(0).argument.value()["state"], "checking");
    EXPECT_EQ(checked.at(1).argument.value()["state"], "error");
    EXPECT_TRUE(checked.at(1).argument.value()["lastChecked"].is_string());

    send("language_set:xx_NOPE", 2);
    EXPECT_EQ(host.languageChanges, 0);
    send("language_set:system", 2);
    EXPECT_EQ(host.languageChanges, 1);

    send("perm_open:accessibility", 0);
    EXPECT_EQ(host.permissionPanes, std::vector<std::string>{"accessibility"});
    send("open_url:https://example.com/x?y=1", 0);
    send("open_url:HTTP://example.com/", 0);
    EXPECT_EQ(host.openedURLs, (std::vector<std::string>{"https://example.com/x?y=1", "HTTP://example.com/"}));

    send("copy:caf%C3%A9%20%25", 1);
    send("copy:100%", 1);  // not valid percent-encoding: copied as it is
    EXPECT_EQ(host.copied, (std::vector<std::string>{"café %", "100%"}));
}

// The language note says a model is missing only when dictation in that
// language would fail: a region without a model of its own (en_GB) is served
// by its language's model, as the recogniser does.
TEST_F(HubBridgeTest, TheLanguagesAnswerSaysReadyWhenAnInstalledModelServesTheLanguage) {
    ScopedEnv noAll{"LC_ALL", std::nullopt};
    ScopedEnv noMessages{"LC_MESSAGES", std::nullopt};
    const struct {
        const char* lang;
        bool ready;
    } rows[] = {{"en_US.UTF-8", true}, {"en_GB.UTF-8", true}, {"C", true}, {"xx_NOPE.UTF-8", false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.lang);
        ScopedEnv lang{"LANG", std::string(row.lang)};
        const auto calls = send("language_query", 1);
        ASSERT_EQ(names(calls), std::vector<std::string>{"ondiraSetLanguages"});
        ASSERT_TRUE(calls[0].argument.has_value());
        EXPECT_EQ(calls[0].argument->value("onDeviceReady", !row.ready), row.ready) << calls[0].argument->dump();
    }
}

TEST_F(HubBridgeTest, RewriteAnswersCarryTheRequestAndTheClientsVerdict) {
    auto missingText = send(R"(rewrite:{"reqId":"r1","mode":"polish"})", 1).at(0).argument.value();
    EXPECT_EQ(missingText, json::parse(R"({"reqId":"r1","ok":false,"mode":"polish","err":"malformed rewrite request"})"));
    // No mode: the client's own refusal comes back with a time.
    auto refused = send(R"(rewrite:{"reqId":"r2","text":"x","instruction":7})", 1).at(0).argument.value();
    EXPECT_EQ(refused["reqId"], "r2");
    EXPECT_EQ(refused["mode"], "");
    EXPECT_EQ(refused["ok"], false);
    EXPECT_TRUE(refused["err"].is_string());
    EXPECT_TRUE(refused["ms"].is_number_integer());
    auto availability = send("rewrite_available:", 1).at(0).argument.value();
    EXPECT_TRUE(availability["available"].is_boolean());
    EXPECT_TRUE(availability["reason"].is_string());
}

TEST_F(HubBridgeTest, RulesAndSnippetsPersistAndComeBackInTheirRows) {
    auto rules =
        send(
            R"(rules_set:{"bundleID":"org.test.app","displayName":"App","polishEnabled":false,"autoCapitalizeEnabled":true,"dictionaryEnabled":true,"neverDictate":false,"profileID":"   "})",
            1)
            .at(0)
            .argument.value()["rules"];
    auto row = std::find_if(rules.begin(), rules.end(), [](const json& r) { return r["bundleID"] == "org.test.app"; });
    ASSERT_NE(row, rules.end());
    EXPECT_TRUE((*row)["profileID"].is_null());
    EXPECT_EQ((*row)["isDefault"], false);
    EXPECT_EQ(AppRules::loadStoredOverrides(AppPaths::userDefaults()).size(), 1u);
    send(R"(rules_delete:{"bundleID":"org.test.app"})", 1);
    EXPECT_TRUE(AppRules::loadStoredOverrides(AppPaths::userDefaults()).empty());

    // Stored rules that do not load are never written over.
    AppPaths::userDefaults()->setData(AppRules::defaultsKey, {0x00, 0xFF, 0x13});
    send(
        R"(rules_set:{"bundleID":"org.test.b","displayName":"B","polishEnabled":true,"autoCapitalizeEnabled":true,"dictionaryEnabled":true,"neverDictate":false})",
        1);
    EXPECT_EQ(AppPaths::userDefaults()->data(AppRules::defaultsKey), (std::vector<std::uint8_t>{0x00, 0xFF, 0x13}));

    auto snippets = send(R"(snippets_set:{"trigger":"omw","expansion":"on my way"})", 1).at(0).argument.value();
    EXPECT_EQ(snippets["snippets"].size(), 1u);
    EXPECT_NE(readText(Snippets::storageFile()).find("on my way"), std::string::npos);
    EXPECT_EQ(Snippets::shared().expand("omw!"), "on my way!");
    send(R"(snippets_delete:{"trigger":"omw"})", 1);
    EXPECT_EQ(Snippets::shared().expand("omw!"), "omw!");
}

TEST_F(HubBridgeTest, ProfilesRefuseBuiltInsAndUnknownsAndStoreOnlyTheUsersOwn) {
    struct Case {
        std::string body;
        json error;  // null: ok
    };
    const std::vector<Case> cases = {
        {R"(profiles_create:{"name":"  Email ","polishEnabled":true,"autoCapitalizeEnabled":true,"dictionaryEnabled":true})",
         "A profile with that name already exists."},
        {R"(profiles_create:{"name":"   ","polishEnabled":true,"autoCapitalizeEnabled":true,"dictionaryEnabled":true})",
         "Profile name can't be empty or just whitespace."},
        {R"(profiles_create:{"name":"X","polishEnabled":1,"autoCapitalizeEnabled":true,"dictionaryEnabled":true})",
         "Malformed request."},
        {R"(profiles_create:{"name":"Meetings","mode":"turbo","polishEnabled":true,"autoCapitalizeEnabled":false,"dictionaryEnabled":true})",
         nullptr},
        {R"(profiles_delete:{"id":"email"})", "Built-in profiles can't be deleted."},
        {R"(profiles_delete:{"id":"no-such-profile"})", "That profile no longer exists."},
        {R"(profiles_rename:{"id":"code","name":"Coding"})", "Built-in profiles can't be renamed."},
        {R"(profiles_rename:{"id":"no-such-profile","name":"Y"})",
         "That name is already taken, or the profile no longer exists."},
        {"profiles_delete:", "Malformed request."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        auto calls = send(c.body, 2);
        ASSERT_EQ(names(calls), (std::vector<std::string>{"onProfileResult", "onProfiles"}));
        EXPECT_EQ(calls[0].argument.value()["error"], c.error);
        EXPECT_EQ(calls[0].argument.value()["ok"], c.error.is_null());
    }
    auto stored = Profiles::loadStoredProfiles(AppPaths::userDefaults());
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].name, "Meetings");
    EXPECT_EQ(stored[0].mode, ProcessingMode::balanced);

    auto renamed = send(R"(profiles_rename:{"id":")" + stored[0].id + R"(","name":"Standups"})", 2);
    EXPECT_TRUE(renamed[0].argument.value()["ok"]);
    stored = Profiles::loadStoredProfiles(AppPaths::userDefaults());
    ASSERT_EQ(stored.size(), 1u);  // the built-ins are not written with it
    EXPECT_EQ(stored[0].name, "Standups");
    send(R"(profiles_delete:{"id":")" + stored[0].id + R"("})", 2);
    EXPECT_TRUE(Profiles::loadStoredProfiles(AppPaths::userDefaults()).empty());
    EXPECT_EQ(Profiles::effectiveProfiles(AppPaths::userDefaults()).size(), Profiles::builtInDefaults().size());
}

TEST_F(HubBridgeTest, StagingCommitTakesTheTextsOnlyWhenTheyLanded) {
    staging->append("one", false);
    staging->append("two", true);
    staging->append("three", false);
    const auto entries = staging->allEntries();
    const std::string body =
        R"(staging_commit:{"ids":[")" + entries[2].id + R"(",")" + entries[0].id + R"("],"joiner":"newline"})";

    host.insertionSucceeds = false;
    auto refused = send(body, 1).at(0).argument.value();
    EXPECT_EQ(refused["error"], "The focused field did not take the text.");
    EXPECT_EQ(staging->count(), 3u);
    EXPECT_EQ(host.insertedTexts, std::vector<std::string>{"one\nthree"});

    host.insertionSucceeds = true;
    auto landed = send(body, 1).at(0).argument.value();
    EXPECT_TRUE(landed["error"].is_null());
    ASSERT_EQ(landed["entries"].size(), 1u);
    EXPECT_EQ(landed["entries"][0]["text"], "two");
    EXPECT_EQ(StagingBuffer(staging->storageURL(), StagingLimits{}).count(), 1u);  // on disk too

    send(R"(staging_edit:{"id":")" + entries[1].id + R"(","text":"two edited"})", 1);
    EXPECT_EQ(staging->allEntries().at(0).text, "two edited");
    // Lower-case ids from a page are the same entries.
    send(R"(staging_delete:{"id":")" + platform::text::lowercased(entries[1].id) + R"("})", 1);
    EXPECT_TRUE(staging->isEmpty());
}

TEST_F(HubBridgeTest, CorrectionsObservedByThePageAreRecordedAndRevocable) {
    // Each answer is the learned list with that correction already counted.
    std::vector<json> answers;
    for (int i = 0; i < 3; ++i) {
        auto calls = send(R"(correction_observed:{"heard":"teh","written":"the","app":"Editor"})", 1);
        ASSERT_EQ(names(calls), std::vector<std::string>{"onLearnedRules"});
        answers.push_back(calls[0].argument.value());
    }
    EXPECT_TRUE(answers[1]["rules"].empty()) << "two sightings teach nothing yet";
    ASSERT_EQ(answers[2]["rules"].size(), 1u) << answers[2].dump();
    EXPECT_EQ(answers[2]["rules"][0]["count"], 3);
    ASSERT_EQ(corrections->all().size(), 3u);
    EXPECT_EQ(corrections->all()[0].source, CorrectionSource::observedEdit);
    auto learned = send("learned_rules_query:", 1).at(0).argument.value();
    ASSERT_EQ(learned["rules"].size(), 1u);
    EXPECT_EQ(learned["rules"][0]["count"], 3);
    auto after = send(R"(learned_rules_revoke:{"heard":"teh","written":"the"})", 1).at(0).argument.value();
    EXPECT_TRUE(after["rules"].empty());
    EXPECT_TRUE(corrections->all().empty());
}

TEST_F(HubBridgeTest, EngineFiguresComeFromTheHistoryUnderTheNamesItUsesToday) {
    // Two dictations under today's name of the whole-take path and one under its older name.
    std::string lines;
    for (const char* engine :
         {"pocketsphinx_context_ondevice", "apple_speechanalyzer_ondevice", "pocketsphinx_context_ondevice"})
        lines +=
            DictationLogger::makeEntry("x", "A", std::chrono::system_clock::now(), 4.0, 0.1, 2.0, engine)->dump() + "\n";
    std::ofstream(logger->historyFileURL(), std::ios::binary | std::ios::trunc) << lines;
    auto info = send("engine_query:", 1).at(0).argument.value();
    const auto& rows = info["engines"];
    auto row = std::find_if(rows.begin(), rows.end(),
                            [](const json& r) { return r["engineIdentifier"] == "pocketsphinx_context_ondevice"; });
    ASSERT_NE(row, rows.end());
    EXPECT_EQ((*row)["sampleCount"], 3);
    EXPECT_NEAR((*row)["avgRealTimeFactor"].get<double>(), 2.0, 1e-9);
    auto switched = send(R"(engine_set:{"useDictationTranscriber":false})", 1).at(0).argument.value();
    EXPECT_EQ(switched["useDictationTranscriber"], false);
    EXPECT_EQ(send(R"(engine_set:{"useDictationTranscriber":true})", 1).at(0).argument.value()["useDictationTranscriber"],
              true);
}

TEST_F(HubBridgeTest, ShowingThePageSendsStatisticsAndTheFirstHistoryPage) {
    writeHistory(5);
    bridge->currentHistoryLimit = 2;
    bridge->showFirstPage();
    platform::MainQueue::pump(5.0, [&] { return emitter.calls().size() >= 2; });
    const auto stats = emitter.last("ondiraSetStats");
    const auto history = emitter.last("ondiraSetHistory");
    ASSERT_TRUE(stats && history);
    EXPECT_EQ(stats->argument.value()["total"], 5);
    EXPECT_EQ(history->argument.value()["entries"].size(), 2u);
    EXPECT_EQ(history->argument.value()["total"], 5);
}

// MARK: - Statistics

BridgePayload::LogEntry row(const std::string& date, int words, const std::string& app = "A") {
    return {"10:00:00", date, app, "t", words};
}

TEST(HubStatistics, EmptyHistoryHasZerosAndEmptyLists) {
    const auto s = BridgePayload::statisticsPayload({}, "2026-03-10");
    EXPECT_EQ(s, json::parse(R"({"total":0,"words":0,"streak":0,"todayWords":0,"hoursSaved":0.0,"typingWpm":40,
        "speakingWpm":150,"perApp":[],"chart":[],"recent":[]})"));
}

TEST(HubStatistics, StreakCountsBackFromTodayOrYesterday) {
    struct Case {
        std::vector<std::string> days;
        int streak;
    };
    const std::vector<Case> cases = {
        {{"2026-03-09", "2026-03-08"}, 2},
        {{"2026-03-10", "2026-03-08"}, 1},
        {{"2026-03-07"}, 0},
        {{"2026-02-28", "2026-03-01", "2026-03-10", "2026-03-09", "2026-03-08", "2026-03-07", "2026-03-06", "2026-03-05",
          "2026-03-04", "2026-03-03", "2026-03-02"},
         11},  // across a month end
    };
    for (const auto& c : cases) {
        std::vector<BridgePayload::LogEntry> rows;
        for (const auto& d : c.days) rows.push_back(row(d, 1));
        EXPECT_EQ(BridgePayload::streak(rows, "2026-03-10"), c.streak) << testing::PrintToString(c.days);
    }
}

TEST(HubStatistics, TotalsPerAppChartAndRecent) {
    std::vector<BridgePayload::LogEntry> rows;
    for (int d = 1; d <= 40; ++d) {
        char date[16];
        std::snprintf(date, sizeof date, "2026-%02d-%02d", d <= 31 ? 1 : 2, d <= 31 ? d : d - 31);
        rows.push_back(row(date, 25, d % 2 ? "Odd" : "Even"));
    }
    const auto s = BridgePayload::statisticsPayload(rows, "2026-02-09");
    EXPECT_EQ(s["total"], 40);
    EXPECT_EQ(s["words"], 1000);
    EXPECT_NEAR(s["hoursSaved"].get<double>(), 0.30556, 1e-5);
    EXPECT_EQ(s["todayWords"], 25);
    EXPECT_EQ(s["streak"], 40);
    EXPECT_EQ(s["perApp"], json::parse(R"([{"app":"Even","n":20},{"app":"Odd","n":20}])"));
    ASSERT_EQ(s["chart"].size(), 30u);
    EXPECT_EQ(s["chart"].back()["date"], "2026-02-09");
    EXPECT_EQ(s["chart"].front()["date"], "2026-01-11");
    EXPECT_EQ(s["recent"].size(), BridgePayload::recentRows);
    EXPECT_EQ(s["recent"][0]["app"], "Even");  // newest first
}

TEST(HubWindowHelpers, PercentDecodingAndOpenableURLs) {
    EXPECT_EQ(HubWindow::percentDecoded("a%20b%2Fc"), "a b/c");
    for (const char* bad : {"%", "%2", "%zz", "%ff"}) EXPECT_FALSE(HubWindow::percentDecoded(bad)) << bad;
    for (const char* ok : {"https://example.com", "http://example.com/a?b=c#d"}) EXPECT_TRUE(HubWindow::isOpenableURL(ok));
    for (const char* bad : {"javascript:alert(1)", "file:///etc/passwd", "https://", "https://a b", "ftp://x.org",
                            "https://x.org/\n", "mailto:a@b.c", ""})
        EXPECT_FALSE(HubWindow::isOpenableURL(bad)) << bad;
}

}  // namespace
