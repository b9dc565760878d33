// Transcript renderings and the writer: what the players' parsers would trip
// over can't get into a cue, and the writer replaces files whole.
#include "Engine/FileTranscriber.h"
#include "Platform/FileIO.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sys/stat.h>

using namespace FileTranscriber;

TEST(TranscriptTimestamps, RoundClampAndLongHours) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<std::pair<double, std::string>> cases = {
        {1.2346, "00:00:01,235"}, {3725.5, "01:02:05,500"}, {-5, "00:00:00,000"},
        {nan, "00:00:00,000"},    {-inf, "00:00:00,000"},   {360000.0, "100:00:00,000"},
        {0.0005, "00:00:00,001"},
    };
    for (const auto& [seconds, expected] : cases) EXPECT_EQ(srtTimestamp(seconds), expected) << seconds;
    EXPECT_EQ(vttTimestamp(3725.5), "01:02:05.500");
    // Infinity can't become a number of milliseconds; it prints as a large, well-formed time.
    EXPECT_NE(srtTimestamp(inf).find(","), std::string::npos);
}

TEST(TranscriptCues, BadTimesStayWellFormed) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<Segment> segments = {{"first", nan, 1.0}, {"second", 3.0, nan}, {"third", -2.0, -1.0}};
    EXPECT_EQ(formatSRT(segments),
              "1\n00:00:00,000 --> 00:00:01,000\nfirst\n\n"
              "2\n00:00:03,000 --> 00:00:03,000\nsecond\n\n"
              "3\n00:00:00,000 --> 00:00:00,000\nthird\n");
}

TEST(TranscriptCues, TextCannotEndACueOrForgeATimingLine) {
    const std::vector<Segment> segments = {
        {"go --> there", 0, 1},
        {"one\n\ntwo\r\n \r\nthree", 1, 2},
        {"  \n ", 2, 3},  // nothing left to show: no cue at all
        {"a < b & c", 3, 4},
    };
    EXPECT_EQ(formatSRT(segments),
              "1\n00:00:00,000 --> 00:00:01,000\ngo -> there\n\n"
              "2\n00:00:01,000 --> 00:00:02,000\none\ntwo\nthree\n\n"
              "3\n00:00:03,000 --> 00:00:04,000\na < b & c\n");
    EXPECT_EQ(formatVTT(segments),
              "WEBVTT\n\n"
              "00:00:00.000 --> 00:00:01.000\ngo --&gt; there\n\n"
              "00:00:01.000 --> 00:00:02.000\none\ntwo\nthree\n\n"
              "00:00:03.000 --> 00:00:04.000\na &lt; b &amp; c\n");
}

TEST(TranscriptWriter, ReplacesAtomicallyAndReportsFailures) {
    TempDir dir;
    const auto file = dir / "out.txt";
    writeTranscript("old text that is longer", file);
    writeTranscript("new", file);
    EXPECT_EQ(platform::readFile(file).value_or(""), "new");
    // No temporary file is left beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 1);

    EXPECT_THROW(writeTranscript("x", dir / "missing-folder" / "out.txt"), std::system_error);
}
