#include "Learning/PersonalModel.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

using Lines = std::vector<std::string>;

namespace {
// Enabled, both model files there, built for the language dictation is in.
PersonalModel::Status attachable() {
    PersonalModel::Status s;
    s.enabled = true;
    s.currentLocale = "en_US";
    s.corpusEntries = 6438;
    s.modelBytes = 3145728;
    s.vocabularyBytes = 1536;
    s.cachedEntryCount = 6367;
    s.cachedLocale = "en_US";
    s.cachedModelVersion = "1787853257";
    s.builtAtTimestamp = 1000.0;
    s.nowTimestamp = 1000.0 + 7200;
    return s;
}
}  // namespace

// The command line's report and the hub's panel print these lines as they
// are, so this one layout is what both show.
TEST(PersonalModelReport, LaysOutTheFactsThenTheBuildThenTheNotesSetApart) {
    PersonalModel::Status observed = attachable();
    observed.lastAttach = PersonalModel::AttachRecord{observed.nowTimestamp - 60, "en_US",
                                                      PersonalModel::RequestKind::audioFile, "1787853257"};
    observed.lastOutcome =
        PersonalModel::BuildOutcome{true, observed.nowTimestamp - 300, 512, "en_US", 1.34, {}, 2000};
    // The history now and the part of it the model was built from are told
    // apart, and so are the phrases read and those compiled; the road that
    // carried the model is named as the user knows it.
    EXPECT_EQ(PersonalModel::statusLines(observed),
              (Lines{"Personal model — on-device speech adaptation",
                     "",
                     "  Enabled                 yes",
                     "  Dictations in history   6438",
                     "  model.bin               present, 3.0 M",
                     "  vocabulary.bin          present, 2 K",
                     "  Built from              6367 dictations, locale en_US, 2h ago — rebuilt when the history "
                     "reaches 6567",
                     "  Locale now              en_US",
                     "  ATTACHED TO RECOGNITION YES",
                     "  Last observed attach    60s ago, a dictation's recording, decoded after the key was released, "
                     "locale en_US",
                     "",
                     "  Last build attempt      SUCCEEDED, 5m ago, took 1.3s",
                     "  Phrases read            2000",
                     "  Phrases compiled        512 — the other 1488 hold only words the recogniser already expects"}));
    // Each road in its own words.
    const struct {
        PersonalModel::RequestKind kind;
        const char* words;
    } roads[] = {{PersonalModel::RequestKind::streamingBuffer, "the live preview while a dictation was spoken"},
                 {PersonalModel::RequestKind::dictationTranscriber, "the dictation transcriber"}};
    for (const auto& road : roads) {
        observed.lastAttach->requestKind = road.kind;
        const Lines lines = PersonalModel::statusLines(observed);
        EXPECT_EQ(lines[9], std::string("  Last observed attach    60s ago, ") + road.words + ", locale en_US");
    }

    // A build record written before the phrases were counted apart counted
    // those read: it says so instead of passing them off as compiled.
    const auto older = PersonalModel::buildOutcome(nlohmann::json{{"succeeded", true},
                                                                  {"attemptedAtTimestamp", 1.0},
                                                                  {"phraseCount", 26},
                                                                  {"localeIdentifier", "en_US"},
                                                                  {"durationSeconds", 1.0}});
    ASSERT_TRUE(older);
    EXPECT_EQ(older->phrasesRead, 26);
    EXPECT_EQ(older->phraseCount, -1);
    const auto again = PersonalModel::buildOutcome(PersonalModel::toJSON(*older));
    ASSERT_TRUE(again);
    EXPECT_EQ(again->phrasesRead, 26);
    EXPECT_EQ(again->phraseCount, -1);
    observed.lastOutcome = older;
    const Lines fromOlder = PersonalModel::statusLines(observed);
    EXPECT_EQ(fromOlder[12], "  Phrases read            26");
    EXPECT_EQ(fromOlder[13], "  Phrases compiled        unknown — this build did not record it");

    PersonalModel::Status troubled = attachable();
    troubled.enabled = false;
    troubled.corpusEntries = 0;
    troubled.cachedEntryCount.reset();
    troubled.leftoverTrainingAssetBytes = 1536;
    troubled.lastAttach = PersonalModel::AttachRecord{troubled.nowTimestamp - 60, "en_US",
                                                      PersonalModel::RequestKind::audioFile, "1786000000"};
    troubled.lastOutcome =
        PersonalModel::BuildOutcome{false, troubled.nowTimestamp - 90, 0, "en_US", 0.44, "the compiler threw", std::nullopt};
    EXPECT_EQ(PersonalModel::statusLines(troubled),
              (Lines{"Personal model — on-device speech adaptation",
                     "",
                     "  Enabled                 no",
                     "  Dictations in history   0",
                     "  model.bin               present, 3.0 M",
                     "  vocabulary.bin          present, 2 K",
                     "  Built from              ? dictations, locale en_US, 2h ago",
                     "  Locale now              en_US",
                     "  ATTACHED TO RECOGNITION NO",
                     "  Last observed attach    STALE — carried an earlier model",
                     "",
                     "  Last build attempt      FAILED, 1m ago, took 0.4s",
                     "  Failure reason          the compiler threw",
                     "",
                     "  ! training_data.sflm is still on disk (2 K) — it is deleted only after a SUCCESSFUL "
                     "compile, so the compiler threw",
                     "  ! not attached because the feature is switched off",
                     "  ! the corpus is empty — nothing to learn from yet",
                     "  ! the last observed attach carried model version 1786000000, but the model on disk is "
                     "version 1787853257 — that observation says nothing about the model in use now"}));

    // Switched off, it is not rebuilt however the history grows: no date is promised.
    PersonalModel::Status off = attachable();
    off.enabled = false;
    EXPECT_EQ(PersonalModel::statusLines(off)[6], "  Built from              6367 dictations, locale en_US, 2h ago");

    // Without a build time or a build record there is nothing to date.
    PersonalModel::Status fresh = attachable();
    fresh.builtAtTimestamp.reset();
    const Lines lines = PersonalModel::statusLines(fresh);
    ASSERT_GE(lines.size(), 12u);
    EXPECT_EQ(lines[6], "  Built from              never — no metadata.json on disk");
    EXPECT_EQ(lines[11],
              "  Last build attempt      no record — the model has not been rebuilt since this record was added");
}
