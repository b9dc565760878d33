// `transcribe` run as a user runs it, on speech made with flite: the three
// output shapes, progress only on a terminal, and Ctrl+C.
#include "CLI/TranscribeCommand.h"
#include "Platform/FileIO.h"
#include "Platform/Unicode.h"
#include "unit/cli/CLIRun.h"
#include "unit/engine/SpeechFixtures.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {

void speak(const std::string& text, const fs::path& wav) {
    const fs::path script = wav.string() + ".txt";
    ASSERT_TRUE(platform::atomicWrite(script, text));
    const std::string command = "flite -voice slt -f '" + script.string() + "' -o '" + wav.string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

std::string ondira() { return std::string(ONDIRA_BUNDLE_DIR) + "/Ondira"; }

// Waits for the child, killing it if it outlives the limit (a hang, not a slow run).
int waitFor(pid_t pid, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void redirect(int target, const fs::path& file) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0) ::dup2(fd, target);
}

// `Ondira transcribe <wav> --out <out>` in the background, its streams in
// `dir`/stdout and `dir`/stderr.
pid_t startTranscribing(const fs::path& wav, const fs::path& out, const fs::path& dir) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        redirect(STDOUT_FILENO, dir / "stdout");
        redirect(STDERR_FILENO, dir / "stderr");
        ::execl(ondira().c_str(), "Ondira", "transcribe", wav.c_str(), "--out", out.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return pid;
}

struct SRTBlock {
    std::string number, timing, text;
};

std::vector<SRTBlock> blocks(const std::string& rendering, std::size_t headerLines) {
    std::vector<SRTBlock> out;
    const auto lines = platform::text::splitLines(rendering);
    std::size_t i = headerLines;
    while (i + 1 < lines.size()) {
        SRTBlock block;
        if (headerLines == 0) block.number = lines[i++];
        block.timing = lines[i++];
        block.text = lines[i++];
        out.push_back(block);
        if (i < lines.size() && lines[i].empty()) ++i;
    }
    return out;
}

}  // namespace

TEST(TranscribeProgressLine, BarPercentAndElapsedTime) {
    struct Row {
        double fraction;
        double elapsed;
        std::string expected;
    };
    const Row rows[] = {
        {0, 0, "[------------------------------]   0%  0:00"},
        {0.5, 65.9, "[###############---------------]  50%  1:05"},
        {0.999, 599, "[#############################-]  99%  9:59"},
        {1, 3725, "[##############################] 100%  1:02:05"},
        {1.7, -3, "[##############################] 100%  0:00"},
        {std::nan(""), 1, "[------------------------------]   0%  0:01"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(OndiraCLI::progressLine(row.fraction, row.elapsed), row.expected) << row.fraction;
    }
}

// A header's implausible sample rate is refused at once, and the message says so.
TEST(TranscribeCommand, AnImplausibleSampleRateIsNamedInTheFailure) {
    TempDir dir("ondira-transcribe-");
    const fs::path wav = dir / "onehertz.wav";
    speechfixtures::writeWav(wav, 2000.0, 0.1, 1);
    const CLIRun run = runOndira("transcribe '" + wav.string() + "'");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("the sample rate of 1 Hz is outside 4-384 kHz"), std::string::npos) << run.err;
}

TEST(TranscribeCommand, PrintsOrWritesTextSubtitlesAndCaptions) {
    TempDir dir("ondira-transcribe-");
    const fs::path wav = dir / "fox.wav";
    speak("The quick brown fox jumps over the lazy dog.", wav);

    const CLIRun plain = runOndira("transcribe '" + wav.string() + "'");
    ASSERT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(plain.err, "");  // not a terminal: no progress
    EXPECT_NE(plain.out.find("quick brown fox"), std::string::npos) << plain.out;
    ASSERT_TRUE(platform::text::hasSuffix(plain.out, "\n"));
    const std::string transcript = plain.out.substr(0, plain.out.size() - 1);
    EXPECT_EQ(transcript.find('\n'), std::string::npos);

    for (const char* format : {"txt", "srt", "vtt"}) {
        const fs::path out = dir / (std::string("fox.") + format);
        const CLIRun written = runOndira("transcribe '" + wav.string() + "' --" + format + " --out '" + out.string() + "'");
        ASSERT_EQ(written.status, 0) << format << ": " << written.err;
        EXPECT_EQ(written.out, "") << format;
        EXPECT_EQ(written.err, "Transcript written to " + out.string() + "\n") << format;
    }
    EXPECT_EQ(platform::readFile(dir / "fox.txt"), transcript);

    // The cues carry the transcript's words in order, numbered and timed in each shape's own way.
    const std::string srt = platform::readFile(dir / "fox.srt").value_or("");
    const std::string vtt = platform::readFile(dir / "fox.vtt").value_or("");
    ASSERT_EQ(vtt.rfind("WEBVTT\n\n", 0), 0u) << vtt;
    const auto srtBlocks = blocks(srt, 0);
    const auto vttBlocks = blocks(vtt, 2);
    ASSERT_FALSE(srtBlocks.empty()) << srt;
    ASSERT_EQ(srtBlocks.size(), vttBlocks.size());
    std::vector<std::string> words;
    const platform::text::Regex srtTiming(R"(^\d\d:\d\d:\d\d,\d{3} --> \d\d:\d\d:\d\d,\d{3}$)");
    for (std::size_t i = 0; i < srtBlocks.size(); ++i) {
        EXPECT_EQ(srtBlocks[i].number, std::to_string(i + 1));
        EXPECT_TRUE(srtTiming.isMatch(srtBlocks[i].timing)) << srtBlocks[i].timing;
        std::string vttTiming = srtBlocks[i].timing;
        for (auto& c : vttTiming) c = c == ',' ? '.' : c;
        EXPECT_EQ(vttBlocks[i].timing, vttTiming);
        EXPECT_EQ(vttBlocks[i].text, srtBlocks[i].text);
        words.push_back(srtBlocks[i].text);
    }
    EXPECT_EQ(platform::text::join(words, " "), transcript);

    // Standard output gets the same rendering, ended by one newline.
    EXPECT_EQ(runOndira("transcribe '" + wav.string() + "' --vtt").out, vtt);

    // The recording is never replaced by its own transcript, however it is named.
    const auto recording = platform::readFile(wav);
    const CLIRun onto = runOndira("transcribe '" + wav.string() + "' --out '" + (dir / "." / "fox.wav").string() + "'");
    EXPECT_EQ(onto.status, 1);
    EXPECT_EQ(onto.err.rfind("--out would replace the file being transcribed: ", 0), 0u) << onto.err;
    EXPECT_EQ(platform::readFile(wav), recording);
}

// A recording cut short (a copy or download that stopped) is transcribed as
// far as it goes, with a warning that says how much of the length its header
// gives was there; a whole one gets no warning. A FIFO is not a file to
// transcribe, and is not waited on.
TEST(TranscribeCommand, AFileThatEndsEarlyIsTranscribedWithAWarning) {
    TempDir dir("ondira-transcribe-");
    const fs::path wav = dir / "fox.wav";
    speak("The quick brown fox jumps over the lazy dog. Please call me tomorrow morning.", wav);
    ASSERT_TRUE(speechfixtures::encode(wav, "-c:a libmp3lame -b:a 64k", dir / "fox.mp3"));
    for (const char* name : {"fox.wav", "fox.mp3"}) {
        SCOPED_TRACE(name);
        const fs::path whole = dir / name;
        const CLIRun complete = runOndira("transcribe '" + whole.string() + "'");
        ASSERT_EQ(complete.status, 0) << complete.err;
        EXPECT_EQ(complete.err, "");

        const std::string bytes = platform::readFile(whole).value_or("");
        const fs::path cut = dir / ("cut-" + std::string(name));
        ASSERT_TRUE(platform::atomicWrite(cut, bytes.substr(0, bytes.size() / 2)));
        const CLIRun run = runOndira("transcribe '" + cut.string() + "'");
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.out.find("quick"), std::string::npos) << run.out;
        const std::string lead = "warning: " + cut.string() + " ends early: only ";
        ASSERT_EQ(run.err.rfind(lead, 0), 0u) << run.err;
        double read = 0, claimed = 0;
        ASSERT_EQ(std::sscanf(run.err.c_str() + lead.size(), "%lf s of the %lf s its header gives", &read, &claimed), 2)
            << run.err;
        EXPECT_NEAR(read, claimed / 2, 0.5) << run.err;
        EXPECT_TRUE(platform::text::hasSuffix(run.err, " s its header gives could be read; the transcript covers those\n"))
            << run.err;
    }

    const fs::path pipe = dir / "pipe.wav";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    const CLIRun fifo = runOndira("transcribe '" + pipe.string() + "'");
    EXPECT_EQ(fifo.status, 1);
    EXPECT_EQ(fifo.out, "");
    EXPECT_EQ(fifo.err,
              "Transcription failed: That's a named pipe (FIFO), not a regular file. Choose an audio or video file.\n");
}

TEST(TranscribeCommand, ShowsProgressOnATerminalAndErasesIt) {
    TempDir dir("ondira-transcribe-");
    const fs::path wav = dir / "fox.wav";
    speak("The quick brown fox jumps over the lazy dog. Please call me tomorrow morning.", wav);
    const fs::path out = dir / "stdout";

    int terminal = -1;
    const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        redirect(STDOUT_FILENO, out);
        ::execl(ondira().c_str(), "Ondira", "transcribe", wav.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    std::string screen;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(terminal, buffer, sizeof buffer);
        if (n > 0) screen.append(buffer, static_cast<std::size_t>(n));
        else if (n == 0 || errno != EINTR) break;  // EIO once the child has gone
    }
    ::close(terminal);
    EXPECT_EQ(waitFor(pid, std::chrono::seconds(120)), 0) << screen;

    EXPECT_EQ(screen.rfind("\r[", 0), 0u) << screen;
    EXPECT_NE(screen.find("%  0:0"), std::string::npos) << screen;
    EXPECT_EQ(screen.find('\n'), std::string::npos) << screen;  // one line, redrawn in place
    const std::size_t lastFrame = screen.rfind("\r[");
    const std::size_t width = screen.find('\r', lastFrame + 1) - lastFrame - 1;
    EXPECT_TRUE(platform::text::hasSuffix(screen, "\r" + std::string(width, ' ') + "\r")) << screen;
    EXPECT_NE(platform::readFile(out).value_or("").find("quick brown fox"), std::string::npos);
}

// Whether `pid` has a handler for SIGINT, from its SigCgt mask in /proc.
static bool catchesInterrupt(pid_t pid, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("SigCgt:", 0) != 0) continue;
            const unsigned long long caught = std::stoull(line.substr(7), nullptr, 16);
            if (caught & (1ull << (SIGINT - 1))) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

TEST(TranscribeCommand, CtrlCCancelsAndLeavesNoOutputFile) {
    TempDir dir("ondira-transcribe-");
    const fs::path wav = dir / "long.wav";
    std::string script;
    for (int i = 0; i < 12; ++i) script += "The quick brown fox jumps over the lazy dog. Please call me tomorrow morning. ";
    speak(script, wav);
    const fs::path transcript = dir / "long.txt";

    const pid_t pid = startTranscribing(wav, transcript, dir.path);
    ASSERT_GE(pid, 0);
    // Ctrl-C counts from the moment the command has taken it over; before
    // that it ends the process as any program's would. A loaded machine can
    // take longer than any fixed wait to get there.
    ASSERT_TRUE(catchesInterrupt(pid, std::chrono::seconds(60))) << "the command never took over Ctrl-C";
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ::kill(pid, SIGINT);
    EXPECT_EQ(waitFor(pid, std::chrono::seconds(60)), 1);

    EXPECT_EQ(platform::readFile(dir / "stderr"), "Transcription failed: Transcription was cancelled.\n");
    EXPECT_EQ(platform::readFile(dir / "stdout"), "");
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir.path)) left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"long.wav", "long.wav.txt", "stderr", "stdout"}));
}

// A destination that can't take the transcript is refused before any work:
// a pipe nobody reads would hold the command for good once the work is done,
// and a file its owner made read-only is not replaced.
TEST(TranscribeCommand, RefusesAnUnwritableDestinationBeforeTranscribing) {
    TempDir dir("ondira-transcribe-");
    const fs::path wav = dir / "fox.wav";
    speak("The quick brown fox jumps over the lazy dog.", wav);
    struct Row {
        const char* name;
        std::function<void(const fs::path&)> plant;
        const char* reason;
    };
    const std::vector<Row> rows = {
        {"pipe", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, "is a pipe nobody is reading from"},
        {"readonly.txt",
         [](const fs::path& p) {
             ASSERT_TRUE(platform::atomicWrite(p, "keep me", 0444));
         },
         "is read-only"},
    };
    for (const auto& row : rows) {
        const fs::path out = dir / row.name;
        row.plant(out);
        const pid_t pid = startTranscribing(wav, out, dir.path);
        ASSERT_GE(pid, 0);
        EXPECT_EQ(waitFor(pid, std::chrono::seconds(120)), 1) << row.name;
        EXPECT_EQ(platform::readFile(dir / "stderr"),
                  "could not write " + out.string() + ": " + out.string() + " " + row.reason + ": " +
                      std::strerror(row.name == std::string("pipe") ? ENXIO : EACCES) + "\n")
            << row.name;
        EXPECT_EQ(platform::readFile(dir / "stdout"), "") << row.name;
    }
    EXPECT_EQ(platform::readFile(dir / "readonly.txt"), "keep me");
    EXPECT_EQ(fs::status(dir / "readonly.txt").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
}
