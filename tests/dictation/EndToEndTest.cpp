// Ondira as a user meets it: launched with its own home, the hotkey held
// while speech plays into the sound server, the text checked in a focused
// field of another application and in the history.
#include <gtest/gtest.h>

#include "support/RequireService.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <glib.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <map>
#include <thread>

#include "Platform/FileIO.h"
#include "support/SoundLock.h"
#include "support/Speech.h"
#include "support/Subprocess.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

const std::string kPhrase = "please send the report to the team by friday";

void sleepFor(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

bool waitUntil(double seconds, const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline && !condition()) sleepFor(0.05);
    return condition();
}

std::string fileText(const fs::path& file) {
    auto bytes = platform::readFile(file);
    return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

// A child the test starts and always ends.
struct Child {
    GPid pid = 0;
    explicit Child(std::vector<std::string> args, const fs::path& output = {}) {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        gint out = -1;
        g_spawn_async_with_pipes(nullptr, argv.data(), nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &pid,
                                 nullptr, output.empty() ? nullptr : &out, nullptr, nullptr);
        if (out >= 0) {
            // Copies the child's output into `output` until it closes.
            std::thread([out, output] {
                std::ofstream sink(output, std::ios::app);
                char buf[4096];
                for (ssize_t n; (n = ::read(out, buf, sizeof buf)) > 0;) sink.write(buf, n).flush();
                ::close(out);
            }).detach();
        }
    }
    ~Child() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
            g_spawn_close_pid(pid);
        }
    }
};

class Keyboard {
public:
    Keyboard() : display_(XOpenDisplay(nullptr)) {}
    ~Keyboard() {
        if (display_) XCloseDisplay(display_);
    }
    bool ok() const { return display_ != nullptr; }
    void key(KeySym sym, bool down) {
        XTestFakeKeyEvent(display_, XKeysymToKeycode(display_, sym), down ? True : False, CurrentTime);
        XFlush(display_);
    }
    void tap(KeySym sym) {
        key(sym, true);
        sleepFor(0.08);
        key(sym, false);
    }
    // The pixels of the lower half of the screen, where the indicator shows.
    std::vector<unsigned long> lowerHalf() {
        const int screen = DefaultScreen(display_);
        const int w = DisplayWidth(display_, screen), h = DisplayHeight(display_, screen);
        XImage* image = XGetImage(display_, RootWindow(display_, screen), 0, h / 2, w, h / 2, AllPlanes, ZPixmap);
        std::vector<unsigned long> pixels;
        if (!image) return pixels;
        for (int y = 0; y < h / 2; y += 2)
            for (int x = 0; x < w; x += 2) pixels.push_back(XGetPixel(image, x, y));
        XDestroyImage(image);
        return pixels;
    }

private:
    Display* display_;
};

class DictationEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ONDIRA_REQUIRE_SERVICE(std::getenv("DISPLAY"), "no X display");
        ASSERT_TRUE(keyboard.ok());
        ASSERT_TRUE(testspeech::synthesize(kPhrase, speech));
        fs::create_directories(home);
        app = std::make_unique<Child>(
            std::vector<std::string>{"/usr/bin/env", "HOME=" + home.string(), "XDG_CONFIG_HOME=" + (home / ".config").string(),
                                     "XDG_DATA_HOME=" + (home / ".local/share").string(), ONDIRA_APP},
            log);
        ASSERT_TRUE(waitUntil(30, [&] { return fileText(log).find("Hotkey & Audio initialized") != std::string::npos; }))
            << fileText(log);
        // The hub comes up 0.1 s after launch; the field opens after it so it keeps the focus.
        ASSERT_TRUE(waitUntil(10, [&] { return fileText(log).find("Showing the dashboard hub.") != std::string::npos; }));
        sleepFor(1.0);
        window = std::make_unique<Child>(std::vector<std::string>{ONDIRA_TEXTWINDOW, field.string()});
        ASSERT_TRUE(waitUntil(15, [&] { return fs::exists(field.string() + ".ready"); }));
        sleepFor(0.5);
    }

    // Plays the test speech (or `file`) into the sound server's sink, to the end.
    void speak(const fs::path& file = {}) {
        const std::string command = "paplay '" + (file.empty() ? speech : file).string() + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }

    std::optional<fs::path> historyFile() {
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(home, ec); !ec && it != fs::recursive_directory_iterator();
             it.increment(ec))
            if (it->path().filename() == "dictation_log.jsonl") return it->path();
        return std::nullopt;
    }

    // The application's recordings in the temporary directory it shares with
    // this test, with their sizes.
    static std::map<fs::path, std::uintmax_t> recordings() {
        std::map<fs::path, std::uintmax_t> found;
        std::error_code ec;
        for (auto it = fs::directory_iterator(platform::temporaryDirectory(), ec); !ec && it != fs::directory_iterator();
             it.increment(ec)) {
            const std::string name = it->path().filename().string();
            if (name.rfind("ondira_rec_", 0) == 0) found[it->path()] = fs::file_size(it->path(), ec);
        }
        return found;
    }
    static std::map<fs::path, std::uintmax_t> newRecordings(const std::map<fs::path, std::uintmax_t>& before) {
        auto now = recordings();
        for (const auto& [file, size] : before) now.erase(file);
        return now;
    }

    SoundLock soundLock;
    TempDir dir{"ondira-e2e-"};
    fs::path home = dir / "home";
    fs::path log = dir / "ondira.log";
    fs::path field = dir / "field.txt";
    fs::path speech = dir / "speech.wav";
    Keyboard keyboard;
    std::unique_ptr<Child> app;
    std::unique_ptr<Child> window;
};

}  // namespace

TEST_F(DictationEndToEnd, HoldingTheHotkeyWhileSpeakingPutsTheCleanedTextInTheFieldAndTheHistory) {
    const auto empty = keyboard.lowerHalf();
    keyboard.key(XK_Control_R, true);
    // The indicator shows while recording.
    EXPECT_TRUE(waitUntil(5, [&] { return keyboard.lowerHalf() != empty; })) << "no indicator on screen while recording";
    speak();
    sleepFor(0.3);
    keyboard.key(XK_Control_R, false);

    ASSERT_TRUE(waitUntil(20, [&] { return !fileText(field).empty(); })) << fileText(log);
    sleepFor(0.5);
    const std::string text = fileText(field);
    EXPECT_GE(testspeech::wordsHeard(kPhrase, text), 0.7) << text;
    EXPECT_TRUE(std::isupper(static_cast<unsigned char>(text[0]))) << "cleaned text begins with a capital: " << text;

    auto history = historyFile();
    ASSERT_TRUE(history) << "no history file under the app's home";
    ASSERT_TRUE(waitUntil(5, [&] { return fileText(*history).find(text) != std::string::npos; }))
        << fileText(*history);
}

TEST_F(DictationEndToEnd, HissAboveTheSpeechBandOfAFortyEightKilohertzMicrophoneStaysOutOfTheText) {
    // Band noise between 9 and 20 kHz at 5 % of full scale, played at the
    // microphone's 48 kHz: a conversion to 16 kHz that lets it fold below
    // 8 kHz turns this sentence into other words.
    const std::string sentence = "could you move the budget review to next tuesday afternoon";
    const fs::path clean = dir / "budget.wav", hissy = dir / "budget-hiss.wav";
    ASSERT_TRUE(testspeech::synthesize(sentence, clean));
    ASSERT_TRUE(testspeech::withBandNoise(clean, hissy, 0.05));
    keyboard.key(XK_Control_R, true);
    sleepFor(0.3);
    speak(hissy);
    sleepFor(0.3);
    keyboard.key(XK_Control_R, false);

    ASSERT_TRUE(waitUntil(20, [&] { return !fileText(field).empty(); })) << fileText(log);
    sleepFor(0.5);
    const std::string text = fileText(field);
    EXPECT_LE(testspeech::wordErrorRate(sentence, testspeech::plainWords(text)), 0.3) << text;
}

TEST_F(DictationEndToEnd, EscapeDuringATakeInsertsNothing) {
    // A double tap starts a hands-free take, so Esc is pressed on its own.
    const auto before = recordings();
    keyboard.tap(XK_Control_R);
    sleepFor(0.1);
    keyboard.tap(XK_Control_R);
    sleepFor(0.5);
    const auto sizesAtStart = newRecordings(before);
    speak();
    // A take is running: one of the new recordings grew while the speech
    // played (a tap's short take stops at once and stays as it was).
    std::optional<fs::path> running;
    for (const auto& [file, size] : newRecordings(before)) {
        const auto start = sizesAtStart.find(file);
        if (start != sizesAtStart.end() && size > start->second) running = file;
    }
    ASSERT_TRUE(running) << "no take was recording when Esc was pressed\n" << fileText(log);
    keyboard.tap(XK_Escape);
    sleepFor(0.5);
    EXPECT_FALSE(fs::exists(*running)) << "Esc leaves the cancelled take's recording behind";
    // The key's next tap ends the hands-free session; nothing is left to stop.
    keyboard.tap(XK_Control_R);
    sleepFor(4.0);
    EXPECT_EQ(fileText(field), "");
    auto history = historyFile();
    EXPECT_TRUE(!history || fileText(*history).find("report") == std::string::npos) << fileText(*history);
}
