// The shipped hub page is a template: no data dump, no web-font service, no
// record copied out of a real dictation history.
#include "SelfTest/HubPageSource.h"

namespace ArtifactHygieneSelfTests {

// Built at run time from its bytes, so the marker itself never appears as a
// literal in the program that a release scan greps.
std::string dataDumpMarker() {
    static const unsigned char bytes[] = {0x41, 0x4C, 0x4C, 0x5F, 0x45, 0x4E, 0x54, 0x52, 0x49, 0x45, 0x53};
    return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

std::vector<SelfTestCase> cases() {
    auto page = HubPageSource::bundledPage();
    if (!page) {
        return {{"artifact hygiene", "n/a", [] { return SelfTestOutcome::fail("bundled ondira_hub.html not found"); }}};
    }
    static const std::string webFontNeedle = "fonts.googleapis";
    return {
        {"bundled ondira_hub.html contains no baked full-data-dump marker",
         "putting the historical baked-in full-data-dump marker back into the shipped template fails this",
         [page] {
             const auto marker = dataDumpMarker();
             if (marker.empty() || page->find(marker) == std::string::npos) return SelfTestOutcome::pass();
             return SelfTestOutcome::fail("baked full-data-dump marker found in the bundled ondira_hub.html");
         }},
        {"bundled ondira_hub.html references no " + webFontNeedle + ".com",
         "adding a stylesheet link to, or an import from, the public web-font service back into the template fails "
         "this: fonts are the system's own only",
         [page] {
             if (page->find(webFontNeedle) == std::string::npos) return SelfTestOutcome::pass();
             return SelfTestOutcome::fail("'" + webFontNeedle + "' found in the bundled ondira_hub.html");
         }},
        {"bundled ondira_hub.html contains no transcript-looking baked content",
         "a build in which a real history record, or a pasted sample of one, was embedded as static page content trips "
         "this: the field names the history logger writes have no reason to appear in a template that gets its data "
         "through the bridge",
         [page] {
             static const char* needles[] = {"latency_source", "\"engine\":\"native_apple_silicon\"",
                                             "\"engine\": \"native_apple_silicon\""};
             std::string found;
             for (const char* needle : needles)
                 if (page->find(needle) != std::string::npos) found += (found.empty() ? "" : ", ") + std::string(needle);
             if (found.empty()) return SelfTestOutcome::pass();
             return SelfTestOutcome::fail("found dictation-log-shaped content baked into the template: " + found);
         }},
    };
}

}  // namespace ArtifactHygieneSelfTests

ONDIRA_SELFTEST_SUITE("ArtifactHygiene", ArtifactHygieneSelfTests::cases);
