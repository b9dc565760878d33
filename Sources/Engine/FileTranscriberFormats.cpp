// Plain text, SubRip and WebVTT renderings of a file transcription, and the
// transcript writer.
#include "Engine/FileTranscriber.h"

#include "Platform/FileIO.h"
#include "Platform/Unicode.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <system_error>

namespace FileTranscriber {

namespace {

// A time a cue can be printed with: NaN and negative times count as 0, and
// absurdly large ones are held at a bound the millisecond count can carry.
double printableSeconds(double seconds) {
    if (std::isnan(seconds) || seconds < 0) return 0;
    constexpr double maxSeconds = 1e12;
    return std::min(seconds, maxSeconds);
}

// One cue's text without the things that would end the cue early or be read
// as a timing line: blank lines are dropped, "-->" is defused.
std::string cueText(const std::string& text, bool webVTT) {
    std::string unified;
    unified.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            unified += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            unified += text[i];
        }
    }
    std::vector<std::string> lines;
    for (const auto& line : platform::text::splitLines(unified))
        if (!platform::text::trimmed(line).empty()) lines.push_back(line);
    std::string joined = platform::text::join(lines, "\n");

    std::string out;
    out.reserve(joined.size());
    for (std::size_t i = 0; i < joined.size(); ++i) {
        const char c = joined[i];
        if (webVTT) {
            // WebVTT cue text is markup: "&" and "<" start entities and tags,
            // and an escaped ">" keeps any "-->" from reading as a timing line.
            if (c == '&') out += "&amp;";
            else if (c == '<') out += "&lt;";
            else if (c == '>') out += "&gt;";
            else out += c;
        } else if (c == '-' && joined.compare(i, 3, "-->") == 0) {
            out += "->";
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

struct Cue {
    double start;
    double end;
    std::string text;
};

std::vector<Cue> cues(const std::vector<Segment>& segments, bool webVTT) {
    std::vector<Cue> out;
    for (const auto& s : segments) {
        std::string text = cueText(s.text, webVTT);
        if (text.empty()) continue;  // an empty cue would read as the end of the block
        const double start = printableSeconds(s.startSeconds);
        const double end = std::max(start, printableSeconds(s.endSeconds));
        out.push_back({start, end, std::move(text)});
    }
    return out;
}

}  // namespace

std::string formatTimestamp(double seconds, const std::string& separator) {
    const auto total = static_cast<std::int64_t>(std::llround(printableSeconds(seconds) * 1000.0));
    const std::int64_t hours = total / 3600000;
    const std::int64_t minutes = (total / 60000) % 60;
    const std::int64_t secs = (total / 1000) % 60;
    const std::int64_t millis = total % 1000;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%02" PRId64 ":%02" PRId64 ":%02" PRId64 "%s%03" PRId64, hours, minutes, secs,
                  separator.c_str(), millis);
    return buffer;
}

std::string srtTimestamp(double seconds) { return formatTimestamp(seconds, ","); }
std::string vttTimestamp(double seconds) { return formatTimestamp(seconds, "."); }

std::string formatSRT(const std::vector<Segment>& segments) {
    std::vector<std::string> blocks;
    int number = 0;
    for (const auto& cue : cues(segments, false)) {
        blocks.push_back(std::to_string(++number) + "\n" + srtTimestamp(cue.start) + " --> " + srtTimestamp(cue.end) + "\n" +
                         cue.text);
    }
    if (blocks.empty()) return "";
    return platform::text::join(blocks, "\n\n") + "\n";
}

std::string formatVTT(const std::vector<Segment>& segments) {
    std::vector<std::string> blocks = {"WEBVTT"};
    for (const auto& cue : cues(segments, true))
        blocks.push_back(vttTimestamp(cue.start) + " --> " + vttTimestamp(cue.end) + "\n" + cue.text);
    return platform::text::join(blocks, "\n\n") + "\n";
}

namespace {
[[noreturn]] void refuse(int code, const std::string& what) {
    throw std::system_error(code ? code : EIO, std::generic_category(), what);
}
}  // namespace

TranscriptDestination::TranscriptDestination(const std::filesystem::path& url) : url_(url), target_(url) {
    // The path the user named, through any symlink: a rename would replace
    // the link (or a device node) itself with a regular file.
    struct stat st {};
    if (::stat(url.c_str(), &st) == 0) {
        std::error_code ec;
        if (auto resolved = std::filesystem::canonical(url, ec); !ec) target_ = resolved;
        if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)) {
            // A terminal, /dev/null, /dev/stdout or a pipe: written straight
            // to, and opened now. The open doesn't wait: a pipe nobody reads
            // would otherwise hold the program after all the work is done.
            fd_ = ::open(target_.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
            if (fd_ < 0 && errno == ENXIO) refuse(ENXIO, url.string() + " is a pipe nobody is reading from");
            if (fd_ < 0) refuse(errno, "cannot open " + url.string());
            const int flags = ::fcntl(fd_, F_GETFL);
            if (flags >= 0) ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK);
            return;
        }
        if (!S_ISREG(st.st_mode))
            refuse(EINVAL, url.string() + " is neither a regular file nor a device or pipe to write to");
        // A file its owner made read-only is not replaced, even by a user the
        // permissions would not stop.
        if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || ::access(target_.c_str(), W_OK) != 0)
            refuse(EACCES, url.string() + " is read-only");
        mode_ = st.st_mode & 07777;  // a regular file keeps its mode
    } else if (::lstat(url.c_str(), &st) == 0) {
        refuse(ENOENT, url.string() + " is a symbolic link to nothing");
    }
    const std::filesystem::path folder = target_.parent_path().empty() ? "." : target_.parent_path();
    if (!std::filesystem::is_directory(folder)) refuse(ENOENT, "there is no folder " + folder.string());
    if (::access(folder.c_str(), W_OK) != 0) refuse(errno, "cannot write in " + folder.string());
}

TranscriptDestination::~TranscriptDestination() {
    if (fd_ >= 0) ::close(fd_);
}

void TranscriptDestination::write(const std::string& text) {
    if (fd_ >= 0) {
        if (!platform::writeAll(fd_, text)) refuse(errno, "cannot write " + url_.string());
        return;
    }
    std::string error;
    errno = 0;
    if (!platform::atomicWrite(target_, text, mode_, &error)) refuse(errno, error);
}

void writeTranscript(const std::string& text, const std::filesystem::path& url) {
    TranscriptDestination(url).write(text);
}

}  // namespace FileTranscriber
