// The doctor report: whether each piece a dictation needs is ready on this
// machine, and what to do about the ones that are not.
#include "Base/AppPaths.h"
#include "Base/DictationErrorKind.h"
#include "CLI/OndiraCLI.h"
#include "Engine/SpeechEngine.h"
#include "Engine/SphinxRecognizer.h"
#include "Platform/LinuxNames.h"
#include "Engine/SpeechEngine.h"
#include "Learning/DictationLogger.h"
#include "Learning/PersonalModel.h"
#include "Platform/Bundle.h"
#include "Platform/SystemReadiness.h"
#include "Platform/Unicode.h"
#include "Text/Snippets.h"
#include "Text/Vocabulary.h"

#include <algorithm>

namespace OndiraCLI {

namespace {

const char* kDash = " \u2014 ";

std::string line(const std::string& label, const std::string& value) {
    std::string padded = label;
    if (padded.size() < 19) padded.append(19 - padded.size(), ' ');
    return padded + ": " + value;
}

std::string plural(int count, const std::string& singular, const std::string& pluralForm) {
    return std::to_string(count) + " " + (count == 1 ? singular : pluralForm);
}

const std::vector<std::string>& knownHotkeys() {
    static const std::vector<std::string> modes = {
        "fn", "altspace", "f13", "f14", "controlcommandspace", "controlshiftspace"};
    return modes;
}

std::string soundServerValue(const DoctorState& s) {
    if (s.soundServer) return *s.soundServer + " (running)";
    return "NOT reachable (" + s.soundServerError + ")" + kDash +
           MicrophoneFaults::remedy(MicrophoneFault::soundServerNotRunning);
}

std::string microphoneValue(const DoctorState& s) {
    if (!s.soundServer) return std::string("unknown") + kDash + "the sound server must run first";
    if (!s.microphoneAuthorized) {
        return "NOT ready: " + MicrophoneFaults::problem(MicrophoneFault::noInputDevice) + kDash +
               MicrophoneFaults::remedy(MicrophoneFault::noInputDevice);
    }
    std::string value = "ready, default source " + s.defaultSource;
    if (s.defaultSourceIsMonitor) {
        value += std::string(" (the monitor of an output, not a microphone)") + kDash +
                 "choose a real input under Input Devices in pavucontrol";
    }
    return value;
}

std::string speechModelValue(const DoctorState& s) {
    if (s.onDeviceSpeechSupported) return "installed (" + s.speechModelPath + ")";
    return "NOT installed (" + s.speechModelMissing + " is missing)" + kDash +
           "install it: sudo apt install pocketsphinx-en-us";
}

std::string speechLanguageValue(const DoctorState& s) {
    if (s.speechLanguageModel) {
        if (*s.speechLanguageModel == s.speechLanguage) return s.speechLanguage + " (its own model)";
        return s.speechLanguage + ", recognised with the " + *s.speechLanguageModel + " model of the same language";
    }
    const std::string language = s.speechLanguage.substr(0, s.speechLanguage.find_first_of("_-.@"));
    for (const auto& row : LinuxNames::speechModelPackages)
        if (language == row[0])
            return s.speechLanguage + ": NO installed model" + kDash + "install it: " + LinuxNames::packageInstallCommand +
                   row[1];
    return s.speechLanguage + ": NO installed model" + kDash +
           "no model is packaged for this language; choose another in the hub or put a pocketsphinx model into the model "
           "directory";
}

std::string accessibilityValue(const DoctorState& s) {
    if (!s.accessibilityTrusted) {
        return std::string("NOT reachable (focused-text reading will not work)") + kDash +
               "install at-spi2-core and log in again";
    }
    std::string value = "AT-SPI bus reachable";
    if (s.assistiveTechnologiesEnabled == false) {
        value += std::string(", assistive technologies off") + kDash +
                 "turn them on: gsettings set org.gnome.desktop.interface toolkit-accessibility true";
    }
    return value;
}

std::string keyInjectionValue(const DoctorState& s) {
    if (s.xtestAvailable) return "XTest available";
    return std::string("NOT available (typing and paste will not work)") + kDash +
           "run Ondira in an X11 session whose X server has the XTEST extension";
}

std::string displayValue(const DoctorState& s) {
    if (s.displaySession == "x11") return "X11 (" + s.displayDetail + ")";
    if (s.displaySession == "wayland") {
        return "Wayland (" + s.displayDetail + ")" + kDash +
               "global hotkeys and typing need X11: choose an X11 (Xorg) session at the login screen";
    }
    return "none (" + s.displayDetail + ")" + kDash + "start Ondira inside a graphical X11 session";
}

std::string hotkeyValue(const DoctorState& s) {
    if (!s.hotkeyRecognised) {
        return "'" + s.hotkey + "' in config.json is not a hotkey" + kDash + "set \"hotkey\" to one of " + [] {
            std::string all;
            for (const auto& m : knownHotkeys()) all += (all.empty() ? "" : ", ") + m;
            return all;
        }();
    }
    if (s.hotkeyFromConfig) return s.hotkey + " (config.json)";
    // A file that could not be read may well set another key: the default is
    // what dictation uses now, not what the user chose.
    if (!s.configProblem.empty())
        return s.hotkey + " (default; config.json could not be read: " + s.configProblem + ")" + kDash +
               "repair or remove the file";
    return s.hotkey + " (default; config.json sets none)";
}

std::string polishValue(const DoctorState& s) {
    std::string value = s.polishHelperPresent ? std::string("present")
                                              : "MISSING" + std::string(kDash) + "reinstall Ondira: mirvane belongs in " +
                                                    s.polishHelperDirectory;
    if (s.polishAvailable) {
        value += std::string(kDash) + (*s.polishAvailable ? "available" : "unavailable");
        if (!s.polishReason.empty()) value += " (" + s.polishReason + ")";
    }
    return value;
}

}  // namespace

std::vector<std::string> doctorLines(const DoctorState& s) {
    std::vector<std::string> lines = {
        line("sound server", soundServerValue(s)),    line("microphone", microphoneValue(s)),
        line("speech model", speechModelValue(s)),    line("speech language", speechLanguageValue(s)),
        line("accessibility", accessibilityValue(s)), line("key injection", keyInjectionValue(s)),
        line("display session", displayValue(s)),     line("hotkey", hotkeyValue(s)),
        line("polish helper", polishValue(s)),
    };
    if (s.personalModelEnabled) {
        std::string value = *s.personalModelEnabled ? "enabled" : "disabled";
        if (s.personalModelCompiled) value += *s.personalModelCompiled ? ", compiled" : ", not yet built";
        if (s.personalModelAttached)
            value += *s.personalModelAttached ? ", attached to recognition" : ", NOT attached to recognition";
        lines.push_back(line("personal model", value));
    }
    if (s.dictionaryTermCount) lines.push_back(line("dictionary", plural(*s.dictionaryTermCount, "term", "terms")));
    if (s.snippetCount) lines.push_back(line("snippets", plural(*s.snippetCount, "snippet", "snippets")));
    if (s.historyLoggingEnabled) {
        std::string value = *s.historyLoggingEnabled ? "ON" : "OFF";
        if (!s.historyProblems.empty())
            value += " (the history could not be read: " + platform::text::join(s.historyProblems, "; ") + ")";
        else if (s.historyEntryCount)
            value += " (" + plural(*s.historyEntryCount, "entry", "entries") + " retained)";
        lines.push_back(line("history logging", value));
    }
    return lines;
}

std::string recognitionLocaleIdentifier() {
    const std::string requested = SpeechEngine::resolveConfiguredLocaleIdentifier(
        SpeechEngine::loadPersistedLocale(*AppPaths::userDefaults()), SpeechEngine::currentSystemLocaleIdentifier());
    return SpeechEngine::supportedLocale(requested).value_or(requested);
}

bool doctorReady(const DoctorState& s) {
    return s.soundServer.has_value() && s.microphoneAuthorized && s.onDeviceSpeechSupported && s.xtestAvailable &&
           s.displaySession == "x11" && s.hotkeyRecognised;
}

DoctorState gatherDoctorState() {
    namespace readiness = platform::readiness;
    DoctorState s;

    const readiness::SoundServer sound = readiness::probeSoundServer();
    if (sound.reachable) {
        s.soundServer = sound.name + (sound.version.empty() ? "" : " " + sound.version);
    } else {
        s.soundServerError = sound.error;
    }
    s.microphoneAuthorized = sound.reachable && sound.defaultSourceExists;
    s.defaultSource = sound.defaultSource;
    s.defaultSourceIsMonitor = sound.defaultSourceIsMonitor;

    const readiness::SpeechModel model = readiness::probeSpeechModel(SphinxModels::modelDirectory());
    s.onDeviceSpeechSupported = model.complete;
    s.speechModelPath = model.directory.string();
    s.speechModelMissing = model.missing;
    SpeechEngine& engine = SpeechEngine::shared();
    engine.applyPersistedLocale(*AppPaths::userDefaults());
    s.speechLanguage = engine.locale();
    s.speechLanguageModel = SpeechEngine::supportedLocale(s.speechLanguage);

    const readiness::AccessibilityBus bus = readiness::probeAccessibilityBus();
    s.accessibilityTrusted = bus.reachable;
    s.assistiveTechnologiesEnabled = bus.enabled;

    s.xtestAvailable = readiness::probeXTest().available;

    const readiness::DisplaySession display = readiness::probeDisplaySession();
    s.displaySession = display.type;
    s.displayDetail = display.detail;

    const AppPaths::ConfigLookup hotkey = AppPaths::lookUpConfigValue("hotkey");
    s.hotkeyFromConfig = hotkey.value.has_value();
    s.hotkey = hotkey.value.value_or("fn");
    s.configProblem = hotkey.problem.value_or("");
    const auto& known = knownHotkeys();
    s.hotkeyRecognised = std::find(known.begin(), known.end(), s.hotkey) != known.end();

    s.polishHelperPresent = AppPaths::mirvaneHelperURL().has_value();
    s.polishHelperDirectory = platform::Bundle::helperDirectory().string();

    s.dictionaryTermCount = static_cast<int>(Vocabulary::loadRawTerms().size());
    s.snippetCount = static_cast<int>(Snippets::loadRawSnippets().size());

    {
        const PersonalModel::Status model =
            PersonalModel::shared().currentStatus(recognitionLocaleIdentifier(), PersonalModel::isEnabled(), 0);
        s.personalModelEnabled = model.enabled;
        s.personalModelCompiled = model.modelBytes && model.vocabularyBytes && model.cachedLocale;
        s.personalModelAttached = PersonalModel::isAttachable(model);
    }

    DictationLogger& history = DictationLogger::shared();
    s.historyLoggingEnabled = history.isLoggingEnabled();
    s.historyEntryCount = history.historyEntryCount();
    s.historyProblems = history.readHistory().unreadableFiles;
    return s;
}

}  // namespace OndiraCLI
