#pragma once
// One step of `Ondira --polish-smoke-test`, open to the tests so a rewrite
// that answers after the step gave up can be played out.
#include "Text/PolishService.h"

#include <functional>
#include <string>

namespace PolishSmokeTest {

// Starts a rewrite of `text` that answers through the completion, whenever it does.
using Rewrite = std::function<void(const std::string& text, PolishService::Completion completion)>;

// The time one rewrite may take before the step reports it missing.
inline constexpr double stepTimeoutSeconds = 30.0;

// Runs one rewrite, pumping the main queue until it answers or `timeoutSeconds`
// pass, and prints what happened. True when it answered in time. The
// completion may still run after the step has returned; it touches nothing
// of the step's but what it owns.
bool runStep(const std::string& label, const std::string& text, const Rewrite& rewrite,
             double timeoutSeconds = stepTimeoutSeconds);

}  // namespace PolishSmokeTest
