#pragma once
// How much local clean-up a dictation gets; stored and exchanged as its name.
#include <optional>
#include <string>
#include <string_view>

enum class ProcessingMode { fast, balanced, polish };

namespace ProcessingModes {
const char* rawValue(ProcessingMode mode);
// Exact, case-sensitive: "Polish" is no mode.
std::optional<ProcessingMode> fromRawValue(std::string_view raw);
}  // namespace ProcessingModes
