#include "Engine/SphinxDecoderSetup.h"

#include <pocketsphinx.h>
#include <sphinxbase/err.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <mutex>
#include <set>

#include "Platform/FileIO.h"
#include "Platform/Unicode.h"

namespace fs = std::filesystem;

namespace SphinxModels {

// ---- Installed models ----

fs::path modelDirectory() {
    if (auto dir = platform::environment("ONDIRA_SPHINX_MODELDIR"); dir && !dir->empty()) return *dir;
    return ONDIRA_SPHINX_MODELDIR;
}

namespace {
bool readable(const fs::path& p) { return ::access(p.c_str(), R_OK) == 0; }

std::string identifierFromDirectoryName(const std::string& name) {
    // "en-us" -> "en_US"
    std::string out;
    std::size_t start = 0;
    int index = 0;
    while (start <= name.size()) {
        std::size_t end = name.find_first_of("-_", start);
        if (end == std::string::npos) end = name.size();
        std::string part = name.substr(start, end - start);
        if (!part.empty()) {
            if (index == 0) {
                std::transform(part.begin(), part.end(), part.begin(), [](unsigned char c) { return std::tolower(c); });
            } else if (part.size() == 2) {
                std::transform(part.begin(), part.end(), part.begin(), [](unsigned char c) { return std::toupper(c); });
            }
            if (!out.empty()) out += "_";
            out += part;
            ++index;
        }
        start = end + 1;
    }
    return out;
}

}  // namespace

std::optional<SphinxModel> modelIn(const fs::path& dir) {
    SphinxModel model;
    std::error_code ec;
    std::vector<fs::path> entries;
    for (const auto& entry : fs::directory_iterator(dir, ec)) entries.push_back(entry.path());
    std::sort(entries.begin(), entries.end());
    for (const auto& path : entries) {
        const std::string name = path.filename().string();
        if (fs::is_directory(path, ec) && readable(path / "mdef")) {
            if (model.acousticModel.empty() || name == dir.filename().string()) model.acousticModel = path;
        } else if (name.find("-phone") == std::string::npos &&
                   (name.ends_with(".lm.bin") || name.ends_with(".lm") || name.ends_with(".lm.dmp"))) {
            if (model.languageModel.empty() || name.ends_with(".lm.bin")) model.languageModel = path;
        } else if (name.ends_with(".dict")) {
            if (model.dictionary.empty() || name.starts_with("cmudict")) model.dictionary = path;
        }
    }
    if (model.acousticModel.empty() || model.languageModel.empty() || model.dictionary.empty()) return std::nullopt;
    if (!readable(model.languageModel) || !readable(model.dictionary)) return std::nullopt;
    model.localeIdentifier = identifierFromDirectoryName(dir.filename().string());
    if (model.localeIdentifier.empty()) return std::nullopt;
    return model;
}

std::vector<SphinxModel> installed(const fs::path& root) {
    std::vector<SphinxModel> models;
    std::error_code ec;
    std::vector<fs::path> dirs;
    for (const auto& entry : fs::directory_iterator(root, ec))
        if (entry.is_directory(ec)) dirs.push_back(entry.path());
    std::sort(dirs.begin(), dirs.end());
    std::set<std::string> seen;
    for (const auto& dir : dirs)
        if (auto model = modelIn(dir); model && seen.insert(model->localeIdentifier).second) models.push_back(*model);
    return models;
}

std::optional<SphinxModel> forLocale(const std::string& localeIdentifier) {
    for (auto& model : installed())
        if (model.localeIdentifier == localeIdentifier) return model;
    return std::nullopt;
}

// ---- Which model serves a locale ----

namespace {
std::string normalisedForMatch(std::string identifier) {
    std::replace(identifier.begin(), identifier.end(), '_', '-');
    return platform::text::lowercased(identifier);
}

std::string languageOf(const std::string& normalised) { return normalised.substr(0, normalised.find('-')); }

// The first non-empty subtag of a normalised request.
std::string requestedLanguage(const std::string& normalised) {
    const std::size_t start = normalised.find_first_not_of('-');
    return start == std::string::npos ? std::string() : languageOf(normalised.substr(start));
}
}  // namespace

bool sameLocale(const std::string& a, const std::string& b) { return normalisedForMatch(a) == normalisedForMatch(b); }

std::string identifierOf(const std::string& localeName) {
    std::string id = localeName.substr(0, localeName.find_first_of(".@"));
    if (id == "C" || id == "POSIX" || id.empty()) return "en_US";
    std::replace(id.begin(), id.end(), '-', '_');
    return id;
}

std::string systemLocaleIdentifier() {
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"})
        if (auto value = platform::environment(variable); value && !value->empty()) return identifierOf(*value);
    return "en_US";
}

std::optional<std::string> servingIdentifier(const std::string& requested, const std::vector<std::string>& installed) {
    const std::string want = normalisedForMatch(requested);
    for (const auto& id : installed)
        if (normalisedForMatch(id) == want) return id;
    // No model for the exact region: one of the same language serves it
    // (en_GB is recognised with the en-us model), the lowest identifier so
    // the choice never depends on the order the models were found in.
    const std::string language = requestedLanguage(want);
    if (language.empty()) return std::nullopt;
    std::optional<std::string> best;
    for (const auto& id : installed) {
        const std::string n = normalisedForMatch(id);
        if (languageOf(n) != language) continue;
        if (!best || n < normalisedForMatch(*best)) best = id;
    }
    return best;
}

std::optional<SphinxModel> serving(const std::string& localeIdentifier, const fs::path& root) {
    std::vector<SphinxModel> models = installed(root);
    std::vector<std::string> identifiers;
    for (const auto& model : models) identifiers.push_back(model.localeIdentifier);
    const std::optional<std::string> served = servingIdentifier(localeIdentifier, identifiers);
    for (auto& model : models)
        if (served && model.localeIdentifier == *served) return std::move(model);
    return std::nullopt;
}

// ---- Decoders ----

std::vector<std::pair<std::string, std::string>> decoderArguments(const SphinxModel& model, const DecoderOptions& options) {
    std::vector<std::pair<std::string, std::string>> args = {{"-hmm", model.acousticModel.string()}};
    if (options.stockSearch) args.emplace_back("-lm", model.languageModel.string());
    args.emplace_back("-dict", model.dictionary.string());
    // Noise removal is off on every road: its estimate would carry from one
    // utterance (or recording) into the next, so the words of one would
    // depend on what the decoder heard before.
    args.emplace_back("-remove_noise", "no");
    if (options.realTimeSearch) {
        // The second ("flat") pass is off: it runs over the whole utterance
        // when it ends, so the end of a long take would wait for it; the
        // best-path search over the lattice keeps most of its accuracy. The
        // beams are the decoder's own: capped ones (fewer models and words
        // per frame) cost a live take a tenth of its words on read speech and
        // jargon against the file road, while a warm decoder still runs at
        // about a sixth of real time on one core with them. The phone-loop
        // lookahead is five frames: the main search runs that far behind the
        // audio, so releasing the key in the middle of a word leaves that
        // many frames to search while the user waits. Ten cost twice the
        // wait and heard no more words; three lost words.
        for (const auto& setting : std::initializer_list<std::pair<const char*, const char*>>{
                 {"-pl_window", "5"}, {"-fwdflat", "no"}, {"-bestpath", "yes"}})
            args.emplace_back(setting.first, setting.second);
    }
    if (options.independentUtterances) {
        // Times must be true audio times, so every frame is kept: dropping
        // silence would shift every later word. Each utterance is normalised
        // on its own, so its words never depend on what the decoder heard
        // before: one decoder or several give the same text.
        args.emplace_back("-remove_silence", "no");
        args.emplace_back("-cmn", "batch");
    }
    return args;
}

LoadedDecoder::~LoadedDecoder() {
    ps_free(decoder);
    cmd_ln_free_r(config);
}

std::unique_ptr<LoadedDecoder> makeDecoder(const SphinxModel& model, const DecoderOptions& options, std::string* error) {
    // The decoder's log goes to one process-wide stream. Turning it off once
    // here (instead of per decoder with -logfn, which reopens and closes that
    // shared stream) keeps decoders made on several threads from racing on it.
    static std::once_flag quiet;
    std::call_once(quiet, [] { err_set_logfp(nullptr); });

    std::vector<std::string> storage;
    for (auto& [name, value] : decoderArguments(model, options)) {
        storage.push_back(std::move(name));
        storage.push_back(std::move(value));
    }
    std::vector<char*> argv;
    for (auto& s : storage) argv.push_back(s.data());
    cmd_ln_t* config = cmd_ln_parse_r(nullptr, ps_args(), static_cast<int32>(argv.size()), argv.data(), TRUE);
    if (!config) {
        if (error) *error = "the speech model's settings were refused";
        return nullptr;
    }
    ps_decoder_t* decoder = ps_init(config);
    if (!decoder) {
        cmd_ln_free_r(config);
        if (error) *error = "the speech model could not be loaded from " + model.acousticModel.parent_path().string();
        return nullptr;
    }
    return std::make_unique<LoadedDecoder>(config, decoder);
}

}  // namespace SphinxModels
