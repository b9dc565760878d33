// Is live dictation as accurate as transcribing the same recording?
//
// One run reports word error rates (WER, % of the reference words) of two
// roads over the same audio:
// - live: SpeechEngine::transcribeStreaming, the entry point the microphone
//   road calls, fed the take as the capture feeds it: 20 ms buffers of 16 kHz
//   float into its AudioBufferStream, and the same samples written to the
//   take's WAV file (16-bit, as the recorder writes it). Buffers are handed
//   over as fast as the decoder takes them; the decoder cuts its input into
//   fixed slices, so the words are those of real-time delivery.
// - transcribe: FileTranscriber::transcribeFile, what `Ondira transcribe` runs.
// Columns: transcribe, every clip; live "session": the clips of each speaker
// dictated one after the other from a fresh install; "first:fresh": every
// clip as the first take after launch on a fresh install; "first:relaunch":
// every clip as the first take after a relaunch that finds what the
// speaker's session left in the data folder; "later": the takes of the
// sessions after their first, beside "transcribe of later", the file road on
// those same clips. Every launch is a child process, so it is a real one.
//
// Sets: ordinary sentences of our own spoken by the flite voices kal16, slt
// and awb, the read-speech clips of pocketsphinx-testdata (when installed),
// and a term-heavy set: one team's jargon, dictated with the personal model
// built from a 400-entry history of that team, with and without the model
// (the general set is run both ways too: the model must not hurt it).
//
// Run as: build/bench/bench_live_accuracy            (about 10 minutes on one core)
//         build/bench/bench_live_accuracy --verbose  (every transcript too)
//         build/bench/bench_live_accuracy --general  (only the general sets)
//         build/bench/bench_live_accuracy --terms    (only the personal-model rows)
//         build/bench/bench_live_accuracy --quick    (sessions only, no first-take launches)
#include "Base/AppPaths.h"
#include "Engine/FileTranscriber.h"
#include "Engine/SpeechEngine.h"
#include "Engine/SphinxRecognizer.h"
#include "Engine/StreamingSupport.h"
#include "Learning/PersonalModel.h"
#include "Learning/ScreenContext.h"
#include "Platform/FileIO.h"
#include "Platform/SettingsStore.h"
#include "Platform/UUID.h"

#include "support/Speech.h"

#include <nlohmann/json.hpp>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

// ---- Sets ----

const std::vector<std::string> generalSentences = {
    "the new server is ready for testing",     "thank you for the quick reply",
    "open the file and check the last line",   "please send the report to the team by friday",
    "we should meet for lunch next week",      "can you call me back this afternoon",
    "the weather was lovely on our trip",      "i think the meeting went well overall",
    "let me know if you need anything else",   "she bought two tickets for the concert",
    "the children played in the garden",       "remind me to buy milk on the way home",
    "my flight lands at seven in the evening", "the price went up again this month",
    "put the boxes in the back of the car",    "he will finish the draft before noon",
};

// One platform team's way of talking.
const std::vector<std::string> teamPhrases = {
    "the prometheus alert fired again",
    "we need to upgrade postgres this week",
    "too many new hosts in the cluster",
    "silence the prometheus alert for an hour",
    "upgrade postgres on the replica first",
    "the new hosts are missing from grafana",
    "roll back the kubernetes deploy",
    "the grafana dashboard shows high latency",
    "restart the nginx ingress on the new hosts",
    "the terraform plan adds three new hosts",
    "page the on call engineer about the alert",
    "postgres replication lag is growing",
    "the redis cache is full again",
    "drain the node before the kernel upgrade",
    "bump the helm chart for the ingress",
    "the kafka consumer is falling behind",
    "open a ticket for the disk alert",
    "the prometheus scrape interval is too short",
    "schedule the postgres upgrade for sunday",
    "add the new hosts to the load balancer",
};
// What else the team dictates: ordinary sentences, none of them in the test sets.
const std::vector<std::string> teamOrdinary = {
    "see you all at the standup tomorrow",    "i will be out of office on monday",  "lunch is on the third floor today",
    "please review my notes before the call", "the coffee machine is broken again", "happy birthday to our new colleague",
    "can someone share the slides",           "i am running ten minutes late",
};
// What the team dictates next: some said before, some new mixes of the same words.
const std::vector<std::string> termSentences = {
    "the prometheus alert fired again",           "we need to upgrade postgres this week",
    "too many new hosts in the cluster",          "the grafana alert fired on the new hosts",
    "upgrade postgres before the kernel upgrade", "the kafka consumer lag is growing",
    "restart the redis cache on the replica",     "silence the disk alert for an hour",
};
const char* const voices[] = {"kal16", "slt", "awb"};
const fs::path readSpeech = "/usr/share/pocketsphinx/test/data/librivox";

struct Clip {
    std::string text;
    std::string speaker;
    std::vector<float> samples;  // 16 kHz mono
};

fs::path workDir;
bool verbose = false;
bool generalRows = true;
bool termRows = true;
bool firstTakes = true;

// A quarter second of the faint noise of a real input on each side: takes
// start before the words and end after them.
std::vector<float> withRoom(const std::vector<float>& speech, unsigned seed) {
    std::mt19937 random(seed);
    std::normal_distribution<float> hiss(0.0f, 0.0015f);
    std::vector<float> out;
    for (int i = 0; i < 4000; ++i) out.push_back(hiss(random));
    for (float s : speech) out.push_back(s + hiss(random));
    for (int i = 0; i < 4000; ++i) out.push_back(hiss(random));
    return out;
}

std::vector<float> read16k(const fs::path& file) {
    const fs::path converted = workDir / ("c-" + platform::newUUID() + ".wav");
    const std::string command =
        "ffmpeg -v quiet -y -i '" + file.string() + "' -ar 16000 -ac 1 -c:a pcm_s16le '" + converted.string() + "'";
    if (std::system(command.c_str()) != 0) return {};
    auto audio = AudioFile::openForReading(converted, nullptr);
    return audio ? audio->readMonoFloat(nullptr) : std::vector<float>{};
}

std::vector<Clip> spoken(const std::vector<std::string>& sentences) {
    std::vector<Clip> out;
    for (std::size_t i = 0; i < sentences.size(); ++i) {
        const std::string voice = voices[i % 3];
        const fs::path wav = workDir / ("s-" + platform::newUUID() + ".wav");
        if (!testspeech::synthesize(sentences[i], wav, voice)) continue;
        out.push_back({sentences[i], voice, withRoom(read16k(wav), static_cast<unsigned>(i))});
    }
    return out;
}

std::vector<Clip> readClips() {
    std::vector<Clip> out;
    std::ifstream in(readSpeech / "transcription");
    for (std::string line; std::getline(in, line);) {
        const auto open = line.rfind('(');
        if (open == std::string::npos) continue;
        const std::string id = line.substr(open + 1, line.find(')', open) - open - 1);
        std::string text = line.substr(0, open);
        for (const char* tag : {"<s>", "</s>"})
            if (auto at = text.find(tag); at != std::string::npos) text.erase(at, std::strlen(tag));
        out.push_back({text, "reader", withRoom(read16k(readSpeech / (id + ".wav")), 99)});
    }
    return out;
}

// ---- Roads (in the child of a session) ----

std::string liveRoad(const Clip& clip) {
    const AudioFormat format{16000.0, 1};
    const fs::path take = workDir / ("take-" + platform::newUUID() + ".wav");
    auto file = AudioFile::createForWriting(take, format, nullptr);
    auto stream = AudioBufferStream::make();
    constexpr std::size_t block = 320;  // 20 ms
    for (std::size_t at = 0; at < clip.samples.size(); at += block) {
        auto buffer =
            AudioPCMBuffer::fromInterleaved(format, clip.samples.data() + at, std::min(block, clip.samples.size() - at));
        file->write(*buffer, nullptr);
        stream->yield(buffer);
    }
    file.reset();
    stream->finish();
    std::string text;
    try {
        text = SpeechEngine::shared().transcribeStreaming(stream, take, {}, std::nullopt, nullptr).result.text;
    } catch (const TranscriptionError&) {}
    std::error_code ec;
    fs::remove(take, ec);
    return text;
}

std::string transcribeRoad(const Clip& clip) {
    const fs::path wav = workDir / ("file-" + platform::newUUID() + ".wav");
    auto file = AudioFile::createForWriting(wav, AudioFormat{16000.0, 1}, nullptr);
    file->write(*AudioPCMBuffer::fromInterleaved(AudioFormat{16000.0, 1}, clip.samples.data(), clip.samples.size()),
                nullptr);
    file.reset();
    std::string text;
    try {
        text = FileTranscriber::transcribeFile(wav, {}, "en_US", FileTranscriber::defaultChunkSeconds,
                                               FileTranscriber::defaultOverlapSeconds,
                                               std::make_shared<FileTranscriber::CancellationToken>(), nullptr)
                   .fullText;
    } catch (const std::exception&) {}
    std::error_code ec;
    fs::remove(wav, ec);
    return text;
}

struct Heard {
    std::size_t errors = 0;
    std::size_t words = 0;
    void add(const std::string& expected, const std::string& text) {
        const std::size_t n = testspeech::words(expected).size();
        errors += static_cast<std::size_t>(std::lround(testspeech::wordErrorRate(expected, text) * static_cast<double>(n)));
        words += n;
    }
    void add(const Heard& other) {
        errors += other.errors;
        words += other.words;
    }
    double percent() const { return words ? 100.0 * static_cast<double>(errors) / static_cast<double>(words) : 0.0; }
};

enum class Road { live, transcribe };

fs::path copyOf(const fs::path& stateDir) {
    const fs::path dir = workDir / ("state-" + platform::newUUID());
    fs::create_directories(dir);
    for (const auto& f : fs::directory_iterator(stateDir))
        fs::copy(f.path(), dir / f.path().filename(), fs::copy_options::recursive);
    return dir;
}

// One launch of the program: the clips in order, in a child process whose
// data folder is `stateDir`; what each take gave.
std::vector<std::string> session(const std::vector<Clip>& clips, Road road, const fs::path& stateDir, bool personal) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) std::exit(1);
    std::fflush(nullptr);  // or the child's exit would print the parent's pending output again
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipeFds[0]);
        ::setenv(AppPaths::selfTestStateDirVariable, stateDir.c_str(), 1);
        AppPaths::userDefaults()->setBool(ScreenContext::enabledDefaultsKey, false);
        SpeechEngine::setDictationTranscriberEnabled(true);
        PersonalModel::setEnabled(personal);
        SpeechEngine::shared().setLocale("en_US");
        json out = json::array();
        for (const auto& clip : clips) out.push_back(road == Road::live ? liveRoad(clip) : transcribeRoad(clip));
        InputAdaptation::waitForSave();  // what the session learned is there for the next launch
        platform::writeAll(pipeFds[1], out.dump());
        ::close(pipeFds[1]);
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    std::string bytes;
    char buf[4096];
    for (ssize_t n; (n = ::read(pipeFds[0], buf, sizeof buf)) > 0;) bytes.append(buf, static_cast<std::size_t>(n));
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    const json texts = json::parse(bytes, nullptr, false);
    std::vector<std::string> out;
    for (std::size_t i = 0; i < clips.size(); ++i) {
        out.push_back(texts.is_array() && i < texts.size() ? texts[i].get<std::string>() : std::string());
        if (verbose)
            std::printf("  [%s %s%s] %s\n      -> %s\n", road == Road::live ? "live" : "file", clips[i].speaker.c_str(),
                        i == 0 ? " first" : "", clips[i].text.c_str(), out.back().c_str());
    }
    return out;
}

struct SetResult {
    Heard file, session, freshFirst, relaunchFirst, later, fileOfLater;
    SetResult& operator+=(const SetResult& o) {
        for (auto [mine, theirs] : {std::pair{&file, &o.file},
                                    {&session, &o.session},
                                    {&freshFirst, &o.freshFirst},
                                    {&relaunchFirst, &o.relaunchFirst},
                                    {&later, &o.later},
                                    {&fileOfLater, &o.fileOfLater}})
            mine->add(*theirs);
        return *this;
    }
};

// The clips of each speaker are one user's session on a fresh install; every
// clip is also the first take after a launch, on a fresh install and after
// that session (which heard it too: what it left describes the speaker and
// the input, not the clip).
SetResult measure(const std::vector<Clip>& clips, const fs::path& stateDir, bool personal) {
    SetResult r;
    const std::vector<std::string> fileTexts = session(clips, Road::transcribe, copyOf(stateDir), personal);
    std::map<std::string, std::vector<std::size_t>> bySpeaker;
    for (std::size_t i = 0; i < clips.size(); ++i) {
        bySpeaker[clips[i].speaker].push_back(i);
        r.file.add(clips[i].text, fileTexts[i]);
    }
    for (const auto& [speaker, indices] : bySpeaker) {
        std::vector<Clip> own;
        for (std::size_t i : indices) own.push_back(clips[i]);
        const fs::path dir = copyOf(stateDir);
        const std::vector<std::string> texts = session(own, Road::live, dir, personal);
        for (std::size_t k = 0; k < own.size(); ++k) {
            r.session.add(own[k].text, texts[k]);
            if (k == 0) continue;
            r.later.add(own[k].text, texts[k]);
            r.fileOfLater.add(own[k].text, fileTexts[indices[k]]);
        }
        if (!firstTakes) continue;
        for (const auto& clip : own) {
            r.freshFirst.add(clip.text, session({clip}, Road::live, copyOf(stateDir), personal)[0]);
            r.relaunchFirst.add(clip.text, session({clip}, Road::live, copyOf(dir), personal)[0]);
        }
    }
    return r;
}

void header() {
    std::printf(
        "WER %%                             transcribe | live: session first:fresh first:relaunch   later | "
        "transcribe of later | words\n");
}

void report(const char* name, const SetResult& r) {
    std::printf("%-34s %9.1f | %13.1f %11.1f %14.1f %7.1f | %19.1f | %5zu\n", name, r.file.percent(), r.session.percent(),
                r.freshFirst.percent(), r.relaunchFirst.percent(), r.later.percent(), r.fileOfLater.percent(), r.file.words);
}

// The data folder of a user whose history is the team's: 400 entries.
fs::path teamState() {
    const fs::path dir = workDir / "team";
    fs::create_directories(dir);
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv(AppPaths::selfTestStateDirVariable, dir.c_str(), 1);
        std::string lines;
        for (int i = 0; i < 400; ++i) {
            const std::string& text = i % 4 == 3 ? teamOrdinary[static_cast<std::size_t>(i / 4) % teamOrdinary.size()]
                                                 : teamPhrases[static_cast<std::size_t>(i) % teamPhrases.size()];
            lines += json{{"ts", 1700000000 + i}, {"text", text}}.dump() + "\n";
        }
        platform::atomicWrite(AppPaths::applicationSupport() / "dictation_log.jsonl", lines);
        PersonalModel::setEnabled(true);
        SpeechEngine::shared();  // gives the personal model its pronunciations
        PersonalModel::shared().rebuildIfNeeded("en_US");
        ::_exit(PersonalModel::shared().preparedConfiguration("en_US") ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "the personal model of the team history did not build\n");
        std::exit(1);
    }
    return dir;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        verbose = verbose || arg == "--verbose";
        if (arg == "--general") termRows = false;
        if (arg == "--terms") generalRows = false;
        if (arg == "--quick") firstTakes = false;
    }
    workDir = platform::temporaryDirectory() / ("bench-live-" + platform::newUUID());
    fs::create_directories(workDir);
    if (!SphinxModels::forLocale("en_US")) {
        std::fprintf(stderr, "no en_US speech model installed\n");
        return 1;
    }
    const std::vector<Clip> general = spoken(generalSentences);
    const std::vector<Clip> reading = generalRows ? readClips() : std::vector<Clip>{};
    const std::vector<Clip> terms = termRows ? spoken(termSentences) : std::vector<Clip>{};
    if (generalRows && reading.empty()) std::printf("(pocketsphinx-testdata is not installed: no read-speech set)\n");
    const fs::path empty = workDir / "empty";
    fs::create_directories(empty);
    header();
    if (generalRows) {
        const SetResult synthetic = measure(general, empty, false);
        SetResult all = synthetic;
        if (!reading.empty()) {
            const SetResult read = measure(reading, empty, false);
            all += read;
            report("general + read speech", all);
            report("  synthetic (16 sentences)", synthetic);
            report("  read speech (5 clips)", read);
        } else {
            report("synthetic (16 sentences)", synthetic);
        }
    }
    if (termRows) {
        const fs::path team = teamState();
        report("terms, no personal model", measure(terms, team, false));
        report("terms, personal model", measure(terms, team, true));
        report("general, personal model", measure(general, team, true));
        report("general, no model (team folder)", measure(general, team, false));
    }
    std::error_code ec;
    fs::remove_all(workDir, ec);
    return 0;
}
