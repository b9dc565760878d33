#pragma once
// The three things a dictation needs from the desktop, each tested live:
// the microphone (the sound server offers a default input source), speech
// recognition (the on-device model for the recognition language is
// installed) and accessibility (the AT-SPI bus is up and switched on, and
// the X server can synthesise key events). Nothing here asks for anything;
// each test only looks.
#include <array>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

class OndiraPermission {
public:
    enum Value { microphone, speech, accessibility };

    constexpr OndiraPermission(Value value) : value_(value) {}
    constexpr operator Value() const { return value_; }

    // microphone, speech, accessibility: every loop over the grants uses this order.
    static const std::array<OndiraPermission, 3>& allCases();
    static std::optional<OndiraPermission> fromRawValue(std::string_view raw);

    const char* rawValue() const;
    std::string id() const { return rawValue(); }
    const char* title() const;
    std::string why() const;

    // Asks the desktop now; never prompts.
    bool isGranted() const;
    // True when every grant is there, tested in order (main thread).
    static bool allGranted();

    // Where the grant is given: a settings panel of the desktop when one is
    // installed, and always the words that tell the user what to do.
    struct SettingsPage {
        std::vector<std::string> command;  // empty when no panel is installed
        std::string instructions;
    };
    // `isInstalled` answers whether a program is on the PATH.
    SettingsPage settingsPage(const std::function<bool(const std::string& program)>& isInstalled) const;
    SettingsPage settingsPage() const;
    // Opens the panel, or shows the instructions when there is none.
    void openSystemSettings() const;

    // Hand a request's answer to the caller, later, on the main queue.
    static void deliverGrant(bool granted, std::function<void(bool)> completion);
    enum class SpeechStatus { notDetermined, denied, restricted, authorized };
    static void deliverSpeechStatus(SpeechStatus status, std::function<void(SpeechStatus)> completion);
    // The speech grant as a status: authorised when the model is installed.
    static SpeechStatus speechAuthorizationStatus();

    // What stands in the way of a grant and what fixes it, for the rows of
    // onboarding. Asks the desktop, so it may wait: never on the main thread.
    struct Diagnosis {
        bool granted = false;
        std::string problem;           // what is wrong, in the user's words; empty when granted
        std::string command;           // a command that fixes it, shown to copy; may be empty
        bool fixableByButton = false;  // the row's button fixes it (or opens the panel that does)
        std::string impact;            // what Ondira can't do while it stays so; empty when granted
    };
    Diagnosis diagnose() const;

    // Asks the three grants on a worker thread and hands the answers (by id)
    // to `completion` on the main queue, so a service that stops answering
    // never stalls the windows.
    static void probeAllAsync(std::function<void(std::map<std::string, bool>)> completion);
    static void diagnoseAllAsync(std::function<void(std::vector<Diagnosis>)> completion);

    // For a refresh that asks again and again (the permission watch): one
    // pass at a time on the worker, a request meanwhile runs one more pass
    // after it, and the answers go to `changed` on the main queue only when
    // one differs from the previous pass's (the first pass always), so a
    // pass that finds nothing changed does not wake the main thread.
    struct RepeatedProbe {
        std::function<void(std::map<std::string, bool>)> changed;
        std::mutex lock;
        bool busy = false;
        bool again = false;
        std::optional<std::map<std::string, bool>> last;  // the worker's alone
    };
    static void probeChangesAsync(const std::shared_ptr<RepeatedProbe>& probe);
    static bool allGranted(const std::map<std::string, bool>& grants);

    // The live tests behind isGranted. Tests replace them; an empty
    // function stands for the real test.
    struct Probes {
        std::function<bool()> microphone;
        std::function<bool()> speech;
        std::function<bool()> accessibility;
    };
    static void setProbes(Probes probes);
    static Probes realProbes();

private:
    Value value_;
};

// The window shown just after launch: onboarding when a grant was missing at
// launch and still is, none when they all came in meanwhile, else the hub.
enum class FirstWindow { hub, onboarding, none };
FirstWindow firstWindow(bool onboardingNeededAtLaunch, bool allGrantedNow);
