#include "SelfTest/SelfTest.h"

namespace PartialTextPreviewSelfTests {

std::vector<SelfTestCase> indicatorScriptCases();

std::vector<SelfTestCase> cases() { return indicatorScriptCases(); }

}  // namespace PartialTextPreviewSelfTests

ONDIRA_SELFTEST_SUITE("PartialTextPreview", PartialTextPreviewSelfTests::cases);
