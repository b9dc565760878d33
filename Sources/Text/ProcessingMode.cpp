#include "Text/ProcessingMode.h"

namespace ProcessingModes {

const char* rawValue(ProcessingMode mode) {
    switch (mode) {
        case ProcessingMode::fast: return "fast";
        case ProcessingMode::balanced: return "balanced";
        case ProcessingMode::polish: return "polish";
    }
    return "balanced";
}

std::optional<ProcessingMode> fromRawValue(std::string_view raw) {
    if (raw == "fast") return ProcessingMode::fast;
    if (raw == "balanced") return ProcessingMode::balanced;
    if (raw == "polish") return ProcessingMode::polish;
    return std::nullopt;
}

}  // namespace ProcessingModes
