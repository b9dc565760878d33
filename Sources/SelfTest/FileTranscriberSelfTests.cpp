#include "Engine/FileTranscriber.h"
#include "Engine/SphinxWindowRecognizer.h"
#include "Platform/FileIO.h"
#include "Platform/Queues.h"
#include "Platform/Unicode.h"
#include "Platform/UUID.h"
#include "SelfTest/SelfTest.h"

#include <cmath>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

namespace fs = std::filesystem;
using namespace FileTranscriber;
using platform::text::formatDouble;

namespace FileTranscriberSelfTests {

namespace {

const char* kEmDash = "\xE2\x80\x94";

std::string listOfTexts(const std::vector<Segment>& segments) {
    std::vector<std::string> quoted;
    for (const auto& s : segments) quoted.push_back("\"" + s.text + "\"");
    return "[" + platform::text::join(quoted, ", ") + "]";
}

std::string listOfTexts(const std::vector<std::string>& texts) {
    std::vector<std::string> quoted;
    for (const auto& t : texts) quoted.push_back("\"" + t + "\"");
    return "[" + platform::text::join(quoted, ", ") + "]";
}

std::string listOfWindows(const std::vector<ChunkWindow>& windows) {
    std::vector<std::string> parts;
    for (const auto& w : windows) parts.push_back(describe(w));
    return "[" + platform::text::join(parts, ", ") + "]";
}

std::vector<std::string> textsOf(const std::vector<Segment>& segments) {
    std::vector<std::string> out;
    for (const auto& s : segments) out.push_back(s.text);
    return out;
}

SelfTestOutcome expectEqual(const std::string& label, const std::string& expected, const std::string& actual) {
    if (expected == actual) return SelfTestOutcome::pass();
    return SelfTestOutcome::fail(label + ": expected " + expected + ", got " + actual);
}

// The outcome a pre-flight case reads after its wait. The transcription runs
// on its own thread; when it outlives the wait, the case keeps the initial
// failure and the late write lands in a box nobody reads any more.
struct OutcomeBox {
    std::mutex lock;
    SelfTestOutcome outcome = SelfTestOutcome::fail("async block never ran");
};

struct PreflightExpectation {
    TranscriptionFileError::Kind kind;
    std::string didNotThrow;
    std::string otherError;  // followed by the error
};

SelfTestOutcome runPreflight(const fs::path& url, const std::shared_ptr<CancellationToken>& token,
                             const PreflightExpectation& expected) {
    auto box = std::make_shared<OutcomeBox>();
    auto done = std::make_shared<platform::Semaphore>(0);
    std::thread([url, token, expected, box, done] {
        SelfTestOutcome outcome = SelfTestOutcome::fail(expected.didNotThrow);
        try {
            transcribeFile(url, {}, currentLocaleIdentifier(), 240, 2, token, nullptr);
        } catch (const TranscriptionFileError& e) {
            outcome = e.kind() == expected.kind ? SelfTestOutcome::pass()
                                                : SelfTestOutcome::fail(expected.otherError + e.caseDescription());
        } catch (const std::exception& e) {
            outcome = SelfTestOutcome::fail(std::string("expected FileTranscriber.TranscriptionFileError, got ") + e.what());
        }
        {
            std::lock_guard<std::mutex> guard(box->lock);
            box->outcome = outcome;
        }
        done->signal();
    }).detach();
    done->wait(5.0);
    std::lock_guard<std::mutex> guard(box->lock);
    return box->outcome;
}

// A second of a quiet tone as 16 kHz 16-bit WAV: real audio that opens.
bool writeToneWav(const fs::path& path) {
    const std::uint32_t frames = 16000;
    std::string bytes = "RIFF";
    auto u32 = [&](std::uint32_t v) { bytes.append(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](std::uint16_t v) { bytes.append(reinterpret_cast<const char*>(&v), 2); };
    u32(36 + frames * 2);
    bytes += "WAVEfmt ";
    u32(16);
    u16(1);
    u16(1);
    u32(16000);
    u32(32000);
    u16(2);
    u16(16);
    bytes += "data";
    u32(frames * 2);
    for (std::uint32_t i = 0; i < frames; ++i)
        u16(static_cast<std::uint16_t>(static_cast<std::int16_t>(3000 * std::sin(2 * M_PI * 440.0 * i / 16000))));
    return platform::atomicWrite(path, bytes, 0600);
}

}  // namespace

std::vector<SelfTestCase> cases() {
    std::vector<SelfTestCase> out;

    // --- File types -------------------------------------------------------
    const std::vector<std::string> accepted = {"wav",  "aif", "aiff", "caf", "m4a", "mp3", "aac",
                                               "flac", "mp4", "mov",  "m4v", "WAV", "Mp4"};
    const std::vector<std::string> rejected = {"txt", "pdf", "docx", "zip", "mkv", "opus", ""};
    for (const auto& ext : accepted) {
        out.push_back({"accepts " + ext + " as a recognized format",
                       "if the extension were ever dropped from the format list, every file of that type would be "
                       "rejected as unsupported instead of being transcribed",
                       [ext] {
                           auto r = validateFormat("/tmp/ondira-selftest-sample." + ext);
                           if (std::holds_alternative<Format>(r)) return SelfTestOutcome::pass();
                           return SelfTestOutcome::fail("expected ." + ext + " to be accepted, got " +
                                                        std::get<TranscriptionFileError>(r).caseDescription());
                       }});
    }
    for (const auto& ext : rejected) {
        out.push_back(
            {"rejects " + (ext.empty() ? std::string("(none)") : ext) + " with a clear unsupportedFormat error",
             "if unknown extensions fell through to the audio decoder, a wrong-type file would fail obscurely "
             "inside the audio framework instead of with a named error",
             [ext] {
                 auto r = validateFormat(ext.empty() ? "/tmp/ondira-selftest-sample" : "/tmp/ondira-selftest-sample." + ext);
                 if (auto* e = std::get_if<TranscriptionFileError>(&r);
                     e && e->kind() == TranscriptionFileError::Kind::unsupportedFormat)
                     return SelfTestOutcome::pass();
                 if (auto* e = std::get_if<TranscriptionFileError>(&r))
                     return SelfTestOutcome::fail("expected ." + ext + " to be rejected, got " + e->caseDescription());
                 return SelfTestOutcome::fail("expected ." + ext + " to be rejected, got accepted as " +
                                              rawValue(std::get<Format>(r)));
             }});
    }

    // --- Timestamps -------------------------------------------------------
    const std::vector<std::pair<double, std::string>> stamps = {
        {0.0, "00:00:00,000"},      {0.005, "00:00:00,005"},  {1.0, "00:00:01,000"},      {61.5, "00:01:01,500"},
        {3599.999, "00:59:59,999"}, {3600.0, "01:00:00,000"}, {3661.234, "01:01:01,234"}, {7325.06, "02:02:05,060"},
    };
    for (const auto& [seconds, srt] : stamps) {
        const std::string s = formatDouble(seconds);
        std::string vtt = srt;
        std::replace(vtt.begin(), vtt.end(), ',', '.');
        out.push_back({"srtTimestamp(" + s + ") == " + srt,
                       "if the hour/minute/second/millisecond decomposition drifted (lost the hour roll-over, "
                       "truncated instead of rounding milliseconds), every SubRip file past a minute or hour boundary "
                       "would carry wrong cue times",
                       [seconds = seconds, srt = srt, s] {
                           return expectEqual("srtTimestamp(" + s + ")", srt, srtTimestamp(seconds));
                       }});
        out.push_back(
            {"vttTimestamp(" + s + ") matches srtTimestamp with '.' instead of ','",
             "if the WebVTT decimal separator regressed to a comma, every WebVTT file would be invalid for "
             "strict consumers",
             [seconds = seconds, vtt, s] { return expectEqual("vttTimestamp(" + s + ")", vtt, vttTimestamp(seconds)); }});
    }

    // --- Export renderings ------------------------------------------------
    const std::string text1 = "Hello there", text2 = "general kenobi";
    const std::vector<Segment> pair = {{text1, 0.0, 1.5}, {text2, 1.5, 3.25}};
    out.push_back({"srtTimestamp clamps negative seconds to zero rather than crashing/underflowing",
                   "without the clamp a negative time (a bad chunk offset) would give a garbage or crashing timestamp "
                   "instead of a safe floor",
                   [] { return expectEqual("srtTimestamp(-5.0)", "00:00:00,000", srtTimestamp(-5.0)); }});
    out.push_back({"formatSRT produces exact sequence numbers, timecodes, and blank-line separators",
                   "if the numbering, the \" --> \" separator or the blank line between cues changed, strict players "
                   "would no longer parse the file",
                   [pair, text1, text2] {
                       return expectEqual("formatSRT",
                                          "1\n00:00:00,000 --> 00:00:01,500\n" + text1 +
                                              "\n\n2\n00:00:01,500 --> 00:00:03,250\n" + text2 + "\n",
                                          formatSRT(pair));
                   }});
    out.push_back({"formatVTT starts with the WEBVTT header and uses '.' timecodes with blank-line separated cues",
                   "without the header or with the wrong decimal separator every strict WebVTT parser would reject "
                   "the file (the header is the mandatory first line)",
                   [pair, text1, text2] {
                       return expectEqual("formatVTT",
                                          "WEBVTT\n\n00:00:00.000 --> 00:00:01.500\n" + text1 +
                                              "\n\n00:00:01.500 --> 00:00:03.250\n" + text2 + "\n",
                                          formatVTT(pair));
                   }});
    out.push_back({"formatSRT on an empty segment list returns empty, not a crash or a bogus header",
                   "without the empty-input guard, an off-by-one on the first segment or a stray header could appear "
                   "for a file with no detected speech",
                   [] { return expectEqual("formatSRT([])", "", formatSRT({})); }});
    out.push_back({"formatVTT on an empty segment list still emits only the mandatory header",
                   "a WebVTT file must start with the header even with zero cues; an empty string would be an invalid "
                   "file",
                   [] { return expectEqual("formatVTT([])", "WEBVTT\n", formatVTT({})); }});

    // --- Chunk planning ---------------------------------------------------
    out.push_back({"planChunks returns a single window covering the whole file when duration <= chunkSeconds",
                   "splitting a short file anyway would cost needless recognizer round-trips and could create a bogus "
                   "internal boundary",
                   [] {
                       auto plan = planChunks(30, 240, 2);
                       if (plan == std::vector<ChunkWindow>{{0, 30}}) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("planChunks(30.0, 240.0, 2.0): expected " + listOfWindows({{0, 30}}) +
                                                    ", got " + listOfWindows(plan));
                   }});
    out.push_back(
        {"planChunks splits a long file into overlapping windows whose union covers exactly [0, total] with no gap",
         "if the step ever exceeded chunk length minus overlap, consecutive windows could leave a gap and "
         "silently drop audio between chunks",
         [] {
             auto plan = planChunks(700, 240, 2);
             if (plan.size() < 3)
                 return SelfTestOutcome::fail("expected at least 3 windows for a 700s file at 240s chunks, got " +
                                              std::to_string(plan.size()));
             if (plan.front().startSeconds != 0) return SelfTestOutcome::fail("first window must start at 0");
             if (plan.back().endSeconds != 700)
                 return SelfTestOutcome::fail("last window must end exactly at total (700.0), got " +
                                              formatDouble(plan.back().endSeconds));
             for (const auto& w : plan)
                 if (w.endSeconds - w.startSeconds > 240.001)
                     return SelfTestOutcome::fail("window " + describe(w) + " exceeds chunkSeconds budget");
             for (std::size_t i = 1; i < plan.size(); ++i)
                 if (plan[i].startSeconds > plan[i - 1].endSeconds + 0.001)
                     return SelfTestOutcome::fail("gap between window " + std::to_string(i - 1) + " (" +
                                                  describe(plan[i - 1]) + ") and window " + std::to_string(i) + " (" +
                                                  describe(plan[i]) + ") " + kEmDash + " audio would be silently dropped");
             return SelfTestOutcome::pass();
         }});
    out.push_back({"planChunks never infinite-loops on a degenerate overlap >= chunkSeconds",
                   "without the step-size guard, an overlap equal to or larger than the chunk would give a zero or "
                   "negative step and plan windows forever",
                   [] {
                       for (double overlap : {100.0, 150.0}) {
                           auto plan = planChunks(500, 100, overlap);
                           if (plan != std::vector<ChunkWindow>{{0, 500}})
                               return SelfTestOutcome::fail("planChunks(500.0, 100.0, " + formatDouble(overlap) +
                                                            "): expected " + listOfWindows({{0, 500}}) + ", got " +
                                                            listOfWindows(plan));
                       }
                       return SelfTestOutcome::pass();
                   }});

    // --- Segment merging --------------------------------------------------
    struct MergeCase {
        std::string name, teeth;
        std::vector<std::vector<Segment>> chunks;
        std::vector<std::string> expected;
        std::function<std::string(const std::string& got)> message;
    };
    const std::vector<MergeCase> merges = {
        {"mergeChunkSegments drops the duplicated word repeated across a chunk boundary exactly once",
         "this is the chunk-boundary failure class: a regressed de-duplication would put \"fox\" twice in the "
         "transcript although it was spoken once",
         {{{"the", 0, 0.4}, {"quick", 0.4, 0.8}, {"brown", 0.8, 1.2}, {"fox", 1.2, 1.6}},
          {{"fox", 1.2, 1.6}, {"jumps", 1.6, 2.0}, {"over", 2.0, 2.4}}},
         {"the", "quick", "brown", "fox", "jumps", "over"},
         [](const std::string& got) { return "expected no duplicate 'fox', got " + got; }},
        {"mergeChunkSegments keeps a genuinely repeated word (e.g. 'no no') when both instances are truly distinct",
         "a de-duplication on text alone, ignoring where in the overlap the word lies, would eat a word the speaker "
         "really said twice",
         {{{"please", 0, 0.4}, {"no", 0.4, 0.8}}, {{"no", 0.4, 0.8}, {"no", 0.8, 1.2}, {"stop", 1.2, 1.6}}},
         {"please", "no", "no", "stop"},
         [](const std::string& got) { return "expected exactly two 'no's (one deduped, one real repeat), got " + got; }},
        {"mergeChunkSegments dedup is case- and punctuation-insensitive across the boundary",
         "the two chunks' recognizer runs may capitalise or punctuate the same boundary word differently; an "
         "exact-match de-duplication would leave a visible duplicate",
         {{{"Fox,", 1.2, 1.6}}, {{"fox", 1.2, 1.6}, {"runs", 1.6, 2.0}}},
         {"Fox,", "runs"},
         [](const std::string& got) { return "expected case/punctuation-insensitive dedup, got " + got; }},
        {"mergeChunkSegments does not drop a non-duplicate word that merely starts before the previous chunk's end",
         "de-duplication must key on a text match within the overlap zone, not on timing alone, or words heard by "
         "only one chunk would be lost",
         {{{"alpha", 0, 2.0}}, {{"beta", 1.5, 2.5}, {"gamma", 2.5, 3.0}}},
         {"alpha", "beta", "gamma"},
         [](const std::string& got) { return "expected 'beta' preserved (not a real dup), got " + got; }},
        {"mergeChunkSegments chains correctly across 3+ chunk boundaries",
         "a merge written as one pairwise step would handle two chunks and regress at the third boundary of a long "
         "file",
         {{{"one", 0, 1}, {"two", 1, 2}}, {{"two", 1, 2}, {"three", 2, 3}}, {{"three", 2, 3}, {"four", 3, 4}}},
         {"one", "two", "three", "four"},
         [](const std::string& got) {
             return "3-chunk chained merge: expected " +
                    listOfTexts(std::vector<std::string>{"one", "two", "three", "four"}) + ", got " + got;
         }},
        {"mergeChunkSegments on a single chunk is the identity (nothing to merge)",
         "a file that needs one chunk must pass through unchanged, untouched by boundary logic",
         {{{"solo", 0, 1}}},
         {"solo"},
         [](const std::string& got) {
             return "single-chunk merge: expected " + listOfTexts(std::vector<std::string>{"solo"}) + ", got " + got;
         }},
    };
    for (const auto& m : merges) {
        out.push_back({m.name, m.teeth, [m] {
                           auto merged = mergeChunkSegments(m.chunks, 5.0);
                           if (textsOf(merged) == m.expected) return SelfTestOutcome::pass();
                           return SelfTestOutcome::fail(m.message(listOfTexts(merged)));
                       }});
    }

    // --- Progress ---------------------------------------------------------
    out.push_back({"FileTranscriptionProgress.fractionComplete is 0 before any chunk and 1 at the last chunk",
                   "a regressed computation (division by zero on a plan without chunks, no clamp) would show garbage "
                   "or crash a progress display instead of 0 % and 100 %",
                   [] {
                       const double start = Progress{0, 3, 0, 700}.fractionComplete();
                       const double end = Progress{3, 3, 700, 700}.fractionComplete();
                       const double noPlan = Progress{0, 0, 0, 0}.fractionComplete();
                       if (start == 0 && end == 1 && noPlan == 0) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("fractionComplete: expected 0.0, 1.0 and 0.0 (no plan), got " +
                                                    formatDouble(start) + ", " + formatDouble(end) + " and " +
                                                    formatDouble(noPlan));
                   }});
    out.push_back({"FileTranscriptionProgress.fractionComplete clamps to 1 even if secondsProcessed overshoots totalSeconds",
                   "the rounding of a chunk window can put the processed seconds slightly past the true duration; "
                   "without the clamp a progress bar would briefly pass 100 %",
                   [] {
                       const double f = Progress{3, 3, 700.25, 700}.fractionComplete();
                       if (f == 1) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("fractionComplete with 700.25 of 700.0 s: expected 1.0, got " +
                                                    formatDouble(f));
                   }});

    // --- Pre-flight errors ------------------------------------------------
    using Kind = TranscriptionFileError::Kind;
    out.push_back({"a zero-length file yields .emptyFile, not a crash",
                   "without the size-zero pre-flight check an empty recording (the application crashed "
                   "mid-recording, the disk was full) would crash or hang inside the audio or speech framework "
                   "instead of giving a named error",
                   [] {
                       fs::path file =
                           platform::temporaryDirectory() / ("ondira-selftest-empty-" + platform::newUUID() + ".wav");
                       { std::ofstream create(file); }
                       auto o =
                           runPreflight(file, std::make_shared<CancellationToken>(),
                                        {Kind::emptyFile, "expected .emptyFile, transcription unexpectedly did not throw",
                                         "expected .emptyFile, got "});
                       std::error_code ec;
                       fs::remove(file, ec);
                       return o;
                   }});
    out.push_back({"a nonexistent file path yields .fileNotFound, not a crash",
                   "without the existence check a moved or deleted file would fail inside the audio framework with an "
                   "opaque error",
                   [] {
                       fs::path file = platform::temporaryDirectory() /
                                       ("ondira-selftest-does-not-exist-" + platform::newUUID() + ".wav");
                       return runPreflight(
                           file, std::make_shared<CancellationToken>(),
                           {Kind::fileNotFound, "expected .fileNotFound, did not throw", "expected .fileNotFound, got "});
                   }});
    out.push_back({"a directory path yields .notAFile, not a crash",
                   "without an explicit directory check, a folder dropped in error would fail inside the audio "
                   "framework instead of naming the problem",
                   [] {
                       fs::path dir =
                           platform::temporaryDirectory() / ("ondira-selftest-dir-" + platform::newUUID() + ".wav");
                       std::error_code ec;
                       fs::create_directories(dir, ec);
                       auto o =
                           runPreflight(dir, std::make_shared<CancellationToken>(),
                                        {Kind::notAFile, "expected .notAFile, did not throw", "expected .notAFile, got "});
                       fs::remove_all(dir, ec);
                       return o;
                   }});
    out.push_back({"format is validated BEFORE the filesystem is even touched",
                   "if the existence check ran first, a missing file with a wrong extension would report the "
                   "misleading file-not-found instead of the cheaper wrong-type diagnosis",
                   [] {
                       fs::path file = "/tmp/ondira-selftest-does-not-exist-" + platform::newUUID() + ".xyz";
                       return runPreflight(file, std::make_shared<CancellationToken>(),
                                           {Kind::unsupportedFormat, "expected .unsupportedFormat, did not throw",
                                            "expected .unsupportedFormat, got "});
                   }});
    out.push_back({"a token cancelled before the call throws .cancelled immediately, before format/file checks even run",
                   "if the cancellation check were removed or moved after the format and file checks, a caller who "
                   "cancelled beforehand would see a format or file error and the call would do needless work first",
                   [] {
                       fs::path file = "/tmp/ondira-selftest-does-not-exist-" + platform::newUUID() + ".xyz";
                       auto token = std::make_shared<CancellationToken>();
                       token->cancel();
                       return runPreflight(file, token,
                                           {Kind::cancelled, "expected .cancelled, did not throw",
                                            "expected .cancelled (cancellation must short-circuit before any other "
                                            "check), got "});
                   }});

    // --- Token and writer -------------------------------------------------
    out.push_back({"CancellationToken.isCancelled is false until cancel() is called, then stays true",
                   "if the lock-and-flag pair regressed, a caller's cancellation could be ignored or appear and vanish", [] {
                       CancellationToken token;
                       if (token.isCancelled()) return SelfTestOutcome::fail("a new token reports cancelled");
                       token.cancel();
                       if (!token.isCancelled()) return SelfTestOutcome::fail("cancel() did not take");
                       // Read from another thread too: the flag is shared state.
                       bool seen = false;
                       std::thread([&] { seen = token.isCancelled(); }).join();
                       if (!seen || !token.isCancelled()) return SelfTestOutcome::fail("the cancellation did not stay");
                       return SelfTestOutcome::pass();
                   }});
    out.push_back({"writeTranscript writes exactly the given text to the given destination, verbatim",
                   "if the writer transformed the text (trimming, re-encoding, an added marker), the caller's chosen "
                   "file would not match what was transcribed",
                   [] {
                       const std::string sample = "hello  world\nline two";
                       fs::path file =
                           platform::temporaryDirectory() / ("ondira-selftest-transcript-" + platform::newUUID() + ".txt");
                       SelfTestOutcome o = SelfTestOutcome::pass();
                       try {
                           writeTranscript(sample, file);
                           auto back = platform::readFile(file);
                           if (!back) o = SelfTestOutcome::fail("writeTranscript threw: the file could not be read back");
                           else o = expectEqual("round-tripped transcript text", sample, *back);
                       } catch (const std::exception& e) {
                           o = SelfTestOutcome::fail(std::string("writeTranscript threw: ") + e.what());
                       }
                       SelfTestSupport::removeIfPresent(file);
                       return o;
                   }});

    // --- The on-device guarantee ------------------------------------------
    // Recognition runs only from models installed on this machine: a language
    // without one is refused before any audio is recognised, and the decoder
    // is only ever handed local model files.
    out.push_back(
        {"FileTranscriber carries the same on-device privacy gate as SpeechEngine "
         "(supportsOnDeviceRecognition guard present)",
         "the framework ignores the on-device-only request unless on-device support is confirmed first; "
         "without the guard, audio of a locale lacking the on-device model could be sent to the platform "
         "vendor's servers instead of the call refusing",
         [] {
             fs::path file = platform::temporaryDirectory() / ("ondira-selftest-ondevice-" + platform::newUUID() + ".wav");
             if (!writeToneWav(file)) return SelfTestOutcome::skip("cannot write a sample recording");
             SelfTestOutcome o =
                 SelfTestOutcome::fail("expected the literal supportsOnDeviceRecognition guard in FileTranscriber");
             try {
                 transcribeFile(file, {}, "zz_ZZ", 240, 2, std::make_shared<CancellationToken>(), nullptr);
             } catch (const TranscriptionFileError& e) {
                 if (e == TranscriptionFileError::onDeviceUnavailable("zz_ZZ")) o = SelfTestOutcome::pass();
             }
             SelfTestSupport::removeIfPresent(file);
             return o;
         }});
    out.push_back({"FileTranscriber sets requiresOnDeviceRecognition = true on every recognition request",
                   "without this flag the recognizer defaults to server-backed recognition even when on-device support "
                   "exists; it is the other half of the two-part gate",
                   [] {
                       const SelfTestOutcome failure =
                           SelfTestOutcome::fail(
                               "expected FileTranscriber to decode only with the local pocketsphinx model files, and to "
                               "refuse a language that has none");
                       const std::string locale = currentLocaleIdentifier();
                       auto model = SphinxWindowRecognizer::modelFor(locale);
                       if (!model) {
                           // No model: the engine must refuse rather than find one elsewhere.
                           try {
                               SphinxWindowRecognizer::engine().prepare(locale, {});
                           } catch (const TranscriptionFileError& e) {
                               if (e.kind() == TranscriptionFileError::Kind::onDeviceUnavailable)
                                   return SelfTestOutcome::pass();
                           }
                           return failure;
                       }
                       for (const auto& [name, value] :
                            SphinxModels::decoderArguments(*model, SphinxWindowRecognizer::decoderOptions())) {
                           if (value.find("://") != std::string::npos) return failure;
                           if ((name == "-hmm" || name == "-lm" || name == "-dict") && !fs::exists(value)) return failure;
                       }
                       return SelfTestOutcome::pass();
                   }});

    const auto root = SelfTestSupport::repoRoot();
    std::optional<std::string> source;
    if (root) {
        std::string joined;
        for (const char* file : {"Sources/Engine/FileTranscriber.cpp", "Sources/Engine/FileTranscriberAudio.cpp",
                                 "Sources/Engine/SphinxWindowRecognizer.cpp", "Sources/Engine/SphinxDecoderSetup.cpp"}) {
            auto text = SelfTestSupport::readRepoFile(file);
            if (!text || !platform::text::isValidUTF8(*text)) {
                joined.clear();
                break;
            }
            joined += *text;
        }
        if (!joined.empty()) source = joined;
    }
    if (source) {
        out.push_back({"FileTranscriber contains no fallback string suggesting a server/cloud recognition path",
                       "an edit that added a fallback to server recognition when on-device is unavailable would defeat "
                       "the feature (recordings that must not leave the machine); this fails loudly if one is ever typed",
                       [text = platform::text::lowercased(*source)] {
                           for (const char* phrase :
                                {"requiresondevicerecognition = false", "server-backed", "fallback to server",
                                 "fall back to cloud", "curl_easy", "http://", "https://"})
                               if (text.find(phrase) != std::string::npos)
                                   return SelfTestOutcome::fail(std::string("found suspicious fallback phrase: ") + phrase);
                           return SelfTestOutcome::pass();
                       }});
    } else if (!root) {
        out.push_back({"on-device guard source scan (skipped)",
                       std::string("n/a ") + kEmDash + " dev source tree not present next to this bundle", [] {
                           return SelfTestOutcome::skip(std::string("dev source tree not present next to this bundle ") +
                                                        kEmDash + " cannot source-scan FileTranscriber");
                       }});
    } else {
        out.push_back(
            {"on-device guard source scan", "the file transcriber's source must be in the tree next to this bundle", [] {
                 return SelfTestOutcome::fail(
                     "FileTranscriber's source is missing or unreadable in the source tree next to this bundle");
             }});
    }
    return out;
}

}  // namespace FileTranscriberSelfTests

ONDIRA_SELFTEST_SUITE("FileTranscriber", FileTranscriberSelfTests::cases);
