#include "Base/FaultLog.h"

#include "Base/AppPaths.h"
#include "Base/Branding.h"
#include "Platform/AppendLog.h"
#include "Platform/FileIO.h"
#include "Platform/Unicode.h"

#include <cxxabi.h>
#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <typeinfo>

#include <nlohmann/json.hpp>

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace FaultLog {

namespace {

// Process-wide state prepared at install and never released: the signal
// handler may use nothing else.
std::atomic<bool> gInstalled{false};
int gSignalFD = -1;
char gSignalBuffer[signalBufferSize];
// A stack of its own for the handler, so a stack overflow can still be recorded.
alignas(16) char gAlternateStack[64 * 1024];
std::terminate_handler gPreviousTerminate = nullptr;

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

// Appends `value` in decimal at `pos`: negative counts as 0, at most 20
// digits, stopping before the position would pass the buffer's last byte.
void appendDecimal(char* buffer, std::size_t& pos, long long value) {
    unsigned long long v = value < 0 ? 0 : static_cast<unsigned long long>(value);
    char digits[20];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0 && n < 20);
    while (n > 0 && pos < signalBufferSize) buffer[pos++] = digits[--n];
}

void appendText(char* buffer, std::size_t& pos, const char* text) {
    for (const char* p = text; *p && pos < signalBufferSize; ++p) buffer[pos++] = *p;
}

void onFatalSignal(int signal) {
    if (gSignalFD >= 0) {
        const std::size_t length = formatSignalRecord(gSignalBuffer, static_cast<long long>(::time(nullptr)), signal);
        // A record cut off mid-line must not swallow this one.
        if (platform::endsWithTornLine(gSignalFD)) {
            [[maybe_unused]] ssize_t r = ::write(gSignalFD, "\n", 1);
        }
        std::size_t done = 0;
        while (done < length) {
            ssize_t n = ::write(gSignalFD, gSignalBuffer + done, length - done);
            if (n > 0) done += static_cast<std::size_t>(n);
            else if (n < 0 && errno == EINTR) continue;
            else break;
        }
        ::fsync(gSignalFD);
    }
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
    ::raise(signal);
}

std::string demangle(const char* mangled) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
    return status == 0 && name ? std::string(name.get()) : std::string(mangled);
}

// "binary(_ZN3fooEv+0x12) [0x...]" reads better as "binary(foo()+0x12) [0x...]".
std::string readableFrame(const std::string& frame) {
    const std::size_t open = frame.find('(');
    const std::size_t plus = frame.find('+', open);
    if (open == std::string::npos || plus == std::string::npos || plus == open + 1) return frame;
    const std::string mangled = frame.substr(open + 1, plus - open - 1);
    return frame.substr(0, open + 1) + demangle(mangled.c_str()) + frame.substr(plus);
}

[[noreturn]] void onTerminate() {
    if (std::exception_ptr current = std::current_exception()) {
        std::string name = "unknown";
        if (const std::type_info* type = abi::__cxa_current_exception_type()) name = demangle(type->name());
        std::string reason;
        try {
            std::rethrow_exception(current);
        } catch (const std::exception& e) {
            reason = e.what();
        } catch (...) {}
        void* frames[maxStackSymbols];
        const int count = ::backtrace(frames, static_cast<int>(maxStackSymbols));
        std::vector<std::string> symbols;
        if (char** names = ::backtrace_symbols(frames, count)) {
            for (int i = 0; i < count; ++i) symbols.push_back(readableFrame(names[i]));
            std::free(names);
        }
        record("uncaught_exception", uncaughtExceptionDetail(name, reason, symbols));
    }
    if (gPreviousTerminate) gPreviousTerminate();
    std::abort();
}

}  // namespace

fs::path faultsFileURL() { return AppPaths::applicationSupportFile("faults.jsonl"); }

std::size_t formatSignalRecord(char* buffer, long long seconds, long long signal) {
    std::size_t pos = 0;
    appendText(buffer, pos, "{\"ts\":");
    appendDecimal(buffer, pos, seconds);
    appendText(buffer, pos, ",\"kind\":\"signal\",\"sig\":");
    appendDecimal(buffer, pos, signal);
    if (pos < signalBufferSize) buffer[pos++] = '}';
    if (pos < signalBufferSize) buffer[pos++] = '\n';
    return pos;
}

std::string recordLine(const std::string& kind, const std::map<std::string, std::string>& detail, std::time_t now) {
    json object = json::object();
    object["ts"] = static_cast<long long>(now);
    object["kind"] = kind;
    object["version"] = Branding::version;
    for (const auto& [key, value] : detail) object[key] = value;
    return object.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

std::map<std::string, std::string> uncaughtExceptionDetail(const std::string& name, const std::string& reason,
                                                           const std::vector<std::string>& stackSymbols) {
    std::vector<std::string> kept(stackSymbols.begin(), stackSymbols.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                                                   stackSymbols.size(), maxStackSymbols)));
    return {{"name", name}, {"reason", reason}, {"stack", platform::text::join(kept, " | ")}};
}

void record(const std::string& kind, const std::map<std::string, std::string>& detail) {
    platform::appendRecordLine(faultsFileURL(), recordLine(kind, detail, std::time(nullptr)));
}

bool applySizeCap(const fs::path& path, std::uint64_t cap) {
    struct stat st {};
    // Only the log itself: whatever a link at its path names is not ours to trim.
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) <= cap)
        return false;
    // Under the log's lock, which every appender takes, from the read of the
    // tail to the rename: a record another process appends in between would
    // otherwise be replaced by the tail read before it.
    platform::StoreLock lock(path);
    if (!lock.held()) return false;
    int fd = platform::openRegularFile(path);
    if (fd < 0) return false;
    if (::fstat(fd, &st) != 0 || static_cast<std::uint64_t>(st.st_size) <= cap) {
        ::close(fd);
        return false;
    }
    // Read one byte more than we keep, so a tail that starts on a line boundary is kept whole.
    const std::uint64_t keep = cap / 2;
    std::string tail(static_cast<std::size_t>(keep + 1), '\0');
    const off_t from = st.st_size - static_cast<off_t>(keep + 1);
    ssize_t got = ::pread(fd, tail.data(), tail.size(), from);
    ::close(fd);
    if (got != static_cast<ssize_t>(tail.size())) return false;
    const std::size_t firstBreak = tail.find('\n');
    std::string kept = firstBreak == std::string::npos ? std::string() : tail.substr(firstBreak + 1);
    return platform::writeStoreFile(path, kept, 0600);
}

void install() {
    if (gInstalled.exchange(true)) return;
    const fs::path path = faultsFileURL();
    applySizeCap(path, sizeCapBytes);

    // Opened as every appender opens its log: a link planted at the path
    // must not have its target's mode changed or records written into it.
    gSignalFD = platform::openForAppend(path);

    gPreviousTerminate = std::set_terminate(onTerminate);

    stack_t stack{};
    stack.ss_sp = gAlternateStack;
    stack.ss_size = sizeof gAlternateStack;
    ::sigaltstack(&stack, nullptr);
    for (int signal : kFatalSignals) {
        struct sigaction action {};
        action.sa_handler = onFatalSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_ONSTACK;
        ::sigaction(signal, &action, nullptr);
    }

    record("launch", {{"version", Branding::version}, {"build", Branding::buildNumber}});
}

}  // namespace FaultLog
