#pragma once
// The command-line interface of the main executable: the command words, the
// parser that turns the argument list into a command or a usage error, the
// dispatcher with its exit statuses, the usage text and the doctor report.
//
// Output conventions: normal output goes to standard output one line per
// print; every failure message, and the usage text after a usage error, goes
// to standard error. Exit status 0 success, 1 other failure, 2 usage error.
#include <iosfwd>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace OndiraCLI {

enum class OutputFormat { txt, srt, vtt };

struct HistoryOptions {
    long long last = 20;
    bool json = false;
    bool text = false;
    std::optional<std::string> appFilter;
    std::optional<std::string> sinceDate;  // "YYYY-MM-DD"
    bool operator==(const HistoryOptions&) const = default;
};

struct TranscribeOptions {
    std::string path;
    OutputFormat format = OutputFormat::txt;
    std::optional<std::string> outPath;
    std::optional<std::string> localeIdentifier;
    bool operator==(const TranscribeOptions&) const = default;
};

// One value per command, with the payload that command carries.
struct Command {
    enum class Kind {
        history,
        dictList,
        dictAdd,
        dictRemove,
        snippetsList,
        snippetsAdd,
        snippetsRemove,
        stats,
        transcribe,
        doctor,
        privacyReport,
        personalModel,
        help,
    };
    Kind kind = Kind::help;
    HistoryOptions history;        // history
    TranscribeOptions transcribe;  // transcribe
    bool json = false;             // dictList, snippetsList, stats
    std::string first;             // heard / trigger
    std::string second;            // written / expansion

    static Command makeHistory(HistoryOptions options);
    static Command dictList(bool json);
    static Command dictAdd(std::string heard, std::string written);
    static Command dictRemove(std::string heard);
    static Command snippetsList(bool json);
    static Command snippetsAdd(std::string trigger, std::string expansion);
    static Command snippetsRemove(std::string trigger);
    static Command stats(bool json);
    static Command makeTranscribe(TranscribeOptions options);
    static Command doctor();
    static Command privacyReport();
    static Command personalModel();
    static Command help();

    bool operator==(const Command&) const = default;
};

struct ParseResult {
    std::optional<Command> command;  // set for a command
    std::string usageError;          // the message when `command` is empty

    static ParseResult ofCommand(Command c) { return {std::move(c), {}}; }
    static ParseResult ofUsageError(std::string message) { return {std::nullopt, std::move(message)}; }
    bool isCommand() const { return command.has_value(); }
    bool operator==(const ParseResult&) const = default;
};

// True for a command word or exactly "--help", "-h", "--privacy-report" or
// "--personal-model". Case-sensitive.
bool isSubcommand(const std::string& word);
// `arguments` are the words after the program path; the first is the command word.
ParseResult parse(const std::vector<std::string>& arguments);
// Parses, dispatches, prints; returns 0 success, 1 failure, 2 usage error.
int run(const std::vector<std::string>& arguments);
// Computed on every call; ends without a newline.
std::string usageText();
// The message and one "\n" to standard error, in one write.
void printError(const std::string& message);
// The line and one "\n" to standard output.
void printLine(const std::string& line);
// Shape only: "YYYY-MM-DD" with numeric characters (month 13 passes).
bool isValidSinceDate(const std::string& word);

// Printed forms, for messages and test output.
std::string describe(const Command& command);
std::string describe(const ParseResult& result);
std::string describe(OutputFormat format);
std::string describe(const std::vector<std::string>& arguments);

// What the doctor report is built from. Every field is gathered live on this
// machine by gatherDoctorState(); facts that come from subsystems this build
// does not have yet stay empty and their lines are left out.
struct DoctorState {
    // Sound server (PulseAudio or PipeWire's pulse service) and its default source.
    std::optional<std::string> soundServer;  // "pulseaudio 16.1" when reachable
    std::string soundServerError;            // why not, when it is not
    bool microphoneAuthorized = false;       // a usable default input source exists
    std::string defaultSource;               // its name
    bool defaultSourceIsMonitor = false;     // a monitor of an output, not a microphone
    // The on-device speech model.
    bool onDeviceSpeechSupported = false;
    std::string speechModelPath;
    std::string speechModelMissing;  // the first missing file
    // The recognition language and the installed model that serves it
    // (none when no installed model speaks the language).
    std::string speechLanguage;
    std::optional<std::string> speechLanguageModel;
    // The accessibility bus and synthetic key events.
    bool accessibilityTrusted = false;  // the AT-SPI bus answers
    std::optional<bool> assistiveTechnologiesEnabled;
    bool xtestAvailable = false;
    // The display session: "x11", "wayland" or "none", and what it was told by.
    std::string displaySession;
    std::string displayDetail;
    // The primary hotkey in config.json.
    std::string hotkey;
    bool hotkeyFromConfig = false;
    std::string configProblem;  // why config.json could not be read, when it could not
    bool hotkeyRecognised = true;
    // The rewrite helper.
    bool polishHelperPresent = false;
    std::string polishHelperDirectory;
    std::optional<bool> polishAvailable;
    std::string polishReason;
    // Records and text processing.
    std::optional<bool> personalModelEnabled;
    std::optional<bool> personalModelCompiled;
    // Whether the next recognition in the recogniser's language carries it.
    std::optional<bool> personalModelAttached;
    std::optional<int> dictionaryTermCount;
    std::optional<int> snippetCount;
    std::optional<bool> historyLoggingEnabled;
    std::optional<int> historyEntryCount;
    // A sentence naming each history file that is there but could not be
    // read; the count above would pass for the whole history.
    std::vector<std::string> historyProblems;
};

// One line per fact: a label padded to 19 characters, ": " and the value,
// followed by what to do when the piece is missing.
std::vector<std::string> doctorLines(const DoctorState& state);
DoctorState gatherDoctorState();
// The language the recogniser would dictate in now, as its installed model names it.
std::string recognitionLocaleIdentifier();

// Whether everything a dictation needs is there: the sound server with an
// input source, the speech model, an X11 session with XTest and a known
// hotkey. Accessibility, the rewrite helper and the records are optional.
// `doctor` exits 1 when this is false.
bool doctorReady(const DoctorState& state);

// The bodies of the commands, one function each, reached by the dispatcher
// through one table. A body prints its own output (printLine) and failures
// (printError) and returns the exit status: 0 success, 1 failure.
//
// What each prints when it succeeds:
//   history        one metadata line per dictation (its text only with
//                  --text), or a JSON array of historyRecord objects
//   stats          dictations, words and latency percentiles, or the
//                  statsJSONObject
//                  For both, a history file that is there but cannot be
//                  read is named on standard error ("could not read the
//                  history: " + why), nothing else is printed, and they
//                  return 1; lines that could not be read are left out,
//                  counted per file on standard error, and they return 1
//   dictAdd        "added: " + heard + " -> " + written; a pair that
//                  StoreInput::validateTerm refuses prints its reason to
//                  standard error and returns 1; a term added whose
//                  correction could not be recorded adds "the correction
//                  was not recorded: " + why (naming the file) on standard
//                  error and still returns 0
//   dictRemove     "removed: " + heard; "not found: " + heard to standard
//                  error and 1 when there was no such term
//   snippetsAdd    "added snippet: " + trigger; a pair that
//                  StoreInput::validateSnippet refuses prints its reason
//                  ("invalid snippet trigger (empty or whitespace-only)", ...)
//                  to standard error and returns 1
//   snippetsRemove "removed snippet: " + trigger; "snippet not found: " +
//                  trigger to standard error and 1 when there was none
//
// A store file that did not load and was moved aside while a command ran is
// named on standard error, and the command returns 1 (see run()).
//   doctor         one line per fact of doctorLines()
//   transcribe     the transcript (txt, srt or vtt) on standard output, or
//                  nothing with --out; a failure prints "Transcription
//                  failed: " + why to standard error and returns 1; a file
//                  that ends before the length its header gives is
//                  transcribed as far as it goes, with a warning on
//                  standard error saying how much was read
struct CommandBodies {
    int (*history)(const HistoryOptions& options);
    int (*dictList)(bool json);
    int (*dictAdd)(const std::string& heard, const std::string& written);
    int (*dictRemove)(const std::string& heard);
    int (*snippetsList)(bool json);
    int (*snippetsAdd)(const std::string& trigger, const std::string& expansion);
    int (*snippetsRemove)(const std::string& trigger);
    int (*stats)(bool json);
    int (*transcribe)(const TranscribeOptions& options);
    int (*doctor)();
    int (*privacyReport)();
    int (*personalModel)();
};

const CommandBodies& commandBodies();

}  // namespace OndiraCLI
