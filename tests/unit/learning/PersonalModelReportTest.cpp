#include "Learning/PersonalModel.h"

#include <gtest/gtest.h>

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
    observed.lastOutcome = PersonalModel::BuildOutcome{true, observed.nowTimestamp - 300, 512, "en_US", 1.34, {}};
    EXPECT_EQ(PersonalModel::statusLines(observed),
              (Lines{"Personal model — on-device speech adaptation",
                     "",
                     "  Enabled                 yes",
                     "  Corpus entries          6438",
                     "  model.bin               present, 3.0 M",
                     "  vocabulary.bin          present, 2 K",
                     "  Compiled from           6367 entries, locale en_US, 2h ago",
                     "  Locale now              en_US",
                     "  ATTACHED TO RECOGNITION YES",
                     "  Last observed attach    60s ago, audio file, locale en_US",
                     "",
                     "  Last build attempt      SUCCEEDED, 5m ago, took 1.3s",
                     "  Phrases compiled        512"}));

    PersonalModel::Status troubled = attachable();
    troubled.enabled = false;
    troubled.corpusEntries = 0;
    troubled.cachedEntryCount.reset();
    troubled.leftoverTrainingAssetBytes = 1536;
    troubled.lastAttach = PersonalModel::AttachRecord{troubled.nowTimestamp - 60, "en_US",
                                                      PersonalModel::RequestKind::audioFile, "1786000000"};
    troubled.lastOutcome =
        PersonalModel::BuildOutcome{false, troubled.nowTimestamp - 90, 0, "en_US", 0.44, "the compiler threw"};
    EXPECT_EQ(PersonalModel::statusLines(troubled),
              (Lines{"Personal model — on-device speech adaptation",
                     "",
                     "  Enabled                 no",
                     "  Corpus entries          0",
                     "  model.bin               present, 3.0 M",
                     "  vocabulary.bin          present, 2 K",
                     "  Compiled from           ? entries, locale en_US, 2h ago",
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

    // Without a build time or a build record there is nothing to date.
    PersonalModel::Status fresh = attachable();
    fresh.builtAtTimestamp.reset();
    const Lines lines = PersonalModel::statusLines(fresh);
    ASSERT_GE(lines.size(), 12u);
    EXPECT_EQ(lines[6], "  Compiled from           never — no metadata.json on disk");
    EXPECT_EQ(lines[11],
              "  Last build attempt      no record — the model has not been rebuilt since this record was added");
}
