#pragma once
// Helpers for self-test cases that check a property of a source file of the
// checkout: literal, case-sensitive searches and the text between markers.
#include <algorithm>
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

// The text with its // and /* */ comments blanked out (string and character
// literals are kept), so a call that was commented out no longer counts.
inline std::string withoutComments(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        if (c == '"' || c == '\'') {
            std::size_t j = i + 1;
            while (j < text.size() && text[j] != c && text[j] != '\n') j += text[j] == '\\' ? 2 : 1;
            j = std::min(j + 1, text.size());
            out.append(text, i, j - i);
            i = j;
        } else if (text.compare(i, 2, "//") == 0) {
            while (i < text.size() && text[i] != '\n') ++i;
        } else if (text.compare(i, 2, "/*") == 0) {
            const auto end = text.find("*/", i + 2);
            i = end == std::string::npos ? text.size() : end + 2;
            out += ' ';
        } else {
            out += c;
            ++i;
        }
    }
    return out;
}

// Whether every occurrence of `needle` in `text` lies inside the argument list
// of a call that starts with `call` (e.g. "partialCoalescer.consider(").
inline bool onlyInsideCall(const std::string& text, const std::string& needle, const std::string& call) {
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        const auto open = text.rfind(call, at);
        if (open == std::string::npos) return false;
        int depth = 0;
        for (std::size_t i = open + call.size() - 1; i < at; ++i) {
            if (text[i] == '(') ++depth;
            else if (text[i] == ')') --depth;
        }
        if (depth <= 0) return false;
    }
    return true;
}

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
                           return SelfTestOutcome::skip(
                               "dev source tree not present next to this bundle — cannot "
                               "source-scan SpeechEngine");
                       return SelfTestOutcome::fail(
                           "Sources/Engine/SpeechEngine.cpp is missing or unreadable in the "
                           "source tree next to this bundle");
                   }});
    return std::nullopt;
}
}  // namespace SourceScan
