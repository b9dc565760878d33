#pragma once
// The built-in self-test harness: cases, outcomes, the ordered registry of
// suites and the runner behind `Ondira --self-test`.
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct SelfTestOutcome {
    enum class Kind { fail, skip, pass };
    Kind kind = Kind::pass;
    std::string message;  // failure message or skip reason

    static SelfTestOutcome pass() { return {Kind::pass, {}}; }
    static SelfTestOutcome fail(std::string message) { return {Kind::fail, std::move(message)}; }
    static SelfTestOutcome skip(std::string reason) { return {Kind::skip, std::move(reason)}; }
    bool isPass() const { return kind == Kind::pass; }
    bool isFail() const { return kind == Kind::fail; }
    bool isSkip() const { return kind == Kind::skip; }
};

struct SelfTestCase {
    std::string name;
    std::string teeth;  // the regression this case would catch
    std::function<SelfTestOutcome()> run;
};

using SelfTestSuite = std::pair<std::string, std::vector<SelfTestCase>>;
using SelfTestBuilder = std::function<std::vector<SelfTestCase>()>;

namespace SelfTestRegistry {
// The fixed order of suites. Every one of them appears in a run; one whose
// builder this build did not register appears as one failing case, "not built".
const std::vector<std::string>& suiteOrder();
// The names of the fixed order that no builder was registered for.
std::vector<std::string> missingSuites();
// Called by each suite's registrar at start-up. Returns true so it can
// initialise a static.
bool registerSuite(const std::string& name, SelfTestBuilder builder);
// Builds every registered suite in order. A builder that throws becomes one
// failing case, so one broken suite can't hide the others.
std::vector<SelfTestSuite> allSuites();
// Calls each builder in the given order, turning a throwing builder into one failing case.
std::vector<SelfTestSuite> build(const std::vector<std::pair<std::string, SelfTestBuilder>>& builders);
}  // namespace SelfTestRegistry

// Registers `Builder` (a function returning the suite's cases) under `Name`.
#define ONDIRA_SELFTEST_CONCAT_(a, b) a##b
#define ONDIRA_SELFTEST_CONCAT(a, b) ONDIRA_SELFTEST_CONCAT_(a, b)
#define ONDIRA_SELFTEST_SUITE(Name, Builder)                                                         \
    [[maybe_unused]] static const bool ONDIRA_SELFTEST_CONCAT(ondiraSelfTestRegistered_, __LINE__) = \
        SelfTestRegistry::registerSuite(Name, [] { return Builder(); })

namespace SelfTestRunner {
struct Summary {
    int total = 0;
    int passes = 0;
    int skips = 0;
    std::vector<std::string> failures;
    bool ok() const { return failures.empty(); }
};

// Runs the suites, printing one line per case; runs every case whatever
// the others did. A case that throws is reported as a failure.
Summary runSuites(const std::vector<SelfTestSuite>& suites, std::ostream& out);
void printSummary(const Summary& summary, std::ostream& out);

// Isolation, header, registry, every case, clean-up, summary. True when no
// case failed.
bool runAll();
bool runAll(std::ostream& out);
}  // namespace SelfTestRunner

// Moves the product's home and settings into a fresh private directory.
std::filesystem::path installSelfTestStateDirIsolation();

namespace SelfTestSupport {
// The source checkout the running build came from, when there is one.
std::optional<std::filesystem::path> repoRoot();
void removeIfPresent(const std::filesystem::path& path);
// Reads a checkout file as UTF-8 text.
std::optional<std::string> readRepoFile(const std::string& relativePath);
}  // namespace SelfTestSupport
