#pragma once
// Small helpers the text-processing suites share for their verdicts.
#include <string>
#include <vector>

#include "Learning/CorrectionLog.h"
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

using Pairs = std::vector<std::pair<std::string, std::string>>;

// In-memory correction records: empty context, app "A", ts 1, 2, 3, ... in list order.
inline std::vector<CorrectionRecord> correctionRecords(const Pairs& pairs, CorrectionSource source) {
    std::vector<CorrectionRecord> out;
    std::int64_t ts = 1;
    for (const auto& [h, w] : pairs) out.push_back({h, w, "", "A", ts++, source});
    return out;
}

inline Pairs repeated(const std::string& heard, const std::string& written, int times) {
    return Pairs(static_cast<std::size_t>(times), {heard, written});
}

inline std::string boolText(bool b) { return b ? "true" : "false"; }

}  // namespace TextSelfTestSupport
