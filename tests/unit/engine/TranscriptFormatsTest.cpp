// Transcript renderings and the writer: what the players' parsers would trip
// over can't get into a cue, and the writer replaces files whole.
#include "Engine/FileTranscriber.h"
#include "Platform/FileIO.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <limits>
#include <sys/stat.h>

using namespace FileTranscriber;

TEST(TranscriptTimestamps, RoundClampAndLongHours) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<std::pair<double, std::string>> cases = {
        {1.2346, "00:00:01,235"}, {3725.5, "01:02:05,500"},    {-5, "00:00:00,000"},     {nan, "00:00:00,000"},
        {-inf, "00:00:00,000"},   {360000.0, "100:00:00,000"}, {0.0005, "00:00:00,001"},
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

// What the user names with --out is written to, never replaced by a regular
// file: a symlink stays a link, a FIFO and a device get the text, and an
// existing file keeps its mode.
TEST(TranscriptWriter, WritesThroughLinksPipesAndDevicesAndKeepsTheMode) {
    TempDir dir;
    const auto file = dir / "private.txt";
    writeTranscript("old", file);
    std::filesystem::permissions(file, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    writeTranscript("new", file);
    EXPECT_EQ(std::filesystem::status(file).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

    const auto link = dir / "link.txt";
    std::filesystem::create_symlink(file, link);
    writeTranscript("through the link", link);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(platform::readFile(file).value_or(""), "through the link");

    const auto fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    writeTranscript("piped", fifo);
    char buffer[16] = {};
    EXPECT_EQ(::read(reader, buffer, sizeof buffer), 5);
    ::close(reader);
    EXPECT_TRUE(std::filesystem::is_fifo(fifo));

    const auto null = dir / "null";
    std::filesystem::create_symlink("/dev/null", null);
    writeTranscript("gone", null);
    EXPECT_TRUE(std::filesystem::is_symlink(null));
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
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
