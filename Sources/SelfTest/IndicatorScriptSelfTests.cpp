#include "SelfTest/SelfTest.h"
#include "UI/IndicatorPages.h"

namespace PartialTextPreviewSelfTests {

// The cases about the script that carries partial text into the indicator's
// page; they sit after the throttle cases and before the source scan.
std::vector<SelfTestCase> indicatorScriptCases() {
    std::vector<SelfTestCase> out;

    out.push_back({"setPartialTextJS neutralizes </script>, quotes, backslash and newline",
                   "concatenating partial text into the script instead of encoding it as JSON would let a dictation "
                   "containing \"</script>\" and a quotation mark break out of the string literal and run arbitrary "
                   "script in the indicator's page",
                   [] {
                       const std::string script =
                           IndicatorPages::setPartialTextJS("he said </script> and \"quoted\" \\ stuff \n newline");
                       if (script.find("</script>") != std::string::npos)
                           return SelfTestOutcome::fail("emitted JS contains a raw </script> sequence: " + script);
                       if (script.find("\"quoted\"") != std::string::npos)
                           return SelfTestOutcome::fail("emitted JS contains an unescaped quoted substring: " + script);
                       if (script.find("setPartialText") == std::string::npos)
                           return SelfTestOutcome::fail("expected emitted JS to call window.setPartialText, got: " + script);
                       return SelfTestOutcome::pass();
                   }});

    out.push_back({"setPartialTextJS round-trips plain text unchanged in content",
                   "plain ASCII text would survive even naive string building, so this pins that the encoded literal "
                   "really carries the characters through",
                   [] {
                       const std::string script = IndicatorPages::setPartialTextJS("hello world");
                       if (script.find("hello world") != std::string::npos) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("expected emitted JS to contain the plain text verbatim, got: " +
                                                    script);
                   }});
    return out;
}

}  // namespace PartialTextPreviewSelfTests
