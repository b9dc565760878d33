#pragma once
// Small helpers the text-processing suites share for their verdicts.
#include <string>
#include <vector>

#include "SelfTest/SelfTest.h"

namespace TextSelfTestSupport {

// pass when equal, else "<label>: expected <expected>, got <got>".
inline SelfTestOutcome expectEqual(const std::string& label, const std::string& expected, const std::string& got) {
    if (expected == got) return SelfTestOutcome::pass();
    return SelfTestOutcome::fail(label + ": expected " + expected + ", got " + got);
}

// ["a", "b"]
inline std::string quotedList(const std::vector<std::string>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) out += (i ? ", \"" : "\"") + items[i] + "\"";
    return out + "]";
}

inline std::string boolText(bool b) { return b ? "true" : "false"; }

}  // namespace TextSelfTestSupport
