#pragma once
// A focused field that answers after a delay the test chooses, with a
// selection of its own, counting its readings (from any thread).
#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "support/FakeInsertionTarget.h"

class ScriptedFocusedText : public FakeInsertionTarget {
public:
    std::optional<std::string> selected;
    std::chrono::milliseconds delay{0};
    std::atomic<int> reads{0};

    std::optional<std::string> focusedValue() override {
        ++reads;
        std::this_thread::sleep_for(delay);
        return FakeInsertionTarget::focusedValue();
    }
    std::optional<std::string> focusedSelectedText() override { return selected; }
};
