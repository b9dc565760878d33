#pragma once
// Helpers of the history-log suite that the history-export suite shares.
#include <string>
#include <string_view>
#include <vector>

namespace DictationLogSelfTests {
// Removes the live log and the archive, ignoring every error.
void resetLogs();
// The live log's permission bits are exactly 0600.
bool liveLogIsOwnerOnly();
// The live log is larger than 5,000,000 bytes.
bool liveLogPastFiveMB();
// A string as its debug rendering: quoted, with \n, \t, \" and \\ escaped.
std::string quotedEscaped(std::string_view s);
// A list of strings as ["a", "b"].
std::string bracketed(const std::vector<std::string>& items);
}  // namespace DictationLogSelfTests
