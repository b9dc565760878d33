#include "CLI/OndiraCLI.h"

#include "Platform/FileIO.h"
#include "Platform/Log.h"
#include "Platform/StoreRecovery.h"
#include "Platform/Unicode.h"
#include "Text/VoiceCommandCatalog.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <limits>
#include <unordered_set>

namespace OndiraCLI {

namespace {

const std::unordered_set<std::string>& commandWords() {
    static const std::unordered_set<std::string> words = {"history", "dict",       "snippets", "stats",
                                                          "doctor",  "transcribe", "help"};
    return words;
}

using Words = std::vector<std::string>;

// An optional "+" or "-", then ASCII digits, within a 64-bit integer.
std::optional<long long> parseDecimal(const std::string& word) {
    std::size_t i = 0;
    bool negative = false;
    if (i < word.size() && (word[i] == '+' || word[i] == '-')) negative = word[i++] == '-';
    if (i == word.size()) return std::nullopt;
    unsigned long long magnitude = 0;
    const unsigned long long limit = negative ? static_cast<unsigned long long>(std::numeric_limits<long long>::max()) + 1
                                              : static_cast<unsigned long long>(std::numeric_limits<long long>::max());
    for (; i < word.size(); ++i) {
        const char c = word[i];
        if (c < '0' || c > '9') return std::nullopt;
        const unsigned digit = static_cast<unsigned>(c - '0');
        if (magnitude > (limit - digit) / 10) return std::nullopt;
        magnitude = magnitude * 10 + digit;
    }
    if (negative) {
        return magnitude == limit ? std::numeric_limits<long long>::min() : -static_cast<long long>(magnitude);
    }
    return static_cast<long long>(magnitude);
}

// Every word must be "--json"; one or more of them turn json on.
ParseResult parseFlagOnly(const std::string& label, Words::const_iterator begin, Words::const_iterator end,
                          Command (*make)(bool)) {
    bool json = false;
    for (auto it = begin; it != end; ++it) {
        if (*it != "--json") return ParseResult::ofUsageError("unknown " + label + " option: " + *it);
        json = true;
    }
    return ParseResult::ofCommand(make(json));
}

ParseResult parseHistory(const Words& rest) {
    HistoryOptions options;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        const std::string& word = rest[i];
        const bool hasValue = i + 1 < rest.size();
        if (word == "--last") {
            std::optional<long long> n = hasValue ? parseDecimal(rest[i + 1]) : std::nullopt;
            if (!n || *n < 1) return ParseResult::ofUsageError("--last requires a positive integer");
            options.last = *n;
            ++i;
        } else if (word == "--json") {
            options.json = true;
        } else if (word == "--text") {
            options.text = true;
        } else if (word == "--app") {
            if (!hasValue || rest[i + 1].empty()) return ParseResult::ofUsageError("--app requires a value");
            options.appFilter = rest[++i];
        } else if (word == "--since") {
            if (!hasValue || !isValidSinceDate(rest[i + 1])) {
                return ParseResult::ofUsageError("--since requires a YYYY-MM-DD date");
            }
            options.sinceDate = rest[++i];
        } else {
            return ParseResult::ofUsageError("unknown history option: " + word);
        }
    }
    return ParseResult::ofCommand(Command::makeHistory(options));
}

// The shared shape of `dict` and `snippets`: list [--json] | add <a> <b> | remove <a>.
struct ListAddRemove {
    std::string noun;         // "dict" / "snippets"
    std::string addUsage;     // "<heard> <written>"
    std::string removeUsage;  // "<heard>"
    Command (*list)(bool);
    Command (*add)(std::string, std::string);
    Command (*remove)(std::string);
};

ParseResult parseListAddRemove(const ListAddRemove& shape, const Words& rest) {
    if (rest.empty()) return ParseResult::ofUsageError(shape.noun + " requires a subcommand: list|add|remove");
    const std::string& sub = rest[0];
    if (sub == "list") return parseFlagOnly(shape.noun + " list", rest.begin() + 1, rest.end(), shape.list);
    if (sub == "add") {
        if (rest.size() != 3 || rest[1].empty() || rest[2].empty()) {
            return ParseResult::ofUsageError(shape.noun + " add requires exactly " + shape.addUsage);
        }
        return ParseResult::ofCommand(shape.add(rest[1], rest[2]));
    }
    if (sub == "remove") {
        if (rest.size() != 2 || rest[1].empty()) {
            return ParseResult::ofUsageError(shape.noun + " remove requires exactly " + shape.removeUsage);
        }
        return ParseResult::ofCommand(shape.remove(rest[1]));
    }
    return ParseResult::ofUsageError("unknown " + shape.noun + " subcommand: " + sub);
}

bool isFlagToken(const std::string& word) { return platform::text::hasPrefix(word, "--"); }

// transcribe <path> [--srt|--vtt|--txt] [--out <path>] [--locale <id>]. A flag
// token is never taken as a value, so "--out --locale x" can't swallow --locale.
ParseResult parseTranscribe(const Words& rest) {
    if (rest.empty() || rest[0].empty() || isFlagToken(rest[0])) {
        return ParseResult::ofUsageError("transcribe requires a file path");
    }
    TranscribeOptions options;
    options.path = rest[0];
    bool formatGiven = false;
    for (std::size_t i = 1; i < rest.size(); ++i) {
        const std::string& word = rest[i];
        const bool hasValue = i + 1 < rest.size() && !rest[i + 1].empty() && !isFlagToken(rest[i + 1]);
        if (word == "--srt" || word == "--vtt" || word == "--txt") {
            if (formatGiven) return ParseResult::ofUsageError("only one of --srt, --vtt, --txt may be given");
            formatGiven = true;
            options.format = word == "--srt" ? OutputFormat::srt : word == "--vtt" ? OutputFormat::vtt : OutputFormat::txt;
        } else if (word == "--out") {
            if (!hasValue) return ParseResult::ofUsageError("--out requires a path");
            options.outPath = rest[++i];
        } else if (word == "--locale") {
            if (!hasValue) return ParseResult::ofUsageError("--locale requires a value");
            options.localeIdentifier = rest[++i];
        } else {
            return ParseResult::ofUsageError("unknown transcribe option: " + word);
        }
    }
    return ParseResult::ofCommand(Command::makeTranscribe(options));
}

ParseResult parseNoArguments(const Words& rest, Command command, const std::string& word) {
    if (!rest.empty()) return ParseResult::ofUsageError(word + " takes no arguments");
    return ParseResult::ofCommand(command);
}

std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string describeOptional(const std::optional<std::string>& value) {
    return value ? "Optional(" + quoted(*value) + ")" : "nil";
}

const char* kindName(Command::Kind kind) {
    switch (kind) {
        case Command::Kind::history: return "history";
        case Command::Kind::dictList: return "dictList";
        case Command::Kind::dictAdd: return "dictAdd";
        case Command::Kind::dictRemove: return "dictRemove";
        case Command::Kind::snippetsList: return "snippetsList";
        case Command::Kind::snippetsAdd: return "snippetsAdd";
        case Command::Kind::snippetsRemove: return "snippetsRemove";
        case Command::Kind::stats: return "stats";
        case Command::Kind::transcribe: return "transcribe";
        case Command::Kind::doctor: return "doctor";
        case Command::Kind::privacyReport: return "privacyReport";
        case Command::Kind::personalModel: return "personalModel";
        case Command::Kind::help: return "help";
    }
    return "?";
}

const std::vector<std::string>& fixedUsageLines() {
    static const std::vector<std::string> lines = {
        "Usage: Ondira <command> [options]",
        "",
        "Commands:",
        "  history --last N [--json] [--text] [--app NAME] [--since YYYY-MM-DD]",
        "                        Show recent dictations. Default output is metadata",
        "                        only (date, time, app, words, latency) \u2014 the real",
        "                        transcript text is printed ONLY when --text is",
        "                        given explicitly.",
        "  dict list [--json]",
        "  dict add <heard> <written>",
        "  dict remove <heard>",
        "  snippets list [--json]",
        "  snippets add <trigger> <expansion>",
        "  snippets remove <trigger>",
        "  stats [--json]        Words, dictations, p50/p95 latency.",
        "  doctor                Permissions, helper, and model state \u2014 every",
        "                        line is derived live, never hardcoded.",
        "  transcribe <path> [--srt|--vtt|--txt] [--out <path>] [--locale <id>]",
        "                        Transcribe an audio/video file entirely on-device",
        "                        (no network). Prints the transcript to stdout by",
        "                        default; --out writes it to a file instead.",
        "                        --srt/--vtt/--txt pick the output shape (default",
        "                        --txt, plain text). --locale picks the on-device",
        "                        recognition locale (default: the system locale).",
        "                        Progress goes to stderr, never stdout, so stdout",
        "                        stays a clean transcript for piping.",
        "  --privacy-report      Print every privacy self-check with the measured",
        "                        statistics behind its verdict (bytes scanned,",
        "                        file/host counts, socket count, etc) \u2014 the same",
        "                        numbers the Hub's privacy panel renders, in",
        "                        plain text.",
        "  --personal-model      Report whether the on-device personal language",
        "                        model is actually attached to recognition, and",
        "                        what the last rebuild attempt did. Every line is",
        "                        derived from files on disk \u2014 including the",
        "                        failure reason, which used to exist only in a",
        "                        log line nobody read.",
    };
    return lines;
}

int runCommand(const Command& command) {
    const CommandBodies& bodies = commandBodies();
    switch (command.kind) {
        case Command::Kind::help: printLine(usageText()); return 0;
        case Command::Kind::history: return bodies.history(command.history);
        case Command::Kind::dictList: return bodies.dictList(command.json);
        case Command::Kind::dictAdd: return bodies.dictAdd(command.first, command.second);
        case Command::Kind::dictRemove: return bodies.dictRemove(command.first);
        case Command::Kind::snippetsList: return bodies.snippetsList(command.json);
        case Command::Kind::snippetsAdd: return bodies.snippetsAdd(command.first, command.second);
        case Command::Kind::snippetsRemove: return bodies.snippetsRemove(command.first);
        case Command::Kind::stats: return bodies.stats(command.json);
        case Command::Kind::transcribe: return bodies.transcribe(command.transcribe);
        case Command::Kind::doctor: return bodies.doctor();
        case Command::Kind::privacyReport: return bodies.privacyReport();
        case Command::Kind::personalModel: return bodies.personalModel();
    }
    return 1;
}

}  // namespace

Command Command::makeHistory(HistoryOptions options) {
    Command c;
    c.kind = Kind::history;
    c.history = std::move(options);
    return c;
}
Command Command::dictList(bool json) {
    Command c;
    c.kind = Kind::dictList;
    c.json = json;
    return c;
}
Command Command::dictAdd(std::string heard, std::string written) {
    Command c;
    c.kind = Kind::dictAdd;
    c.first = std::move(heard);
    c.second = std::move(written);
    return c;
}
Command Command::dictRemove(std::string heard) {
    Command c;
    c.kind = Kind::dictRemove;
    c.first = std::move(heard);
    return c;
}
Command Command::snippetsList(bool json) {
    Command c = dictList(json);
    c.kind = Kind::snippetsList;
    return c;
}
Command Command::snippetsAdd(std::string trigger, std::string expansion) {
    Command c = dictAdd(std::move(trigger), std::move(expansion));
    c.kind = Kind::snippetsAdd;
    return c;
}
Command Command::snippetsRemove(std::string trigger) {
    Command c = dictRemove(std::move(trigger));
    c.kind = Kind::snippetsRemove;
    return c;
}
Command Command::stats(bool json) {
    Command c = dictList(json);
    c.kind = Kind::stats;
    return c;
}
Command Command::makeTranscribe(TranscribeOptions options) {
    Command c;
    c.kind = Kind::transcribe;
    c.transcribe = std::move(options);
    return c;
}
Command Command::doctor() {
    Command c;
    c.kind = Kind::doctor;
    return c;
}
Command Command::privacyReport() {
    Command c;
    c.kind = Kind::privacyReport;
    return c;
}
Command Command::personalModel() {
    Command c;
    c.kind = Kind::personalModel;
    return c;
}
Command Command::help() { return Command{}; }

bool isSubcommand(const std::string& word) {
    return commandWords().count(word) > 0 || word == "--help" || word == "-h" || word == "--privacy-report" ||
           word == "--personal-model";
}

bool isValidSinceDate(const std::string& word) {
    // Stored dates are ASCII, and --since is compared with them as text, so
    // only ASCII digits make a usable date.
    std::vector<std::string> pieces;
    std::string current;
    for (char c : word) {
        if (c == '-') {
            pieces.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    pieces.push_back(current);
    if (pieces.size() != 3 || pieces[0].size() != 4 || pieces[1].size() != 2 || pieces[2].size() != 2) return false;
    for (const auto& piece : pieces) {
        for (char c : piece) {
            if (c < '0' || c > '9') return false;
        }
    }
    // A day of the calendar: 2024-13-45 would compare as text all the same
    // and quietly filter by a date that never was.
    const int year = std::stoi(pieces[0]);
    const int month = std::stoi(pieces[1]);
    const int day = std::stoi(pieces[2]);
    if (month < 1 || month > 12 || day < 1) return false;
    static constexpr int daysIn[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= daysIn[month - 1] + (month == 2 && leap ? 1 : 0);
}

ParseResult parse(const std::vector<std::string>& arguments) {
    if (arguments.empty()) return ParseResult::ofUsageError("no command given");
    const std::string& word = arguments[0];
    const Words rest(arguments.begin() + 1, arguments.end());
    if (word == "help" || word == "--help" || word == "-h") {
        if (!rest.empty()) return ParseResult::ofUsageError("help takes no arguments");
        return ParseResult::ofCommand(Command::help());
    }
    if (word == "history") return parseHistory(rest);
    if (word == "dict") {
        return parseListAddRemove(
            {"dict", "<heard> <written>", "<heard>", &Command::dictList, &Command::dictAdd, &Command::dictRemove}, rest);
    }
    if (word == "snippets") {
        return parseListAddRemove({"snippets", "<trigger> <expansion>", "<trigger>", &Command::snippetsList,
                                   &Command::snippetsAdd, &Command::snippetsRemove},
                                  rest);
    }
    if (word == "stats") return parseFlagOnly("stats", rest.begin(), rest.end(), &Command::stats);
    if (word == "doctor") return parseNoArguments(rest, Command::doctor(), word);
    if (word == "transcribe") return parseTranscribe(rest);
    if (word == "--privacy-report") return parseNoArguments(rest, Command::privacyReport(), word);
    if (word == "--personal-model") return parseNoArguments(rest, Command::personalModel(), word);
    return ParseResult::ofUsageError("unknown command: " + word);
}

int run(const std::vector<std::string>& arguments) {
    // Standard output carries results only: what the stores and engines log goes beside the failures.
    const platform::LogToStandardError logAside;
    ParseResult result = parse(arguments);
    if (!result.command) {
        printError(result.usageError);
        printError("");
        printError(usageText());
        return 2;
    }
    // A store file that did not load is moved aside while the command runs:
    // the user hears where it went, and a script sees that not all went well.
    std::atomic<bool> movedAside = false;
    platform::setSetAsideListener([&](const platform::SetAsideNotice& notice) {
        printError(notice.message());
        movedAside = true;
    });
    const int status = runCommand(*result.command);
    platform::setSetAsideListener({});
    return status == 0 && movedAside ? 1 : status;
}

std::string usageText() {
    std::string text;
    for (const auto& line : fixedUsageLines()) text += line + "\n";
    text += "Voice commands (spoken during dictation, resolved before paste):\n";
    std::vector<std::string> rows;
    for (const auto& entry : VoiceCommandCatalog::entries()) {
        // The quotes hug the phrase (blanks inside them would read as part of
        // what to say); the padding after them keeps the effects in one column.
        std::string quoted = "\"" + entry.phrase + "\"";
        const std::size_t length = platform::text::graphemeCount(quoted);
        if (length < 22) quoted.append(22 - length, ' ');
        rows.push_back("      " + quoted + "  " + entry.effect);
    }
    // Where the editing commands act, under the list in its indent, broken
    // only between words and never inside a quoted phrase, so each phrase
    // reads as one thing to say.
    const std::string note = VoiceCommandCatalog::placementNote("\"", "\"");
    std::string line = "     ";
    for (std::string_view rest = note; !rest.empty();) {
        std::size_t space = rest.find(' ');
        auto quotes = [&] { return std::count(rest.begin(), rest.begin() + std::min(space, rest.size()), '"'); };
        while (space != std::string_view::npos && quotes() % 2 == 1) space = rest.find(' ', space + 1);
        const std::string_view word = rest.substr(0, space);
        rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
        if (line.size() > 6 && line.size() + 1 + word.size() > 78) {
            rows.push_back(line);
            line = "     ";
        }
        line += ' ';
        line += word;
    }
    rows.push_back(line);
    text += platform::text::join(rows, "\n");
    text += "\n\nExit status: 0 success, 2 usage error, 1 other failure.";
    return text;
}

namespace {
// Window titles and dictated text are stored as they came; on a terminal an
// escape sequence among them would be obeyed (retitling the window, moving
// the cursor, worse). There every control character but newline and tab, C1
// controls included, and every byte that is not UTF-8 shows as U+FFFD.
std::string terminalSafe(const std::string& line) {
    const std::string text = platform::text::isValidUTF8(line) ? line : platform::text::sanitizeUTF8(line);
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool c0 = (c < 0x20 && c != '\n' && c != '\t') || c == 0x7F;
        const bool c1 = c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if (c0 || c1) {
            out += "\uFFFD";
            if (c1) ++i;
            continue;
        }
        out += text[i];
    }
    return out;
}
}  // namespace

void printError(const std::string& message) {
    // Whatever is buffered for standard output goes first, so the two streams
    // interleave in the order they were written.
    std::fflush(stdout);
    // Messages echo the user's own arguments and names read from files: on a
    // terminal they are shown as normal output is.
    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    platform::writeAll(STDERR_FILENO, (terminal ? terminalSafe(message) : message) + "\n");
}

void printLine(const std::string& line) {
    static const bool terminal = ::isatty(STDOUT_FILENO) == 1;
    std::string bytes = (terminal ? terminalSafe(line) : line) + "\n";
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

std::string describe(OutputFormat format) {
    switch (format) {
        case OutputFormat::txt: return "txt";
        case OutputFormat::srt: return "srt";
        case OutputFormat::vtt: return "vtt";
    }
    return "?";
}

std::string describe(const Command& c) {
    const std::string name = kindName(c.kind);
    switch (c.kind) {
        case Command::Kind::history:
            return name + "(OndiraCLI.HistoryOptions(last: " + std::to_string(c.history.last) +
                   ", json: " + (c.history.json ? "true" : "false") + ", text: " + (c.history.text ? "true" : "false") +
                   ", appFilter: " + describeOptional(c.history.appFilter) +
                   ", sinceDate: " + describeOptional(c.history.sinceDate) + "))";
        case Command::Kind::dictList:
        case Command::Kind::snippetsList:
        case Command::Kind::stats: return name + "(json: " + (c.json ? "true" : "false") + ")";
        case Command::Kind::dictAdd: return name + "(heard: " + quoted(c.first) + ", written: " + quoted(c.second) + ")";
        case Command::Kind::dictRemove: return name + "(heard: " + quoted(c.first) + ")";
        case Command::Kind::snippetsAdd:
            return name + "(trigger: " + quoted(c.first) + ", expansion: " + quoted(c.second) + ")";
        case Command::Kind::snippetsRemove: return name + "(trigger: " + quoted(c.first) + ")";
        case Command::Kind::transcribe:
            return name + "(OndiraCLI.TranscribeOptions(path: " + quoted(c.transcribe.path) +
                   ", format: " + describe(c.transcribe.format) + ", outPath: " + describeOptional(c.transcribe.outPath) +
                   ", localeIdentifier: " + describeOptional(c.transcribe.localeIdentifier) + "))";
        case Command::Kind::doctor:
        case Command::Kind::privacyReport:
        case Command::Kind::personalModel:
        case Command::Kind::help: return name;
    }
    return name;
}

std::string describe(const ParseResult& result) {
    if (result.command) return "command(" + describe(*result.command) + ")";
    return "usageError(" + quoted(result.usageError) + ")";
}

std::string describe(const std::vector<std::string>& arguments) {
    std::vector<std::string> parts;
    for (const auto& a : arguments) parts.push_back(quoted(a));
    return "[" + platform::text::join(parts, ", ") + "]";
}

}  // namespace OndiraCLI
