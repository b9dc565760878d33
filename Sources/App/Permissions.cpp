#include "App/Permissions.h"

#include "Engine/MicrophoneRecorder.h"
#include "Engine/SpeechEngine.h"
#include "Engine/TranscriptionTypes.h"
#include "Platform/Launch.h"
#include "Platform/LinuxNames.h"
#include "Platform/Log.h"
#include "Platform/Queues.h"
#include "Platform/SystemReadiness.h"
#include "Platform/Unicode.h"
#include "UI/Notice.h"
#include "Engine/SphinxRecognizer.h"

#include <gtk/gtk.h>

#include <mutex>

namespace {

// The probes run on a worker; a service that stops answering still must not
// hold the answers of the others up for long.
constexpr double soundServerTimeoutSeconds = 1.0;
constexpr int accessibilityBusTimeoutMs = 1000;

std::mutex gProbesLock;
OndiraPermission::Probes gProbes;

bool microphoneAvailable() { return MicrophoneRecorder::isMicrophoneAuthorized(); }

// The same checks a recognition makes before it decodes: some model is
// installed, and one serves the recognition language.
bool speechModelInstalled() {
    SpeechEngine& engine = SpeechEngine::shared();
    try {
        engine.ensureSpeechAuthorization();
        const auto resolved = SpeechEngine::supportedLocale(engine.locale());
        if (!resolved) return false;
        engine.ensureSpeechModelInstalled(SpeechEngine::selectedModernPath(SpeechEngine::isDictationTranscriberEnabled()),
                                          *resolved);
        return true;
    } catch (const TranscriptionError&) {
        return false;
    }
}

// Reading the focused field needs the AT-SPI bus up and switched on (other
// toolkits than GTK only export their widgets then); typing needs XTest.
// Asked through the watches: the refresh asks every few seconds.
bool accessibilityAvailable() {
    const auto bus = platform::readiness::watchedAccessibilityBus(accessibilityBusTimeoutMs);
    if (!bus.reachable || !bus.enabled.value_or(false)) return false;
    return platform::readiness::watchedXTest().available;
}

std::string languageOf(const std::string& locale) {
    const auto end = locale.find_first_of("_-.@");
    return platform::text::lowercased(locale.substr(0, end));
}

OndiraPermission::Diagnosis diagnoseMicrophone() {
    OndiraPermission::Diagnosis d;
    const auto sound = platform::readiness::watchedSoundServer(soundServerTimeoutSeconds);
    d.granted = sound.reachable && sound.defaultSourceExists;
    if (d.granted) return d;
    d.impact = "Ondira can't record until it is back.";
    if (!sound.reachable) {
        d.problem = "The sound server isn't running" + (sound.error.empty() ? std::string(".") : " (" + sound.error + ").");
        d.command = LinuxNames::soundServerStartCommand;
    } else {
        d.problem = sound.defaultSource.empty() ? "The sound server has no input source."
                                                : "The sound server's input “" + sound.defaultSource + "” isn't there.";
        d.command = LinuxNames::chooseInputSourceCommand;
    }
    d.fixableByButton = !OndiraPermission(OndiraPermission::microphone).settingsPage().command.empty();
    return d;
}

OndiraPermission::Diagnosis diagnoseSpeech() {
    OndiraPermission::Diagnosis d;
    d.granted = speechModelInstalled();
    if (d.granted) return d;
    d.impact = "Ondira can't turn speech into text until it is back.";
    const std::string locale = SpeechEngine::shared().locale();
    const std::string language = TranscriptionError::languageName(locale);
    std::string package;
    for (const auto& row : LinuxNames::speechModelPackages)
        if (languageOf(locale) == row[0]) package = row[1];
    if (!package.empty()) {
        d.problem = "No speech model for " + language + " is installed. Install the package " + package + ".";
        d.command = LinuxNames::packageInstallCommand + package;
    } else {
        d.problem = "No speech model for " + language +
                    " is installed, and none is packaged for this system. Put a "
                    "pocketsphinx model for it into " +
                    SphinxModels::modelDirectory().string() + ", or choose another language in the hub.";
    }
    return d;
}

OndiraPermission::Diagnosis diagnoseAccessibility() {
    OndiraPermission::Diagnosis d;
    const auto xtest = platform::readiness::watchedXTest();
    const auto bus = platform::readiness::watchedAccessibilityBus(accessibilityBusTimeoutMs);
    d.granted = xtest.available && bus.reachable && bus.enabled.value_or(false);
    if (d.granted) return d;
    if (!xtest.available) {
        d.impact = "Ondira can't type into other apps until it is back.";
        // No button can add an extension to the X server.
        d.problem = "The display doesn't accept synthetic key events (XTest" +
                    (xtest.error.empty() ? std::string(")") : ": " + xtest.error + ")") +
                    ", so Ondira can't type. Log in to an X11 (Xorg) session.";
        return d;
    }
    // Typing and pasting go through XTest; the bus only tells whether the
    // text landed and which words the focused app shows.
    d.impact = "Dictation still types and pastes, but Ondira can't check that the text landed, nor recognise a "
               "password field.";
    if (!bus.reachable) {
        d.problem = "The accessibility bus isn't running" + (bus.error.empty() ? std::string(".") : " (" + bus.error + ").");
        d.command = "/usr/libexec/at-spi-bus-launcher --launch-immediately &";
        return d;
    }
    d.problem = std::string("The desktop's ") + LinuxNames::assistiveTechnologiesName + " are switched off.";
    d.command = "gsettings set org.gnome.desktop.interface toolkit-accessibility true";
    d.fixableByButton = true;
    return d;
}

// One worker for every probe, so probes never pile up on a stalled service.
platform::SerialQueue& probeQueue() {
    static auto* queue = new platform::SerialQueue("permission probes", platform::QoS::userInitiated);
    return *queue;
}

bool isOnPath(const std::string& program) {
    gchar* found = g_find_program_in_path(program.c_str());
    const bool installed = found != nullptr;
    g_free(found);
    return installed;
}

}  // namespace

// ---------------------------------------------------------------- OndiraPermission

const std::array<OndiraPermission, 3>& OndiraPermission::allCases() {
    static const std::array<OndiraPermission, 3> cases = {microphone, speech, accessibility};
    return cases;
}

std::optional<OndiraPermission> OndiraPermission::fromRawValue(std::string_view raw) {
    for (OndiraPermission p : allCases())
        if (raw == p.rawValue()) return p;
    return std::nullopt;
}

const char* OndiraPermission::rawValue() const {
    switch (value_) {
        case microphone: return "microphone";
        case speech: return "speech";
        case accessibility: return "accessibility";
    }
    return "";
}

const char* OndiraPermission::title() const {
    switch (value_) {
        case microphone: return "Microphone";
        case speech: return "Speech Recognition";
        case accessibility: return "Accessibility";
    }
    return "";
}

std::string OndiraPermission::why() const {
    switch (value_) {
        case microphone: return std::string("Captures your voice. Audio never leaves ") + LinuxNames::thisComputer + ".";
        case speech: return std::string("Runs ") + LinuxNames::onDeviceModelOwner + " on-device transcription model.";
        case accessibility:
            return "Lets Ondira type the text into the app you are using. Password fields are recognised, and get "
                   "no text, only while this is on.";
    }
    return "";
}

void OndiraPermission::setProbes(Probes probes) {
    std::lock_guard<std::mutex> guard(gProbesLock);
    gProbes = std::move(probes);
}

OndiraPermission::Probes OndiraPermission::realProbes() {
    return {microphoneAvailable, speechModelInstalled, accessibilityAvailable};
}

bool OndiraPermission::isGranted() const {
    std::function<bool()> probe;
    {
        std::lock_guard<std::mutex> guard(gProbesLock);
        probe = value_ == microphone ? gProbes.microphone : value_ == speech ? gProbes.speech : gProbes.accessibility;
    }
    if (!probe) {
        const Probes real = realProbes();
        probe = value_ == microphone ? real.microphone : value_ == speech ? real.speech : real.accessibility;
    }
    return probe();
}

bool OndiraPermission::allGranted() {
    for (OndiraPermission p : allCases())
        if (!p.isGranted()) return false;
    return true;
}

OndiraPermission::SettingsPage OndiraPermission::settingsPage(
    const std::function<bool(const std::string& program)>& isInstalled) const {
    SettingsPage page;
    switch (value_) {
        case microphone: page.instructions = LinuxNames::microphoneAccessRemedy; break;
        case speech: page.instructions = LinuxNames::speechRecognitionAccessRemedy; break;
        case accessibility: page.instructions = LinuxNames::accessibilityAccessRemedy; break;
    }
    for (const auto& row : LinuxNames::settingsPanes) {
        if (rawValue() != std::string_view(row[0]) || !isInstalled(row[1])) continue;
        page.command = {row[1], row[2]};
        break;
    }
    return page;
}

OndiraPermission::SettingsPage OndiraPermission::settingsPage() const { return settingsPage(isOnPath); }

void OndiraPermission::openSystemSettings() const {
    const SettingsPage page = settingsPage();
    if (!page.command.empty()) {
        std::string error;
        if (platform::startProgram(page.command, &error)) return;
        platform::log("Permissions", "Could not open " + page.command[0] + ": " + error);
    }
    Notice::show(title(), page.instructions);
}

void OndiraPermission::deliverGrant(bool granted, std::function<void(bool)> completion) {
    platform::MainQueue::async([granted, completion = std::move(completion)] {
        if (completion) completion(granted);
    });
}

void OndiraPermission::deliverSpeechStatus(SpeechStatus status, std::function<void(SpeechStatus)> completion) {
    platform::MainQueue::async([status, completion = std::move(completion)] {
        if (completion) completion(status);
    });
}

OndiraPermission::Diagnosis OndiraPermission::diagnose() const {
    // A test's stand-in probe decides the grant; the words come from the desktop.
    bool replaced;
    {
        std::lock_guard<std::mutex> guard(gProbesLock);
        replaced = value_ == microphone ? bool(gProbes.microphone)
                   : value_ == speech   ? bool(gProbes.speech)
                                        : bool(gProbes.accessibility);
    }
    Diagnosis d = value_ == microphone ? diagnoseMicrophone()
                  : value_ == speech   ? diagnoseSpeech()
                                       : diagnoseAccessibility();
    if (replaced) {
        d.granted = isGranted();
        if (d.granted) {
            d = Diagnosis{};
            d.granted = true;
        } else if (d.problem.empty()) d.problem = std::string(title()) + " is not available.";
    }
    return d;
}

namespace {
// Every grant by id, asked now (the probe queue).
std::map<std::string, bool> askAllGrants() {
    std::map<std::string, bool> grants;
    for (OndiraPermission p : OndiraPermission::allCases()) grants[p.id()] = p.isGranted();
    return grants;
}
}  // namespace

void OndiraPermission::probeAllAsync(std::function<void(std::map<std::string, bool>)> completion) {
    probeQueue().async([completion = std::move(completion)] {
        const std::map<std::string, bool> grants = askAllGrants();
        platform::MainQueue::async([completion, grants] { completion(grants); });
    });
}

void OndiraPermission::probeChangesAsync(const std::shared_ptr<RepeatedProbe>& probe) {
    {
        std::lock_guard<std::mutex> guard(probe->lock);
        if (probe->busy) {
            probe->again = true;
            return;
        }
        probe->busy = true;
    }
    probeQueue().async([probe] {
        for (;;) {
            const std::map<std::string, bool> grants = askAllGrants();
            if (grants != probe->last) {
                probe->last = grants;
                platform::MainQueue::async([probe, grants] { probe->changed(grants); });
            }
            std::lock_guard<std::mutex> guard(probe->lock);
            if (!probe->again) {
                probe->busy = false;
                return;
            }
            probe->again = false;
        }
    });
}

void OndiraPermission::diagnoseAllAsync(std::function<void(std::vector<Diagnosis>)> completion) {
    probeQueue().async([completion = std::move(completion)] {
        std::vector<Diagnosis> all;
        for (OndiraPermission p : allCases()) all.push_back(p.diagnose());
        platform::MainQueue::async([completion, all] { completion(all); });
    });
}

bool OndiraPermission::allGranted(const std::map<std::string, bool>& grants) {
    for (OndiraPermission p : allCases()) {
        const auto it = grants.find(p.id());
        if (it == grants.end() || !it->second) return false;
    }
    return true;
}

OndiraPermission::SpeechStatus OndiraPermission::speechAuthorizationStatus() {
    return OndiraPermission(speech).isGranted() ? SpeechStatus::authorized : SpeechStatus::denied;
}

FirstWindow firstWindow(bool onboardingNeededAtLaunch, bool allGrantedNow) {
    if (!onboardingNeededAtLaunch) return FirstWindow::hub;
    return allGrantedNow ? FirstWindow::none : FirstWindow::onboarding;
}
