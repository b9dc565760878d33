#include "Input/TextInjector.h"
#include "SelfTest/SelfTest.h"

namespace PasteVerdictSelfTests {

namespace {
using Verdict = TextInjector::PasteVerdict;
using Reading = std::optional<std::string>;

std::string optionalForm(const Reading& r) { return r ? "Optional(\"" + *r + "\")" : "nil"; }

SelfTestCase verdictCase(std::string name, std::string teeth, Reading before, Reading after, Reading selected,
                         std::string inserted, Verdict expected) {
    return {std::move(name), std::move(teeth), [=] {
                Verdict got = TextInjector::classifyPaste(before, after, selected, inserted);
                if (got == expected) return SelfTestOutcome::pass();
                return SelfTestOutcome::fail("expected " + TextInjector::verdictName(expected) + ", got " +
                                             TextInjector::verdictName(got) + " [before=" + optionalForm(before) +
                                             " after=" + optionalForm(after) + " selected=" + optionalForm(selected) + "]");
            }};
}
}  // namespace

std::vector<SelfTestCase> cases() {
    const Reading absent;
    return {
        verdictCase("value grew and contains the text -> confirmed",
                    "if the substring test were dropped, an ordinary successful paste would stop confirming", "Hello ",
                    "Hello world", absent, "world", Verdict::confirmed),
        verdictCase(
            "nothing readable and an empty selection -> unknown, NOT failed",
            "this is the shape a terminal window gives; if empty readings counted as observations again, the "
            "verdict would be definitelyFailed and the false error, with the risk of inserting twice, would come back",
            absent, absent, "", "world", Verdict::unknown),
        verdictCase("readable before AND after, genuinely unchanged -> definitelyFailed",
                    "if this returned unknown, a real failed paste would be swallowed and the user would lose words "
                    "without a message",
                    "abc", "abc", absent, "world", Verdict::definitelyFailed),
        verdictCase("app transformed the text (smart quotes) -> confirmed via growth",
                    "without the length-growth fallback every application that applies smart quotes or autocorrection "
                    "would report a false failure",
                    "Hi ", "Hi \u201Cquoted\u201D", absent, "\"quoted\"", Verdict::confirmed),
        verdictCase(
            "empty strings on both sides are not observations -> unknown",
            "an empty string must count as nothing read, else an empty text field would look like a definite failure", "",
            "", absent, "world", Verdict::unknown),
        verdictCase("non-empty selection containing the text -> confirmed",
                    "the selected text is the only positive signal some applications give, and losing it costs "
                    "confirmations in applications that select after inserting",
                    absent, absent, "world", "world", Verdict::confirmed),
        verdictCase("selection is empty but value moved -> confirmed on the value",
                    "guards against an empty selection vetoing an otherwise good value-based confirmation", "a", "a world",
                    "", "world", Verdict::confirmed),
        verdictCase("unreadable before, readable after containing text -> confirmed",
                    "a nil 'before' must not block confirmation when the after-reading positively shows the text", absent,
                    "world", absent, "world", Verdict::confirmed),
    };
}

}  // namespace PasteVerdictSelfTests

ONDIRA_SELFTEST_SUITE("PasteVerdict", PasteVerdictSelfTests::cases);
