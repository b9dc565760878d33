#pragma once
// `transcribe`: one audio or video file to a transcript, on this machine.
// The transcript goes to standard output or, with --out, to a file written
// whole at the end; progress goes to standard error, and only to a terminal.
// Ctrl+C cancels: the transcription stops, no output file is written, and a
// second Ctrl+C ends the process at once.
#include <string>

#include "CLI/OndiraCLI.h"

namespace OndiraCLI {

// The longest a transcription may run before it is given up.
inline constexpr double transcribeTimeLimitSeconds = 3600;
// How long a cancelled transcription may take to stop before the command
// ends without it.
inline constexpr int cancelGraceSeconds = 5;

int runTranscribe(const TranscribeOptions& options);

// The progress line drawn on a terminal: a bar, the percentage and the
// elapsed time ("m:ss", "h:mm:ss" from an hour on).
std::string progressLine(double fractionComplete, double elapsedSeconds);

}  // namespace OndiraCLI
