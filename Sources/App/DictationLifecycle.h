#pragma once
// The phase of the current dictation, and what Esc does in each phase. A
// capture begun by holding the key and one begun hands-free are the same
// `capturing` phase, so Esc treats them alike.
#include <string>
#include <utility>

enum class DictationLifecycle { idle, capturing, transcribing, injected };

namespace DictationLifecycles {

enum class CancelOutcome { cancelledDiscardAudio, cancelledDropTranscript, noOp };

// The phase after Esc and what Esc does: capturing → idle, discard the audio;
// transcribing → idle, drop the transcript; injected and idle stay, no-op
// (text already inserted is never taken back).
inline std::pair<DictationLifecycle, CancelOutcome> cancelled(DictationLifecycle phase) {
    switch (phase) {
        case DictationLifecycle::capturing: return {DictationLifecycle::idle, CancelOutcome::cancelledDiscardAudio};
        case DictationLifecycle::transcribing: return {DictationLifecycle::idle, CancelOutcome::cancelledDropTranscript};
        case DictationLifecycle::idle:
        case DictationLifecycle::injected: return {phase, CancelOutcome::noOp};
    }
    return {phase, CancelOutcome::noOp};
}

}  // namespace DictationLifecycles
