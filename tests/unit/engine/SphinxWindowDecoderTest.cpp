// The decoder a file window is recognised with: its word times are times in
// the window's audio, silence included, so a transcript's timestamps and the
// joining of overlapping windows line up with the file.
#include <gtest/gtest.h>

#include <filesystem>

#include "Engine/AudioBuffers.h"
#include "Engine/SphinxWindowRecognizer.h"
#include "support/TempDir.h"
#include "support/Speech.h"

namespace fs = std::filesystem;

namespace {

TEST(SphinxWindowDecoder, WordTimesCountTheSilenceBeforeTheWords) {
    const auto model = SphinxWindowRecognizer::modelFor("en_US");
    ASSERT_TRUE(model) << "the US English model (pocketsphinx-en-us) must be installed";
    TempDir dir("ondira-window-decoder-");
    const fs::path spoken = dir.path / "speech.wav";
    ASSERT_TRUE(testspeech::synthesize("please send the report to the team", spoken)) << "flite must be installed";
    auto file = AudioFile::openForReading(spoken, nullptr);
    ASSERT_TRUE(file);
    ASSERT_EQ(file->fileFormat().sampleRate, 16000.0);

    constexpr double leadingSilence = 3.0;
    std::vector<float> window(static_cast<std::size_t>(leadingSilence * 16000), 0.0f);
    const std::vector<float> speech = file->readMonoFloat(nullptr);
    window.insert(window.end(), speech.begin(), speech.end());

    SphinxWindowRecognizer::Recognizer recognizer(*model);
    const auto segments = recognizer.recognize(window);
    ASSERT_FALSE(segments.empty());
    // A decoder that dropped the silent frames would place the first word
    // near the start of the window.
    EXPECT_GE(segments.front().startSeconds, leadingSilence - 0.3) << segments.front().text;
    EXPECT_LE(segments.back().endSeconds, static_cast<double>(window.size()) / 16000 + 0.05);
}

}  // namespace
