// The parser's exact messages and edge cases, and the usage text's shape.
#include "CLI/OndiraCLI.h"
#include "Platform/Unicode.h"
#include "Text/VoiceCommandCatalog.h"

#include <gtest/gtest.h>

#include <algorithm>

using OndiraCLI::Command;
using OndiraCLI::HistoryOptions;
using OndiraCLI::ParseResult;

namespace {

ParseResult usage(const std::string& message) { return ParseResult::ofUsageError(message); }
ParseResult command(Command c) { return ParseResult::ofCommand(std::move(c)); }
ParseResult historyWith(void (*edit)(HistoryOptions&)) {
    HistoryOptions options;
    edit(options);
    return command(Command::makeHistory(options));
}

}  // namespace

TEST(OndiraCLIParse, MessagesAndEdgeCases) {
    struct Case {
        std::vector<std::string> args;
        ParseResult expected;
    };
    const Case table[] = {
        {{}, usage("no command given")},
        {{"help"}, command(Command::help())},
        {{"--help"}, command(Command::help())},
        {{"-h"}, command(Command::help())},
        {{"-h", "x"}, usage("help takes no arguments")},
        {{"--help", "--help"}, usage("help takes no arguments")},
        {{"histories"}, usage("unknown command: histories")},
        {{"HISTORY"}, usage("unknown command: HISTORY")},
        // history: defaults, --last forms, dates, repeats, the first error wins
        {{"history"}, historyWith([](HistoryOptions&) {})},
        {{"history", "--last", "+5"}, historyWith([](HistoryOptions& o) { o.last = 5; })},
        {{"history", "--last", "0"}, usage("--last requires a positive integer")},
        {{"history", "--last", "-3"}, usage("--last requires a positive integer")},
        {{"history", "--last", ""}, usage("--last requires a positive integer")},
        {{"history", "--last", "+"}, usage("--last requires a positive integer")},
        {{"history", "--last", "5x"}, usage("--last requires a positive integer")},
        {{"history", "--last", "9223372036854775807"},
         historyWith([](HistoryOptions& o) { o.last = 9223372036854775807LL; })},
        {{"history", "--last", "9223372036854775808"}, usage("--last requires a positive integer")},
        {{"history", "--last", "--json"}, usage("--last requires a positive integer")},
        {{"history", "--last", "3", "--last", "7"}, historyWith([](HistoryOptions& o) { o.last = 7; })},
        {{"history", "--app"}, usage("--app requires a value")},
        {{"history", "--app", ""}, usage("--app requires a value")},
        {{"history", "--app", "Slack", "--app", "Notes"}, historyWith([](HistoryOptions& o) { o.appFilter = "Notes"; })},
        {{"history", "--since", "2026-8-01"}, usage("--since requires a YYYY-MM-DD date")},
        {{"history", "--since", "2026-13-45"}, usage("--since requires a YYYY-MM-DD date")},
        {{"history", "--since", "2026-04-31"}, usage("--since requires a YYYY-MM-DD date")},
        {{"history", "--since", "2026-00-10"}, usage("--since requires a YYYY-MM-DD date")},
        {{"history", "--since", "2023-02-29"}, usage("--since requires a YYYY-MM-DD date")},
        {{"history", "--since", "2100-02-29"}, usage("--since requires a YYYY-MM-DD date")},
        {{"history", "--since", "2024-02-29"}, historyWith([](HistoryOptions& o) { o.sinceDate = "2024-02-29"; })},
        {{"history", "--since", "2000-02-29"}, historyWith([](HistoryOptions& o) { o.sinceDate = "2000-02-29"; })},
        {{"history", "--since", "2026-12-31"}, historyWith([](HistoryOptions& o) { o.sinceDate = "2026-12-31"; })},
        {{"history", "--since", "2026-08-01-"}, usage("--since requires a YYYY-MM-DD date")},
        {{"history", "--since", "\xD9\xA2\xD9\xA0\xD9\xA2\xD9\xA6-08-01"}, usage("--since requires a YYYY-MM-DD date")},
        {{"history", "--since"}, usage("--since requires a YYYY-MM-DD date")},
        {{"history", "--json", "--text"}, historyWith([](HistoryOptions& o) { o.json = o.text = true; })},
        {{"history", "--bogus", "--last", "0"}, usage("unknown history option: --bogus")},
        {{"history", "--last", "0", "--bogus"}, usage("--last requires a positive integer")},
        // flag-only lists
        {{"stats", "--json", "--json"}, command(Command::stats(true))},
        {{"stats", "-j"}, usage("unknown stats option: -j")},
        {{"dict", "list", "--JSON"}, usage("unknown dict list option: --JSON")},
        {{"snippets", "list", "--json", "x"}, usage("unknown snippets list option: x")},
        // dict and snippets
        {{"dict"}, usage("dict requires a subcommand: list|add|remove")},
        {{"dict", "add", "heard", ""}, usage("dict add requires exactly <heard> <written>")},
        {{"dict", "add", "a", "b", "c"}, usage("dict add requires exactly <heard> <written>")},
        {{"dict", "remove"}, usage("dict remove requires exactly <heard>")},
        {{"dict", "remove", ""}, usage("dict remove requires exactly <heard>")},
        {{"dict", "delete", "x"}, usage("unknown dict subcommand: delete")},
        {{"snippets"}, usage("snippets requires a subcommand: list|add|remove")},
        {{"snippets", "add", "sig"}, usage("snippets add requires exactly <trigger> <expansion>")},
        {{"snippets", "remove", "a", "b"}, usage("snippets remove requires exactly <trigger>")},
        {{"snippets", "edit"}, usage("unknown snippets subcommand: edit")},
        {{"snippets", "add", " ", "x"}, command(Command::snippetsAdd(" ", "x"))},  // refused later, by the store
        // words that take nothing
        {{"doctor", "--json"}, usage("doctor takes no arguments")},
        {{"--privacy-report"}, command(Command::privacyReport())},
        {{"--privacy-report", "x"}, usage("--privacy-report takes no arguments")},
        {{"--personal-model"}, command(Command::personalModel())},
        {{"--personal-model", "--json"}, usage("--personal-model takes no arguments")},
        // transcribe
        {{"transcribe", ""}, usage("transcribe requires a file path")},
        {{"transcribe", "--out", "x.txt"}, usage("transcribe requires a file path")},
        {{"transcribe", "a.wav", "--txt", "--txt"}, usage("only one of --srt, --vtt, --txt may be given")},
        {{"transcribe", "a.wav", "--out", ""}, usage("--out requires a path")},
        {{"transcribe", "a.wav", "--out", "--locale", "fr-FR"}, usage("--out requires a path")},
        {{"transcribe", "a.wav", "--locale", "--srt"}, usage("--locale requires a value")},
        {{"transcribe", "a.wav", "-srt"}, usage("unknown transcribe option: -srt")},
        {{"transcribe", "a.wav", "extra.wav"}, usage("unknown transcribe option: extra.wav")},
        {{"transcribe", "-", "--vtt"},
         command(Command::makeTranscribe({"-", OndiraCLI::OutputFormat::vtt, std::nullopt, std::nullopt}))},
    };
    for (const auto& c : table) {
        const ParseResult got = OndiraCLI::parse(c.args);
        EXPECT_EQ(OndiraCLI::describe(got), OndiraCLI::describe(c.expected)) << OndiraCLI::describe(c.args);
        EXPECT_TRUE(got == c.expected) << OndiraCLI::describe(c.args);
    }
}

TEST(OndiraCLIParse, CommandsCompareEveryPayload) {
    EXPECT_FALSE(Command::dictAdd("a", "b") == Command::dictAdd("b", "a"));
    EXPECT_FALSE(Command::dictList(true) == Command::snippetsList(true));
    EXPECT_FALSE(Command::stats(true) == Command::stats(false));
    HistoryOptions withSince;
    withSince.sinceDate = "2026-01-01";
    EXPECT_FALSE(Command::makeHistory(withSince) == Command::makeHistory(HistoryOptions()));
}

TEST(OndiraCLIUsage, FixedBlockThenVoiceCommandsThenExitStatus) {
    const std::string text = OndiraCLI::usageText();
    const auto lines = platform::text::splitLines(text);
    ASSERT_GT(lines.size(), 37u);
    EXPECT_EQ(lines[0], "Usage: Ondira <command> [options]");
    EXPECT_EQ(lines[1], "");
    EXPECT_EQ(lines[2], "Commands:");
    EXPECT_EQ(lines[36], "                        log line nobody read.");
    // Commands are indented 2, descriptions start in column 25.
    for (std::size_t i = 3; i < 37; ++i) {
        const std::string& l = lines[i];
        ASSERT_EQ(l.rfind("  ", 0), 0u) << l;
        if (l[2] == ' ') {
            EXPECT_EQ(l.find_first_not_of(' '), 24u) << l;
        } else if (const std::size_t gap = l.find("  ", 2); gap != std::string::npos) {
            EXPECT_EQ(l.find_first_not_of(' ', gap), 24u) << l;
        }
    }
    EXPECT_NE(text.find("real\n                        transcript"), std::string::npos);
    EXPECT_NE(text.find("state \u2014 every\n"), std::string::npos);

    const auto& entries = VoiceCommandCatalog::entries();
    ASSERT_EQ(lines[37], "Voice commands (spoken during dictation, resolved before paste):");
    ASSERT_GT(lines.size(), 38 + entries.size() + 2);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        std::string quoted = "\"" + entries[i].phrase + "\"";
        quoted.resize(std::max<std::size_t>(22, quoted.size()), ' ');
        EXPECT_EQ(lines[38 + i], "      " + quoted + "  " + entries[i].effect);
    }
    // Under the list, in its indent: where in a dictation the editing
    // commands act, each quoted phrase whole on one line, no line past 80
    // columns.
    std::string note;
    std::size_t next = 38 + entries.size();
    for (; next < lines.size() && !lines[next].empty(); ++next) {
        EXPECT_EQ(lines[next].rfind("      ", 0), 0u) << lines[next];
        EXPECT_NE(lines[next][6], ' ') << lines[next];
        EXPECT_LE(lines[next].size(), 80u) << lines[next];
        EXPECT_EQ(std::count(lines[next].begin(), lines[next].end(), '"') % 2, 0) << lines[next];
        note += (note.empty() ? "" : " ") + lines[next].substr(6);
    }
    EXPECT_EQ(note, VoiceCommandCatalog::placementNote("\"", "\""));
    for (const char* phrase : {"\"scratch that\"", "\"delete that\"", "\"cap that\"", "\"delete last word\""})
        EXPECT_NE(note.find(phrase), std::string::npos) << phrase;
    EXPECT_NE(note.find("act only as the last words of a dictation"), std::string::npos) << note;
    ASSERT_EQ(next + 2, lines.size());
    EXPECT_EQ(lines[next], "");
    const std::string tail = "\n\nExit status: 0 success, 2 usage error, 1 other failure.";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << "ends without a newline";
    EXPECT_EQ(text.find("      \"period\"                Types a period (.)\n"), text.find("      \"period"));
    // Said on its own the phrase is typed as words: the help promises only what it does.
    EXPECT_NE(text.find("      \"scratch that\"          Deletes the sentence said before it in the same dictation\n"),
              std::string::npos);
}
