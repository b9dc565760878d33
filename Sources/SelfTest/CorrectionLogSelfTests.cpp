#include "Learning/CorrectionLog.h"
#include "Platform/Queues.h"
#include "Platform/Unicode.h"
#include "Platform/UUID.h"
#include "SelfTest/SelfTest.h"
#include "SelfTest/TextSelfTestSupport.h"
#include "Text/Vocabulary.h"

#include <memory>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <set>

namespace CorrectionLogSelfTests {

namespace {

namespace text = platform::text;

std::string sentinel(const std::string& prefix) { return prefix + platform::newUUID().substr(0, 8); }

// In-memory fixture records: explicit source, ts 1, 2, 3, ...
std::vector<CorrectionRecord> fixture(const TextSelfTestSupport::Pairs& pairs) {
    return TextSelfTestSupport::correctionRecords(pairs, CorrectionSource::explicitDictionaryAdd);
}

std::vector<std::pair<std::string, std::string>> times(const std::string& h, const std::string& w, int n) {
    return TextSelfTestSupport::repeated(h, w, n);
}

std::vector<std::pair<std::string, std::string>> concat(std::vector<std::pair<std::string, std::string>> a,
                                                        const std::vector<std::pair<std::string, std::string>>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string debugQuoted(const std::string& s) { return nlohmann::json(s).dump(); }

std::string trimSpaces(const std::string& s) {
    const auto b = s.find_first_not_of(' ');
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

// The broker ticker used as an abbreviation fixture, and its two halves.
const std::string kSolidUpper = "SCHW";
const std::string kSolidLower = "schw";
const std::string kSpacedUpper = "SC HW";
const std::string kSpacedLower = "sc hw";
const std::string kSpacedCapitalised = "Sc Hw";

}  // namespace

std::vector<SelfTestCase> cases() {
    CorrectionLog& log = CorrectionLog::shared();
    std::vector<SelfTestCase> out;

    out.push_back(
        {"record(): a correction round-trips with exact original casing preserved",
         "storing a lower-cased or trimmed heard or written, instead of normalising only when grouping for "
         "suggestions, would fail on the mixed-case, padded input",
         [&log] {
             const std::string s = sentinel("rt-");
             const std::string heard = "  " + kSpacedCapitalised + "  ";
             log.record(heard, kSolidUpper, "buy " + s + " calls", "Notes", CorrectionSource::explicitDictionaryAdd);
             auto all = log.all();
             auto it = std::find_if(all.rbegin(), all.rend(), [&](const CorrectionRecord& r) {
                 return r.written == kSolidUpper && r.context.find(s) != std::string::npos;
             });
             if (it == all.rend()) return SelfTestOutcome::fail("no record found for sentinel " + s);
             if (it->heard != heard)
                 return SelfTestOutcome::fail("heard casing/whitespace not preserved: expected " + debugQuoted(heard) +
                                              ", got " + debugQuoted(it->heard));
             if (it->written != kSolidUpper)
                 return SelfTestOutcome::fail("written not preserved: expected " + kSolidUpper + ", got " + it->written);
             if (it->app != "Notes") return SelfTestOutcome::fail("app not preserved: got " + it->app);
             if (it->source != CorrectionSource::explicitDictionaryAdd)
                 return SelfTestOutcome::fail(std::string("source not preserved: got ") +
                                              CorrectionSources::caseName(it->source));
             return SelfTestOutcome::pass();
         }});
    out.push_back({"computeSuggestions: grouping is case-insensitive and whitespace-insensitive",
                   "without the trim-and-lower-case group key the two forms would count once each and neither would "
                   "reach a minimum of 2",
                   [] {
                       auto suggestions = CorrectionLog::computeSuggestions(
                           fixture({{" " + kSpacedUpper + " ", kSolidLower}, {kSpacedLower, kSolidUpper}}), 2, {});
                       for (const auto& s : suggestions)
                           if (trimSpaces(text::lowercased(s.heard)) == kSpacedLower) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail(
                           "expected the differently-cased/padded pair to be grouped together and "
                           "reach minCount:2, got " +
                           describe(suggestions));
                   }});
    out.push_back(
        {"computeSuggestions(minCount: 3): returns a pair seen 3 times, excludes one seen twice",
         "using a strict comparison instead of at-least, or counting exact strings instead of normalised "
         "groups, would drop the three-times pair, keep the twice-seen pair, or both",
         [] {
             auto suggestions = CorrectionLog::computeSuggestions(
                 fixture({{"gaap", "GAAP"}, {"GAAP", "GAAP"}, {"Gaap", "GAAP"}, {"ebitda", "EBITDA"}, {"ebitda", "EBITDA"}}),
                 3, {});
             auto has = [&](const char* heard) {
                 return std::any_of(suggestions.begin(), suggestions.end(),
                                    [&](const CorrectionSuggestion& s) { return text::lowercased(s.heard) == heard; });
             };
             if (!has("gaap"))
                 return SelfTestOutcome::fail("expected 'gaap' (seen 3x) in suggestions, got " + describe(suggestions));
             if (has("ebitda"))
                 return SelfTestOutcome::fail("'ebitda' was only seen 2x and must not appear, got " + describe(suggestions));
             return SelfTestOutcome::pass();
         }});
    out.push_back(
        {"computeSuggestions: a pair already in the dictionary is excluded",
         "dropping the filter of existing dictionary terms, or comparing them without normalising, would "
         "suggest a term the user has already added",
         [] {
             auto suggestions =
                 CorrectionLog::computeSuggestions(fixture(times("kubernetes", "Kubernetes", 3)), 3, {" Kubernetes "});
             if (suggestions.empty()) return SelfTestOutcome::pass();
             return SelfTestOutcome::fail("expected no suggestions once the term is already in the dictionary, got " +
                                          describe(suggestions));
         }});
    out.push_back({"parseRecords: malformed and empty lines are skipped, not fatal",
                   "removing any per-field guard of the parser would crash on a forced unwrap or accept a record "
                   "missing heard, written or source",
                   [] {
                       const std::string content =
                           "\nnot json at all\n{\"heard\":\"missing fields\"}\n"
                           "{\"heard\":\"foo\",\"written\":\"bar\",\"context\":\"\",\"app\":\"A\",\"ts\":1,\"source\":"
                           "\"explicit_dictionary_add\"}\n"
                           "{\"heard\":\"x\",\"written\":\"y\",\"context\":\"\",\"app\":\"A\",\"ts\":1,\"source\":\"not_a_"
                           "real_source\"}";
                       auto records = CorrectionLog::parseRecords(content);
                       if (records.size() != 1)
                           return SelfTestOutcome::fail("expected exactly 1 well-formed record survived, got " +
                                                        std::to_string(records.size()));
                       if (records[0].heard != "foo" || records[0].written != "bar")
                           return SelfTestOutcome::fail("the one surviving record should be the well-formed one, got " +
                                                        describe(records[0]));
                       return SelfTestOutcome::pass();
                   }});
    out.push_back(
        {"record(): concurrent writes from multiple queues do not corrupt the file",
         "a write that is no longer serialised on the log's file queue could interleave with another and "
         "leave a torn or merged line that fails to parse, silently losing a correction",
         [&log] {
             const std::string s = sentinel("conc-");
             // Shared with the queued writers: on the time-out path this case returns
             // while they may still run, and they must not signal a dead semaphore.
             auto done = std::make_shared<platform::Semaphore>();
             for (int i = 0; i < 25; ++i) {
                 platform::GlobalQueue::async(platform::QoS::userInitiated, [&log, done, s, i] {
                     log.record(s + "-heard-" + std::to_string(i), s + "-written-" + std::to_string(i), s, "A",
                                CorrectionSource::explicitDictionaryAdd);
                     done->signal();
                 });
             }
             const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
             for (int i = 0; i < 25; ++i) {
                 const double left = std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
                 if (left <= 0 || !done->wait(left))
                     return SelfTestOutcome::fail("concurrent record() calls did not complete within 10s");
             }
             std::set<std::string> found;
             std::size_t kept = 0;
             for (const auto& r : log.all()) {
                 if (r.context != s) continue;
                 ++kept;
                 found.insert(r.heard);
             }
             if (kept != 25)
                 return SelfTestOutcome::fail("expected 25 surviving records for sentinel " + s + ", got " +
                                              std::to_string(kept) + " — file likely corrupted by an interleaved write");
             std::set<std::string> expected;
             for (int i = 0; i < 25; ++i) expected.insert(s + "-heard-" + std::to_string(i));
             if (found != expected) {
                 std::vector<std::string> missing, extra;
                 std::set_difference(expected.begin(), expected.end(), found.begin(), found.end(),
                                     std::back_inserter(missing));
                 std::set_difference(found.begin(), found.end(), expected.begin(), expected.end(),
                                     std::back_inserter(extra));
                 return SelfTestOutcome::fail(
                     "surviving records did not match exactly what was written (torn/merged "
                     "line): missing " +
                     text::join(missing, ", ") + ", extra " + text::join(extra, ", "));
             }
             return SelfTestOutcome::pass();
         }});
    out.push_back({"Vocabulary.addTerm(): auto-records an explicit-source correction",
                   "without the correction record written by Vocabulary.addTerm(from:to:) an explicit addition would "
                   "leave no trace for suggestions to learn from",
                   [&log] {
                       const std::string f = sentinel("vocabwire-");
                       Vocabulary::shared().addTerm(f, "REPLACED-" + f);
                       auto all = log.all();
                       const bool found = std::any_of(all.rbegin(), all.rend(), [&](const CorrectionRecord& r) {
                           return r.heard == f && r.source == CorrectionSource::explicitDictionaryAdd;
                       });
                       Vocabulary::shared().deleteTerm(f);
                       if (found) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("expected addTerm(from: " + f +
                                                    ") to produce a correction record with source .explicitDictionaryAdd");
                   }});
    out.push_back(
        {"Vocabulary.pendingCorrectionSuggestions(): read path reaches CorrectionLog end to end",
         "if the dictionary's pending suggestions stopped delegating to CorrectionLog.shared.suggestions(minCount:), "
         "a correction repeated three times would never surface",
         [&log] {
             const std::string id = platform::newUUID().substr(0, 8);
             const std::string heard = "e2e-" + id + "-term";
             const std::string written = "E2E-" + id + "-TARGET";
             for (int i = 0; i < 3; ++i) log.record(heard, written, "", "A", CorrectionSource::observedEdit);
             for (const auto& s : Vocabulary::shared().pendingCorrectionSuggestions())
                 if (text::lowercased(s.heard) == text::lowercased(heard) && s.written == written)
                     return SelfTestOutcome::pass();
             return SelfTestOutcome::fail(
                 "expected Vocabulary.pendingCorrectionSuggestions to surface the "
                 "3x-repeated pair for " +
                 heard);
         }});
    out.push_back({"computeLearnedSubstitutionsForReview: ranks by real count descending and exposes it (not just the pair)",
                   "dropping the real per-pair count from the review rows, or ranking by first appearance instead of "
                   "count descending, would misorder the five-times and three-times pairs or misstate the count",
                   [] {
                       auto rows = CorrectionLog::computeLearnedSubstitutionsForReview(
                           fixture(concat(times("gaap", "GAAP", 3), times("ebitda", "EBITDA", 5))), 3, 200, {});
                       if (rows.size() != 2)
                           return SelfTestOutcome::fail("expected 2 qualifying pairs, got " + std::to_string(rows.size()) +
                                                        ": " + describe(rows));
                       if (rows[0].heard != "ebitda" || rows[0].count != 5)
                           return SelfTestOutcome::fail("expected the 5x pair (ebitda) ranked first with count 5, got " +
                                                        describe(rows[0]));
                       if (rows[1].heard != "gaap" || rows[1].count != 3)
                           return SelfTestOutcome::fail("expected the 3x pair (gaap) ranked second with count 3, got " +
                                                        describe(rows[1]));
                       return SelfTestOutcome::pass();
                   }});
    out.push_back(
        {"computeLearnedSubstitutionsForReview: excludes a pair already in the dictionary, same normalisation as "
         "computeLearnedSubstitutions",
         "a review list that ignored the excluded terms or their normalisation would show a rule the user "
         "made explicit as a revocable learned row, unlike what the polish pipeline applies",
         [] {
             auto rows = CorrectionLog::computeLearnedSubstitutionsForReview(fixture(times("kubernetes", "Kubernetes", 3)),
                                                                             3, 200, {" Kubernetes "});
             if (rows.empty()) return SelfTestOutcome::pass();
             return SelfTestOutcome::fail("expected no review rows once the term is already in the dictionary, got " +
                                          describe(rows));
         }});
    out.push_back(
        {"deleteRecords(): removes exactly the matching normalised pair and returns its count, leaving an "
         "unrelated pair untouched",
         "matching exact instead of normalised strings, or rewriting the whole file instead of filtering by "
         "pair, would miss the differently-cased records or delete the unrelated sentinel",
         [&log] {
             const std::string a = sentinel("revA-"), b = sentinel("revB-");
             const auto observed = CorrectionSource::observedEdit;
             log.record(a, "TARGET-" + a, "", "A", observed);
             log.record("  " + text::uppercased(a) + "  ", "TARGET-" + a, "", "A", observed);
             log.record(a, "TARGET-" + a, "", "A", observed);
             log.record(b, "TARGET-" + b, "", "A", observed);
             const int removed = log.deleteRecords(a, "TARGET-" + a);
             auto all = log.all();
             auto count = [&](const std::string& w) {
                 return std::count_if(all.begin(), all.end(), [&](const CorrectionRecord& r) { return r.written == w; });
             };
             if (removed != 3)
                 return SelfTestOutcome::fail("expected 3 records removed for sentinelA, got " + std::to_string(removed));
             if (count("TARGET-" + a) != 0)
                 return SelfTestOutcome::fail("expected zero surviving records for sentinelA after delete, got " +
                                              std::to_string(count("TARGET-" + a)));
             if (count("TARGET-" + b) != 1)
                 return SelfTestOutcome::fail("expected the unrelated sentinelB record to survive untouched, got " +
                                              std::to_string(count("TARGET-" + b)));
             return SelfTestOutcome::pass();
         }});
    out.push_back(
        {"deleteRecords(): a pair with no matching records returns 0 and does not disturb the file",
         "rewriting the file when nothing matched could still corrupt unrelated records on a failed swap or a race", [&log] {
             const std::string s = sentinel("revnone-");
             const std::size_t before = log.all().size();
             const int removed = log.deleteRecords("no-such-heard-" + s, "no-such-written-" + s);
             const std::size_t after = log.all().size();
             if (removed != 0)
                 return SelfTestOutcome::fail("expected 0 removed for a non-existent pair, got " + std::to_string(removed));
             if (before != after)
                 return SelfTestOutcome::fail("expected record count unchanged (before " + std::to_string(before) +
                                              ", after " + std::to_string(after) + ") when nothing matched");
             return SelfTestOutcome::pass();
         }});
    out.push_back(
        {"learnedSubstitutionsForReview() + deleteRecords(): end-to-end revoke removes the rule from both the "
         "review list and the auto-apply list",
         "a partial delete, or cached learned lists instead of re-reading the file on every call, would let a "
         "revoked pair reappear",
         [&log] {
             const std::string h = sentinel("e2erevoke-");
             const std::string w = "TARGET-" + h;
             for (int i = 0; i < 3; ++i) log.record(h, w, "", "A", CorrectionSource::observedEdit);
             auto inReview = [&] {
                 auto rows = log.learnedSubstitutionsForReview();
                 return std::make_pair(
                     std::any_of(
                         rows.begin(), rows.end(),
                         [&](const auto& r) { return text::lowercased(r.heard) == text::lowercased(h) && r.written == w; }),
                     rows);
             };
             auto inLearned = [&] {
                 auto rules = log.learnedSubstitutions();
                 return std::any_of(rules.begin(), rules.end(),
                                    [&](const auto& r) { return r.heard == h && r.written == w; });
             };
             auto [reviewBefore, rowsBefore] = inReview();
             const bool learnedBefore = inLearned();
             const int removed = log.deleteRecords(h, w);
             const bool reviewAfter = inReview().first;
             const bool learnedAfter = inLearned();
             if (!reviewBefore)
                 return SelfTestOutcome::fail(
                     "expected the 3x pair to appear in learnedSubstitutionsForReview() "
                     "before revoke, got " +
                     describe(rowsBefore));
             if (!learnedBefore)
                 return SelfTestOutcome::fail("expected the pair to appear in learnedSubstitutions() before revoke");
             if (removed != 3) return SelfTestOutcome::fail("expected 3 records removed, got " + std::to_string(removed));
             if (reviewAfter)
                 return SelfTestOutcome::fail(
                     "pair still present in learnedSubstitutionsForReview() after revoke — "
                     "revoke did not really delete the underlying records");
             if (learnedAfter)
                 return SelfTestOutcome::fail(
                     "pair still present in learnedSubstitutions() after revoke — "
                     "PolishEngine would keep auto-applying a rule the user just revoked");
             return SelfTestOutcome::pass();
         }});
    return out;
}

}  // namespace CorrectionLogSelfTests

ONDIRA_SELFTEST_SUITE("CorrectionLog", CorrectionLogSelfTests::cases);
