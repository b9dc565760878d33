#pragma once
// Helpers for self-test cases that check a property of a source file of the
// checkout: literal, case-sensitive searches and the text between markers.
#include <optional>
#include <string>

#include "Platform/Unicode.h"
#include "SelfTest/SelfTest.h"

namespace SourceScan {
// The text from the start of `from` up to the start of `to` (searched after
// the end of `from`); none when either is missing.
inline std::optional<std::string> between(const std::string& text, const std::string& from, const std::string& to) {
    const auto start = text.find(from);
    if (start == std::string::npos) return std::nullopt;
    const auto end = text.find(to, start + from.size());
    if (end == std::string::npos) return std::nullopt;
    return text.substr(start, end - start);
}
inline bool contains(const std::string& text, const std::string& needle) { return text.find(needle) != std::string::npos; }

// The speech engine's source, or the one case that stands in for its scans
// when there is no checkout or the file cannot be read.
inline std::optional<std::string> speechEngineSourceOr(std::vector<SelfTestCase>& out, const std::string& placeholderName) {
    const auto root = SelfTestSupport::repoRoot();
    const auto text = root ? SelfTestSupport::readRepoFile("Sources/Engine/SpeechEngine.cpp") : std::nullopt;
    if (root && text && platform::text::isValidUTF8(*text)) return text;
    const bool noTree = !root;
    out.push_back({placeholderName,
                   noTree ? "n/a — dev source tree not present next to this bundle"
                          : "the speech engine's source must be in the tree next to this bundle",
                   [noTree] {
                       // No checkout (an installed bundle) has nothing to scan; a checkout
                       // that lacks the file means the scan lost its subject, which is a fault.
                       if (noTree)
                           return SelfTestOutcome::skip("dev source tree not present next to this bundle — cannot "
                                                        "source-scan SpeechEngine");
                       return SelfTestOutcome::fail("Sources/Engine/SpeechEngine.cpp is missing or unreadable in the "
                                                    "source tree next to this bundle");
                   }});
    return std::nullopt;
}
}  // namespace SourceScan
