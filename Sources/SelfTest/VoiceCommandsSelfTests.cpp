#include "SelfTest/SelfTest.h"
#include "SelfTest/TextSelfTestSupport.h"
#include "Text/PolishEngine.h"
#include "Text/VoiceCommands.h"

using TextSelfTestSupport::expectEqual;

namespace VoiceCommandsSelfTests {

namespace {
struct Row {
    const char* name;
    const char* input;
    const char* expected;
    const char* label;
    const char* teeth;
};
}  // namespace

std::vector<SelfTestCase> cases() {
    std::vector<SelfTestCase> out;
    const char* falsePositives[] = {
        "The period at the end of the Cretaceous", "I need a comma separated list",
        "What is the question mark for",           "Add a colon separated value",
        "Use a semicolon to join clauses",         "The dash between the numbers indicates a range",
        "The new line spacing looks good"};
    for (const char* input : falsePositives) {
        const std::string in = input;
        out.push_back({"false positive survives untouched: \"" + in + "\"",
                       "removing the guard that leaves a command word alone when a determiner precedes it (or "
                       "narrowing its determiner set) would make the resolver rewrite an ordinary sentence into broken "
                       "punctuation",
                       [in] { return expectEqual("resolve(\"" + in + "\")", in, VoiceCommands::resolve(in)); }});
    }

    const std::vector<Row> rows = {
        {"false positive: 'scratch that itch' is not utterance-final, survives untouched", "I need to scratch that itch",
         "I need to scratch that itch", "resolve(scratch-that-itch)",
         "firing 'scratch that' wherever it occurs instead of only as the trailing words would delete part of the "
         "sentence"},
        {"false positive: 'please cap that bottle' is not utterance-final, survives untouched", "Please cap that bottle",
         "Please cap that bottle", "resolve(cap-that-bottle)",
         "firing 'cap that' wherever it occurs instead of only as the trailing words would corrupt the sentence's casing"},
        {"period: no space before, one space after, next word capitalized", "hello period next sentence",
         "Hello. Next sentence", "resolve(hello period next sentence)",
         "wrong glue or spacing around terminal punctuation would give 'hello .Next' or 'hello. next' instead of "
         "'Hello. Next sentence'"},
        {"comma: attaches to previous word, space before next word, no forced capitalization",
         "wait comma i changed my mind", "Wait, i changed my mind", "resolve(wait comma i changed my mind)",
         "treating comma like a terminal punctuation mark (capitalizing the next word) would break this"},
        {"question mark produces '?' and capitalizes the next sentence", "are you coming question mark yes i am",
         "Are you coming? Yes i am", "resolve(question mark case)",
         "not recognizing the two-word phrase 'question mark' would leave the literal words in the output"},
    };
    auto addRows = [&out](const std::vector<Row>& list) {
        for (const Row& r : list)
            out.push_back(
                {r.name, r.teeth, [r] { return expectEqual(r.label, r.expected, VoiceCommands::resolve(r.input)); }});
    };
    addRows(rows);

    out.push_back({"exclamation mark and exclamation point are synonyms",
                   "supporting only one of the two phrasings would fail this synonym check", [] {
                       const std::string mark = VoiceCommands::resolve("watch out exclamation mark");
                       const std::string point = VoiceCommands::resolve("watch out exclamation point");
                       if (mark == point) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("exclamation mark == exclamation point: expected " + point + ", got " +
                                                    mark);
                   }});
    out.push_back({"colon and semicolon insert their marks attached to the previous word",
                   "swapping the glue direction (space before instead of after) would misplace these marks", [] {
                       const std::string colon = VoiceCommands::resolve("here is the list colon apples bananas");
                       const std::string semi = VoiceCommands::resolve("i left early semicolon i was tired");
                       if (colon == "Here is the list: apples bananas" && semi == "I left early; i was tired")
                           return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("colon=\"" + colon + "\" semi=\"" + semi + "\"");
                   }});

    addRows({
        {"open quote / close quote wrap the enclosed words with no inner space padding",
         "she said open quote hello there close quote to me", "She said \"hello there\" to me", "resolve(open/close quote)",
         "gluing the quote marks the wrong direction would leave a stray space inside or outside the quotes"},
        {"open paren / close paren wrap the enclosed words", "the total open paren in dollars close paren is high",
         "The total (in dollars) is high", "resolve(open/close paren)",
         "gluing the paren marks the wrong direction would leave a stray space inside or outside the parens"},
        {"hyphen joins two words with no surrounding spaces", "this is a well hyphen known fact",
         "This is a well-known fact", "resolve(hyphen)",
         "treating hyphen like the spaced 'dash' command would leave stray spaces around the joiner"},
        {"dash inserts a spaced mark, distinct from hyphen", "wait dash i have an idea", "Wait - i have an idea",
         "resolve(dash)", "collapsing dash and hyphen into the same glue behavior would fail this or the hyphen test"},
        {"new paragraph inserts a blank-line break and capitalizes what follows", "first idea new paragraph second idea",
         "First idea\n\nSecond idea", "resolve(new paragraph)",
         "a single newline instead of a double one, or no capital after it, would fail"},
    });

    out.push_back({"new line and next line are synonyms for a single line break",
                   "different behaviour for the two phrasings, or reusing the paragraph's double newline, would fail", [] {
                       const std::string first = VoiceCommands::resolve("first line new line second line");
                       const std::string second = VoiceCommands::resolve("first line next line second line");
                       if (first == "First line\nSecond line" && second == first) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("new line=\"" + first + "\" next line=\"" + second + "\"");
                   }});

    addRows({
        {"scratch that removes the preceding sentence", "the sky is blue period the grass is green period scratch that",
         "The sky is blue.", "resolve(scratch that)",
         "deleting the wrong span (e.g. only the last word, or the wrong sentence) would fail this"},
        {"delete that is a synonym for scratch that", "the sky is blue period the grass is green period delete that",
         "The sky is blue.", "resolve(delete that)", "supporting only 'scratch that' and not 'delete that' would fail this"},
    });

    out.push_back({"scratch that with nothing before it is a no-op, not a crash or empty string",
                   "an implementation that always deletes back to the start, or throws on an empty buffer, would crash "
                   "or return an empty string instead of leaving the utterance untouched",
                   [] {
                       const std::string result = VoiceCommands::resolve("scratch that");
                       if (!result.empty()) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("expected a non-empty no-op, got \"" + result + "\"");
                   }});

    addRows({
        {"delete last word removes exactly one trailing word", "i really like turtles delete last word", "I really like",
         "resolve(delete last word)", "removing more or fewer than one word would fail this"},
        {"all caps <word> uppercases exactly the following word", "the acronym is all caps nasa for short",
         "The acronym is NASA for short", "resolve(all caps)",
         "uppercasing the wrong word, or leaving the literal phrase 'all caps' in the output, would fail this"},
        {"cap that capitalizes the preceding word", "my friend john cap that", "My friend John", "resolve(cap that)",
         "capitalizing the wrong word, or the whole word instead of just its first letter, would fail this"},
        {"chained commands: comma, period, and new paragraph all in one utterance",
         "hello comma world period new paragraph goodbye", "Hello, world.\n\nGoodbye", "resolve(chained commands)",
         "any single command's glue or capitalisation error surfaces in the composite even if its own case passed"},
    });

    for (const char* input : {"hello period next sentence", "hello comma world period new paragraph goodbye",
                              "this is a well hyphen known fact", "she said open quote hello there close quote to me"}) {
        const std::string in = input;
        out.push_back({"idempotent: resolving an already-resolved string does not change it further — \"" + in + "\"",
                       "a resolver that re-tokenises its own inserted punctuation as new command words, or loses a "
                       "paragraph or line break on a second pass, would fail",
                       [in] {
                           const std::string once = VoiceCommands::resolve(in);
                           return expectEqual("resolve(resolve(\"" + in + "\"))", once, VoiceCommands::resolve(once));
                       }});
    }

    out.push_back({"PolishEngine.polish resolves voice commands in .fast mode (no filler/vocab bypass of commands)",
                   "calling the resolver only inside the balanced and polish branches (skipping fast) would fail", [] {
                       PolishEngine::shared().setMode("fast");
                       return expectEqual("PolishEngine.polish fast-mode command resolution", "Hello. Next sentence",
                                          PolishEngine::shared().polish("hello period next sentence", std::nullopt));
                   }});
    out.push_back({"PolishEngine.polish resolves voice commands in .balanced mode",
                   "forgetting to resolve commands before filler stripping and vocabulary in balanced mode would fail", [] {
                       PolishEngine::shared().setMode("balanced");
                       return expectEqual("PolishEngine.polish balanced-mode command resolution", "Hello. Next sentence",
                                          PolishEngine::shared().polish("hello period next sentence", std::nullopt));
                   }});
    return out;
}

}  // namespace VoiceCommandsSelfTests

ONDIRA_SELFTEST_SUITE("VoiceCommands", VoiceCommandsSelfTests::cases);
