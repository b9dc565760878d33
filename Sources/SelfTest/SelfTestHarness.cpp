#include "SelfTest/SelfTest.h"

#include "Base/AppPaths.h"
#include "Platform/Bundle.h"
#include "Platform/FileIO.h"
#include "Platform/UUID.h"

#include <cxxabi.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <map>
#include <mutex>
#include <typeinfo>

namespace fs = std::filesystem;

namespace SelfTestRegistry {

const std::vector<std::string>& suiteOrder() {
    static const std::vector<std::string> order = {
        "RegexCleaner",
        "Vocabulary",
        "AppPaths",
        "DictationLog",
        "HistoryExport",
        "DictionaryImport",
        "PasteVerdict",
        "PolishService",
        "CorrectionLog",
        "SoundCues",
        "HotkeyMode",
        "ScreenContext",
        "RegressionGate",
        "PersonalModel",
        "PrivacyProbe",
        "AppRules",
        "Snippets",
        "DictationTranscriber",
        "CLI",
        "FileTranscriber",
        "Locale",
        "BridgeContract",
        "SupportBundle",
        "ArtifactHygiene",
        "HistoryPaging",
        "AppDelegateHelpers",
        "VoiceCommands",
        "WritingStyle",
        "PartialTextPreview",
        "Profiles",
        "ProfilesUI",
        "EngineUI",
        "OnboardingContent",
        "Staging",
        "StreamingCapture",
        "UpdateChecker",
        "UpdateAutoCheck",
        "HubHonesty",
        "PersonaSimulation",
    };
    return order;
}

namespace {
std::mutex& lock() {
    static std::mutex m;
    return m;
}
std::map<std::string, SelfTestBuilder>& builders() {
    static std::map<std::string, SelfTestBuilder> b;
    return b;
}
}  // namespace

bool registerSuite(const std::string& name, SelfTestBuilder builder) {
    std::lock_guard<std::mutex> g(lock());
    builders()[name] = std::move(builder);
    return true;
}

std::vector<std::string> missingSuites() {
    std::lock_guard<std::mutex> g(lock());
    std::vector<std::string> missing;
    for (const auto& name : suiteOrder())
        if (!builders().count(name)) missing.push_back(name);
    return missing;
}

std::vector<SelfTestSuite> build(const std::vector<std::pair<std::string, SelfTestBuilder>>& builders) {
    std::vector<SelfTestSuite> suites;
    for (const auto& [name, builder] : builders) {
        try {
            suites.emplace_back(name, builder());
        } catch (const std::exception& e) {
            std::string message = std::string("the suite's builder threw: ") + e.what();
            suites.emplace_back(name, std::vector<SelfTestCase>{
                                          {name + " builder", "n/a", [message] { return SelfTestOutcome::fail(message); }}});
        }
    }
    return suites;
}

std::vector<SelfTestSuite> allSuites() {
    std::map<std::string, SelfTestBuilder> registered;
    {
        std::lock_guard<std::mutex> g(lock());
        registered = builders();
    }
    std::vector<std::pair<std::string, SelfTestBuilder>> ordered;
    for (const auto& name : suiteOrder()) {
        auto it = registered.find(name);
        if (it == registered.end()) {
            // A suite of the fixed order that this build lacks is a part of
            // the self-test silently gone: one failing line, so the run is red.
            ordered.emplace_back(name, [n = name] {
                return std::vector<SelfTestCase>{{n, "a suite the build forgot to register would pass as green",
                                                  [] { return SelfTestOutcome::fail("not built"); }}};
            });
            continue;
        }
        ordered.emplace_back(name, it->second);
        registered.erase(it);
    }
    // A registered name outside the fixed order is a build mistake: show it, don't drop it.
    for (const auto& [name, builder] : registered) {
        ordered.emplace_back(name, [n = name]() -> std::vector<SelfTestCase> {
            throw std::logic_error("suite \"" + n + "\" has no registry position");
        });
    }
    return build(ordered);
}

}  // namespace SelfTestRegistry

namespace SelfTestRunner {

namespace {
const char* kEmDash = "\xE2\x80\x94";

std::string currentExceptionName() {
    int status = 0;
    const std::type_info* t = abi::__cxa_current_exception_type();
    if (!t) return "unknown exception";
    char* name = abi::__cxa_demangle(t->name(), nullptr, nullptr, &status);
    std::string out = (status == 0 && name) ? name : t->name();
    std::free(name);
    return out;
}

SelfTestOutcome runGuarded(const SelfTestCase& c) {
    try {
        if (!c.run) return SelfTestOutcome::fail("case has no run operation");
        return c.run();
    } catch (const std::exception& e) {
        return SelfTestOutcome::fail(std::string("threw ") + currentExceptionName() + ": " + e.what());
    } catch (...) {
        return SelfTestOutcome::fail("threw " + currentExceptionName());
    }
}
}  // namespace

Summary runSuites(const std::vector<SelfTestSuite>& suites, std::ostream& out) {
    Summary s;
    for (const auto& [suiteName, cases] : suites) {
        out << "== " << suiteName << " ==\n" << std::flush;
        s.total += static_cast<int>(cases.size());
        for (const auto& c : cases) {
            SelfTestOutcome o = runGuarded(c);
            switch (o.kind) {
                case SelfTestOutcome::Kind::pass:
                    ++s.passes;
                    out << "[PASS] " << c.name << " " << kEmDash << " teeth: " << c.teeth << "\n";
                    break;
                case SelfTestOutcome::Kind::skip:
                    ++s.skips;
                    out << "[SKIP] " << c.name << " " << kEmDash << " " << o.message << "\n";
                    break;
                case SelfTestOutcome::Kind::fail:
                    s.failures.push_back(suiteName + "/" + c.name + ": " + o.message);
                    out << "[FAIL] " << c.name << " " << kEmDash << " " << o.message << " " << kEmDash
                        << " teeth: " << c.teeth << "\n";
                    break;
            }
            out << std::flush;
        }
        out << "\n" << std::flush;
    }
    return s;
}

void printSummary(const Summary& s, std::ostream& out) {
    const std::string separator(50, '=');
    out << separator << "\n";
    out << "TOTAL: " << s.total << "  PASS: " << s.passes << "  FAIL: " << (s.total - s.passes - s.skips)
        << "  SKIP: " << s.skips << "\n";
    if (!s.failures.empty()) {
        out << "\nFAILURES:\n";
        for (const auto& f : s.failures) out << " - " << f << "\n";
    }
    out << separator << "\n" << std::flush;
}

bool runAll() { return runAll(std::cout); }

bool runAll(std::ostream& out) {
    fs::path dir = installSelfTestStateDirIsolation();
    out << "[SelfTest] isolated state dir: " << dir.string() << "\n";
    out << "[SelfTest] isolated UserDefaults suite: " << AppPaths::selfTestSuiteName << "\n";
    out << "\n" << std::flush;

    // Never let a run fall back to the user's own settings.
    auto suite = AppPaths::userDefaults();
    std::error_code ec;
    fs::create_directories(suite->file().parent_path(), ec);
    if (suite->domain() != AppPaths::selfTestSuiteName || !platform::isDirectory(suite->file().parent_path())) {
        out << "[SelfTest] cannot open the isolated settings suite at " << suite->file().string() << "\n";
        SelfTestSupport::removeIfPresent(dir);
        return false;
    }

    Summary s = runSuites(SelfTestRegistry::allSuites(), out);

    SelfTestSupport::removeIfPresent(dir);
    AppPaths::settingsSuite(AppPaths::selfTestSuiteName)->removePersistentDomain(AppPaths::selfTestSuiteName);
    printSummary(s, out);
    return s.ok();
}

}  // namespace SelfTestRunner

fs::path installSelfTestStateDirIsolation() {
    fs::path dir =
        platform::temporaryDirectory() / ("ondira-selftest-" + std::to_string(::getpid()) + "-" + platform::newUUID());
    std::error_code ec;
    fs::create_directories(dir, ec);
    ::setenv(AppPaths::selfTestStateDirVariable, dir.c_str(), 1);
    return dir;
}

namespace SelfTestSupport {

std::optional<fs::path> repoRoot() {
    fs::path root = platform::Bundle::bundleURL().parent_path().parent_path();
    std::error_code ec;
    if (fs::is_regular_file(root / "Sources" / "main.cpp", ec)) return root;
    return std::nullopt;
}

void removeIfPresent(const fs::path& path) {
    std::error_code ec;
    fs::remove_all(path, ec);
}

std::optional<std::string> readRepoFile(const std::string& relativePath) {
    auto root = repoRoot();
    if (!root) return std::nullopt;
    return platform::readFile(*root / relativePath);
}

}  // namespace SelfTestSupport
