#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "Engine/MicrophoneRecorder.h"
#include "Platform/FileIO.h"
#include "Platform/Unicode.h"
#include "Platform/UUID.h"
#include "SelfTest/SelfTest.h"
#include "SelfTest/SourceScan.h"

namespace fs = std::filesystem;

namespace StreamingCaptureSelfTests {

// The consumer whose release proves that detaching lets go of the sink.
class LeakProbe {
public:
    std::atomic<int> pings{0};
};

namespace {
// The application delegate's dictation road (capture, recognition, delivery)
// lives in its own file beside the menu shell in AppDelegate.cpp.
constexpr const char* delegateSource = "Sources/App/DictationController.cpp";

// Sleeps in 0.02 s steps until `condition` holds or `seconds` pass; then looks once more.
bool waitUntil(double seconds, const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline && !condition())
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return condition();
}

void feed(MicrophoneRecorder& engine, AudioConverter& converter, float marker) {
    auto buffer = AudioPCMBuffer::make(engine.targetFormat(), 8);
    buffer->setFrameLength(8);
    for (int i = 0; i < 8; ++i) buffer->channelData(0)[i] = marker;
    engine.handleTapBuffer(*buffer, converter, engine.targetFormat().sampleRate);
}

// One recording of buffers 0..5; the frames the file holds, or none.
std::optional<std::int64_t> recordingRun(bool withSink, bool& sinkSaw) {
    auto& engine = MicrophoneRecorder::shared();
    auto converter = AudioConverter::make(engine.targetFormat(), engine.targetFormat());
    const fs::path fixture = platform::temporaryDirectory() / ("streaming-selftest-" + platform::newUUID() + ".wav");
    std::shared_ptr<AudioFile> file = AudioFile::createForWriting(fixture, engine.targetFormat(), nullptr);
    if (!file || !converter) return std::nullopt;
    auto seen = std::make_shared<std::atomic<bool>>(false);
    engine.beginCapture(file);
    file.reset();
    if (withSink) engine.attachStreamingSink({[seen](std::shared_ptr<AudioPCMBuffer>) { *seen = true; }, [] {}});
    for (int i = 0; i < 6; ++i) feed(engine, *converter, static_cast<float>(i));
    engine.stopRecording();
    engine.detachStreamingSink();
    auto reopened = AudioFile::openForReading(fixture, nullptr);
    if (withSink) waitUntil(1.0, [&] { return seen->load(); });
    sinkSaw = seen->load();
    std::optional<std::int64_t> frames;
    if (reopened) frames = reopened->length();
    SelfTestSupport::removeIfPresent(fixture);
    return frames;
}

std::string floatList(const std::vector<float>& values) {
    std::string out = "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i) out += ", ";
        out += platform::text::formatDouble(values[i]);
    }
    return out + "]";
}

// Whether a body makes a throttle of its own (taking the shared one by
// reference, "PartialTextCoalescer&", is what it should do).
bool buildsThrottle(const std::string& body) {
    for (const char* construction :
         {"PartialTextCoalescer(", "PartialTextCoalescer{", "<PartialTextCoalescer>", "PartialTextCoalescer "})
        if (SourceScan::contains(body, construction)) return true;
    return false;
}

SelfTestOutcome delegateScan(const std::function<SelfTestOutcome(const std::string&)>& check) {
    auto text = SelfTestSupport::readRepoFile(delegateSource);
    if (!SelfTestSupport::repoRoot()) return SelfTestOutcome::skip("dev source tree not present next to this bundle");
    if (!text || !platform::text::isValidUTF8(*text))
        return SelfTestOutcome::fail(std::string(delegateSource) +
                                     " is missing or unreadable in the source tree next to this bundle");
    return check(*text);
}
}  // namespace

std::vector<SelfTestCase> cases() {
    std::vector<SelfTestCase> out;

    out.push_back({"attaching a streaming sink does not change what gets written to the recording file",
                   "if attaching a sink ever short-circuited or altered the file-write branch of the per-buffer step, "
                   "the frames written to disk would differ between a run with and a run without a sink over identical "
                   "input; the file write stays the source of truth whether or not a sink is attached",
                   [] {
                       bool unused = false, sinkSaw = false;
                       auto plain = recordingRun(false, unused);
                       auto withSink = recordingRun(true, sinkSaw);
                       if (!plain) return SelfTestOutcome::fail("could not complete the no-sink recording run");
                       if (!withSink) return SelfTestOutcome::fail("could not complete the with-sink recording run");
                       if (*plain <= 0)
                           return SelfTestOutcome::fail(
                               "no-sink run wrote zero frames — fixture itself is broken, not a real proof");
                       if (!sinkSaw)
                           return SelfTestOutcome::fail(
                               "the attached sink never saw a buffer — this run cannot prove anything about sink presence");
                       if (*plain != *withSink)
                           return SelfTestOutcome::fail(
                               "frames written to disk with vs. without a streaming sink attached: expected " +
                               std::to_string(*plain) + ", got " + std::to_string(*withSink));
                       return SelfTestOutcome::pass();
                   }});

    out.push_back({"a streaming sink receives every buffer, in arrival order, with no drops or duplicates",
                   "if buffers were forwarded on a non-serial queue or a buffer were skipped, for example by a size or "
                   "format guard rejecting a small synthetic buffer, 25 tagged buffers would arrive out of order, short "
                   "or repeated; the exact sequence is asserted, not only a count",
                   [] {
                       auto& engine = MicrophoneRecorder::shared();
                       auto converter = AudioConverter::make(engine.targetFormat(), engine.targetFormat());
                       struct Recorder {
                           std::mutex lock;
                           std::vector<float> markers;
                           bool finished = false;
                       };
                       auto recorder = std::make_shared<Recorder>();
                       engine.beginCapture(nullptr);
                       engine.attachStreamingSink({[recorder](std::shared_ptr<AudioPCMBuffer> b) {
                                                       const float* data = b->channelData(0);
                                                       std::lock_guard<std::mutex> g(recorder->lock);
                                                       recorder->markers.push_back(data ? data[0] : -1.0f);
                                                   },
                                                   [recorder] {
                                                       std::lock_guard<std::mutex> g(recorder->lock);
                                                       recorder->finished = true;
                                                   }});
                       for (int i = 0; i < 25; ++i) feed(engine, *converter, static_cast<float>(i));
                       engine.stopRecording();
                       engine.detachStreamingSink();
                       const bool done = waitUntil(2.0, [&] {
                           std::lock_guard<std::mutex> g(recorder->lock);
                           return recorder->finished && recorder->markers.size() == 25;
                       });
                       std::lock_guard<std::mutex> g(recorder->lock);
                       if (!done)
                           return SelfTestOutcome::fail(
                               "timed out: delivered " + std::to_string(recorder->markers.size()) +
                               "/25 buffers, onFinish fired=" + (recorder->finished ? "true" : "false"));
                       std::vector<float> expected;
                       for (int i = 0; i < 25; ++i) expected.push_back(static_cast<float>(i));
                       if (recorder->markers != expected)
                           return SelfTestOutcome::fail("delivered buffer markers, in order: expected " +
                                                        floatList(expected) + ", got " + floatList(recorder->markers));
                       return SelfTestOutcome::pass();
                   }});

    out.push_back({"detachStreamingSink() releases the sink's closures — no retain cycle keeps the consumer alive",
                   "if attach, detach or the per-buffer step ever kept a captured reference beyond the sink's own life, "
                   "for example a buffer or the sink cached in a property that outlives detach, the consumer would never "
                   "be freed after detach; the case proves deallocation through a weak observer, not merely the absence "
                   "of a crash",
                   [] {
                       auto& engine = MicrophoneRecorder::shared();
                       auto converter = AudioConverter::make(engine.targetFormat(), engine.targetFormat());
                       engine.beginCapture(nullptr);
                       std::weak_ptr<LeakProbe> weak;
                       {
                           auto probe = std::make_shared<LeakProbe>();
                           weak = probe;
                           engine.attachStreamingSink({[probe](std::shared_ptr<AudioPCMBuffer>) { probe->pings += 1; },
                                                       [probe] { probe->pings = -1; }});
                       }
                       if (weak.expired()) {
                           engine.stopRecording();
                           return SelfTestOutcome::fail(
                               "probe was already deallocated right after attach() — attach itself "
                               "isn't retaining it, so detach can't be what's under test");
                       }
                       feed(engine, *converter, 1.0f);
                       if (!waitUntil(1.0, [&] {
                               auto p = weak.lock();
                               return p && p->pings == 1;
                           })) {
                           engine.stopRecording();
                           engine.detachStreamingSink();
                           return SelfTestOutcome::fail(
                               "the sink never received the buffer — cannot prove a retain/release "
                               "story via a sink that isn't genuinely wired");
                       }
                       engine.detachStreamingSink();
                       const bool released = waitUntil(1.0, [&] { return weak.expired(); });
                       engine.stopRecording();
                       if (released) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail(
                           "sink closures still retain the captured consumer after "
                           "detachStreamingSink() — retain cycle / leak");
                   }});

    // The speech engine's streaming methods, in our C++ spelling, comments
    // left out. Both take the one throttle by reference and both offer their
    // preview through partialCoalescer.consider(...); any partial hypothesis
    // either reads reaches the user only as an argument of that call, and
    // neither builds a throttle, calls the raw callback or debounces by itself.
    if (const auto engineText = SourceScan::speechEngineSourceOr(out, "streaming source scan (skipped)")) {
        const std::string text = *engineText;
        const std::string code = SourceScan::withoutComments(text);
        out.push_back(
            {"streamModernBuffers/streamLegacyBuffers route partial text through partialCoalescer.consider(...) "
             "and declare no second throttle",
             "this guards that the streaming methods reuse the one throttle instance instead of adding a second, "
             "parallel debounce, which would let live partials bypass the throttle or be throttled twice",
             [code] {
                 const std::string modernMarker = "bool SpeechEngine::streamModernBuffers(";
                 const std::string legacyMarker = "bool SpeechEngine::streamLegacyBuffers(";
                 const std::string endMarker = "SpeechEngine::Triple SpeechEngine::transcribeLegacy(";
                 auto modern = SourceScan::between(code, modernMarker, legacyMarker);
                 auto legacy = SourceScan::between(code, legacyMarker, endMarker);
                 if (!modern || !legacy)
                     return SelfTestOutcome::fail("could not locate streamModernBuffers/streamLegacyBuffers to scan");
                 const std::string consider = "partialCoalescer.consider(";
                 const std::pair<std::string, std::string> methods[] = {{"streamModernBuffers", *modern},
                                                                        {"streamLegacyBuffers", *legacy}};
                 for (const auto& [who, body] : methods)
                     if (!SourceScan::contains(body, consider))
                         return SelfTestOutcome::fail(
                             who + " no longer routes partial text through partialCoalescer.consider(...)");
                 for (const auto& [who, body] : methods)
                     if (buildsThrottle(body))
                         return SelfTestOutcome::fail(
                             who + " instantiates its own PartialTextCoalescer — a second, parallel throttle");
                 for (const auto& [who, body] : methods) {
                     if (!SourceScan::contains(body, "PartialTextCoalescer& partialCoalescer"))
                         return SelfTestOutcome::fail(who + " no longer takes the shared throttle by reference");
                     for (const char* bypass : {"onPartialText", "PartialTextCallback", "shouldEmitPartial("})
                         if (SourceScan::contains(body, bypass))
                             return SelfTestOutcome::fail(who + " names " + bypass +
                                                          " — partial text reaches the user around the shared throttle");
                     if (!SourceScan::onlyInsideCall(body, "ypothesis(", consider))
                         return SelfTestOutcome::fail(who +
                                                      " reads a partial hypothesis outside partialCoalescer.consider(...) — "
                                                      "it is shown unthrottled or throttled by something else");
                 }
                 return SelfTestOutcome::pass();
             }});
        out.push_back(
            {"transcribeStreaming's final result always comes from transcribeDetailed(audioURL:...), never from "
             "the live partials, regardless of didStreamLive",
             "this makes it true by construction that streaming partials never become the pasted text: if the "
             "final result became conditional on the live path's success, a live-only transcript could reach "
             "the caller as the final result instead of a preview",
             [text] {
                 auto body = SourceScan::between(text, "StreamingTranscriptionOutcome SpeechEngine::transcribeStreaming(",
                                                 "bool SpeechEngine::streamModernBuffers(");
                 if (!body) return SelfTestOutcome::fail("could not locate transcribeStreaming to scan");
                 const std::string r1 = "const TranscriptionResult result = transcribeDetailed(audioURL,";
                 const std::string r2 = "return StreamingTranscriptionOutcome{result, didStreamLive};";
                 const auto at1 = body->find(r1);
                 if (at1 == std::string::npos)
                     return SelfTestOutcome::fail(
                         "transcribeStreaming no longer finalizes via transcribeDetailed(audioURL:...) at all");
                 const auto at2 = body->find(r2);
                 if (at2 == std::string::npos)
                     return SelfTestOutcome::fail(
                         "transcribeStreaming no longer returns a StreamingTranscriptionOutcome built from that same "
                         "file-decoded result");
                 if (at2 < at1 + r1.size())
                     return SelfTestOutcome::fail(
                         "transcribeStreaming's final-result construction is not in the expected unconditional order");
                 if (SourceScan::contains(*body, "if (didStreamLive") || SourceScan::contains(*body, "if (!didStreamLive"))
                     return SelfTestOutcome::fail(
                         "transcribeStreaming appears to branch on didStreamLive before finalizing — the final transcript "
                         "must ALWAYS come from the file, never conditionally from the live path");
                 return SelfTestOutcome::pass();
             }});
    }

    // The application delegate's capture wiring, in our C++ spelling.
    out.push_back(
        {"the streaming sink is attached BEFORE startRecording(), not after",
         "attaching after the engine starts loses every buffer of the gap, where the first words are; partials "
         "would begin mid-sentence and look like a recogniser fault; only the order of the two statements catches it",
         [] {
             return delegateScan([](const std::string& source) {
                 // Every take is captured through beginCapture: the order is
                 // checked there, and nowhere else may start the microphone.
                 const std::string text = SourceScan::withoutComments(source);
                 const std::string starts = "startRecording()";
                 const auto first = text.find(starts);
                 if (first == std::string::npos || text.find(starts, first + 1) != std::string::npos)
                     return SelfTestOutcome::fail(
                         "the microphone is started in more than one place (or none) — a capture road besides "
                         "beginCapture escapes this check");
                 const auto body = SourceScan::between(text, "void DictationController::beginCapture()",
                                                       "\nvoid DictationController::");
                 if (!body) return SelfTestOutcome::fail("beginCapture no longer exists — capture is wired elsewhere");
                 const auto attach = body->find("attachStreamingSink(");
                 const auto start = body->find(starts);
                 if (attach == std::string::npos || start == std::string::npos)
                     return SelfTestOutcome::fail(
                         "the streaming sink is not wired into beginCapture at all — live partials are dead code");
                 if (attach > start)
                     return SelfTestOutcome::fail(
                         "attachStreamingSink appears AFTER startRecording — the opening buffers are lost");
                 return SelfTestOutcome::pass();
             });
         }});
    out.push_back({"a failed startRecording detaches the sink instead of leaking it into the next take",
                   "without the detach in the catch, a take that fails to start leaves a finished stream on the engine; "
                   "the next take would inherit a terminated stream and live preview would stay silently dead until the "
                   "application is restarted",
                   [] {
                       return delegateScan([](const std::string& text) {
                           const auto begin = text.find("void DictationController::beginCapture()");
                           if (begin == std::string::npos)
                               return SelfTestOutcome::fail(
                                   "beginCapture no longer exists — capture is wired somewhere this test cannot see");
                           const auto catchAt = text.find("} catch (", begin);
                           if (catchAt == std::string::npos)
                               return SelfTestOutcome::fail(
                                   "beginCapture no longer has a catch arm — a failed start is now unhandled");
                           const std::string window = text.substr(catchAt + 9, 400);
                           if (!SourceScan::contains(window, "detachStreamingSink()"))
                               return SelfTestOutcome::fail("the catch arm does not detach the sink:\n" + window);
                           return SelfTestOutcome::pass();
                       });
                   }});
    out.push_back(
        {"the pending buffer stream is consumed exactly once and cleared",
         "a stream can be iterated only once; if the property were read without being cleared, the next take "
         "would pick up the exhausted stream and stream nothing, with a correct transcript and no visible "
         "symptom except missing partials",
         [] {
             return delegateScan([](const std::string& text) {
                 if (!SourceScan::contains(text, "pendingBufferStream"))
                     return SelfTestOutcome::fail(
                         "no pendingBufferStream property — the stream is not being handed to the engine");
                 const std::string take = "auto s = std::move(pendingBufferStream);";
                 const auto at = text.find(take);
                 if (at == std::string::npos)
                     return SelfTestOutcome::fail("the take-once idiom is gone; the stream may now be read more than once");
                 const std::string window = text.substr(at + take.size(), 120);
                 if (!SourceScan::contains(window, "pendingBufferStream = nullptr;"))
                     return SelfTestOutcome::fail("the stream is read without being cleared in the same step:\n" + window);
                 return SelfTestOutcome::pass();
             });
         }});
    out.push_back(
        {"transcribeStreaming is actually called, and there is still a file-only fallback",
         "two opposite regressions are excluded at once: streaming silently reverted everywhere, and the "
         "fallback deleted so that a take without a stream has no path to a transcript",
         [] {
             return delegateScan([](const std::string& text) {
                 if (!SourceScan::contains(text, "speechEngine.transcribeStreaming("))
                     return SelfTestOutcome::fail(
                         "AppDelegate never calls transcribeStreaming — the streaming engine is unreachable from the app");
                 if (!SourceScan::contains(text, "speechEngine.transcribeDetailed("))
                     return SelfTestOutcome::fail(
                         "the file-only fallback was removed — a take with no buffer stream now has no way to produce a "
                         "transcript");
                 return SelfTestOutcome::pass();
             });
         }});
    return out;
}

}  // namespace StreamingCaptureSelfTests

ONDIRA_SELFTEST_SUITE("StreamingCapture", StreamingCaptureSelfTests::cases);
