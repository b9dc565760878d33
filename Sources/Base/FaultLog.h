#pragma once
// The fault log: one compact JSON object a line in faults.jsonl in Application
// Support, for internal anomalies, uncaught exceptions and fatal signals. The
// support bundle reads the file by name.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace FaultLog {

inline constexpr std::uint64_t sizeCapBytes = 262'144;  // checked once, at install
inline constexpr std::size_t maxStackSymbols = 24;
inline constexpr std::size_t signalBufferSize = 128;

std::filesystem::path faultsFileURL();

// Once per process (later calls do nothing): trims an oversized log to its
// newest records, opens the descriptor the signal handler writes through,
// installs the uncaught-exception and fatal-signal handlers (SIGSEGV, SIGBUS,
// SIGILL, SIGFPE, SIGABRT) and records "launch".
void install();

// Appends {"ts", "kind", "version"} merged with `detail` (detail wins) as one
// line. Any thread; never reports failure.
void record(const std::string& kind, const std::map<std::string, std::string>& detail = {});

// The pieces, each usable on its own.
std::string recordLine(const std::string& kind, const std::map<std::string, std::string>& detail, std::time_t now);
std::map<std::string, std::string> uncaughtExceptionDetail(const std::string& name, const std::string& reason,
                                                           const std::vector<std::string>& stackSymbols);
// When `path` is larger than `cap`, keeps its newest whole lines (at most half
// the cap, so the log doesn't hit the cap again at once). True when trimmed.
bool applySizeCap(const std::filesystem::path& path, std::uint64_t cap);
// Writes {"ts":<seconds>,"kind":"signal","sig":<signal>} and a line feed into
// `buffer` (signalBufferSize bytes) and returns the length. Allocates nothing;
// safe inside a signal handler.
std::size_t formatSignalRecord(char* buffer, long long seconds, long long signal);

}  // namespace FaultLog
