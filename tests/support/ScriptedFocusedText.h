#pragma once
// A focused-text source that answers what the test says, after a delay it
// chooses, and counts how often it was asked.
#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "Platform/FocusedText.h"

class ScriptedFocusedText : public platform::FocusedTextSource {
public:
    std::optional<std::string> value;
    std::optional<std::string> selected;
    std::chrono::milliseconds delay{0};
    std::atomic<int> reads{0};

    std::optional<std::string> focusedValue() override {
        ++reads;
        std::this_thread::sleep_for(delay);
        return value;
    }
    std::optional<std::string> focusedSelectedText() override { return selected; }
};
