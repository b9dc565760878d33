#include "Text/VoiceCommands.h"

#include <gtest/gtest.h>

namespace {
struct Case {
    const char* input;
    const char* expected;
};

class VoiceCommandsResolve : public ::testing::TestWithParam<Case> {};

TEST_P(VoiceCommandsResolve, GivesTheExpectedText) {
    EXPECT_EQ(VoiceCommands::resolve(GetParam().input), GetParam().expected) << "input: " << GetParam().input;
}

INSTANTIATE_TEST_SUITE_P(
    Commands, VoiceCommandsResolve,
    ::testing::Values(Case{"", ""}, Case{"hello period next sentence", "Hello. Next sentence"},
                      Case{"HELLO PERIOD next", "HELLO. Next"},  // command words match in any case
                      Case{"first idea new paragraph second idea", "First idea\n\nSecond idea"},
                      Case{"hello world scratch that", ""}, Case{"scratch that", "scratch that"},
                      Case{"one two three delete last word delete last word", "One"},
                      Case{"delete last word", "delete last word"},  // nothing to delete: ordinary words
                      Case{"the delete last word", ""},              // fires after a determiner too
                      // Break markers never leak into the output, whatever precedes them.
                      Case{"say all caps\nnext", "say all caps\nnext"},
                      Case{"say all caps\n\nnext period", "Say all caps\n\nNext."},
                      Case{"say all caps\nnext period", "Say all caps\nNext."},
                      Case{"a  b\n\n\nc", "a  b\n\n\nc"},  // no command: byte for byte
                      Case{"one\n\n\ntwo period", "One\n\n\nTwo."}, Case{"the period at the end", "the period at the end"},
                      Case{"end with all caps", "end with all caps"}, Case{"my friend john cap that", "My friend John"},
                      Case{"\u00dfig period", "SSig."},  // full case mapping of the first character
                      Case{"i said colon go", "I said: go"}));

TEST(VoiceCommands, ResolvingAResultAgainChangesNothing) {
    for (const char* input : {"hello comma world period new paragraph goodbye", "a new line b next line c",
                              "she said open quote hi close quote period", "x all caps y new line z"}) {
        const std::string once = VoiceCommands::resolve(input);
        EXPECT_EQ(VoiceCommands::resolve(once), once) << input;
    }
}

TEST(VoiceCommands, NoSeparatorCharacterEverReachesTheOutput) {
    for (const char* input : {"all caps\n\nx", "w all caps\nx", "all caps \n period", "cap that\n\nscratch that"}) {
        const std::string out = VoiceCommands::resolve(input);
        EXPECT_EQ(out.find("\u2028"), std::string::npos) << input;
        EXPECT_EQ(out.find("\u2029"), std::string::npos) << input;
    }
}
}  // namespace
