#pragma once
// What every pocketsphinx decoder of the program is made from: the installed
// models, the one rule that picks the model serving a locale, and the one
// place a decoder is set up from a model. Live dictation and file
// transcription both go through here, so they always agree on what is
// installed, which model a language gets and how its decoder is configured.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct ps_decoder_s;
struct cmd_ln_s;

// One installed language: its acoustic model, language model and dictionary.
struct SphinxModel {
    std::string localeIdentifier;         // underscore shape, e.g. en_US
    std::filesystem::path acousticModel;  // directory with mdef, means, ...
    std::filesystem::path languageModel;  // n-gram model
    std::filesystem::path dictionary;     // pronunciations
};

namespace SphinxModels {
// $ONDIRA_SPHINX_MODELDIR when set, else the directory pocketsphinx was built with.
std::filesystem::path modelDirectory();
// The model in one directory of the model directory ("en-us"): its acoustic
// model, language model and dictionary; none when any is missing or unreadable.
std::optional<SphinxModel> modelIn(const std::filesystem::path& dir);
// Every complete, readable model under the model directory, by identifier.
std::vector<SphinxModel> installed(const std::filesystem::path& root = modelDirectory());
// The installed model of exactly this identifier.
std::optional<SphinxModel> forLocale(const std::string& localeIdentifier);

// A locale name as the environment or a person writes it ("en_US.UTF-8",
// "en-GB", "C") in identifier shape ("en_US", "en_GB"); the C locale and an
// empty name are US English.
std::string identifierOf(const std::string& localeName);
// The system's language for messages (LC_ALL, LC_MESSAGES, LANG, the first
// that is set) as an identifier; US English when none is.
std::string systemLocaleIdentifier();
// The same identifier in either spelling ("en_US", "en-us").
bool sameLocale(const std::string& a, const std::string& b);
// Which of the installed identifiers recognises a locale: the model of that
// exact language and region, else one of the same language; none when no
// installed model speaks the language. Every road that recognises asks this.
std::optional<std::string> servingIdentifier(const std::string& requested, const std::vector<std::string>& installed);
// The installed model under `root` that recognises a locale, by that rule.
std::optional<SphinxModel> serving(const std::string& localeIdentifier,
                                   const std::filesystem::path& root = modelDirectory());

// How a decoder is to decode; everything else is the same for every decoder.
struct DecoderOptions {
    // The decoder searches with the model's own n-gram model. Off when the
    // caller installs its search right after (live dictation interpolates
    // the context and personal models with the stock one).
    bool stockSearch = true;
    // Narrower beams and no second pass, for takes decoded while spoken.
    bool realTimeSearch = false;
    // Each utterance stands alone with true times: for windows of a file.
    bool independentUtterances = false;
};

// The decoder's arguments for a model (name, value pairs), as passed to it.
std::vector<std::pair<std::string, std::string>> decoderArguments(const SphinxModel& model, const DecoderOptions& options);

// A pocketsphinx decoder and the configuration it was made from, freed together.
struct LoadedDecoder {
    LoadedDecoder(cmd_ln_s* config, ps_decoder_s* decoder) : config(config), decoder(decoder) {}
    ~LoadedDecoder();
    LoadedDecoder(const LoadedDecoder&) = delete;
    LoadedDecoder& operator=(const LoadedDecoder&) = delete;
    cmd_ln_s* const config;
    ps_decoder_s* const decoder;
};

// A decoder for the model; none (with the reason in `error`) when its
// settings are refused or the model does not load.
std::unique_ptr<LoadedDecoder> makeDecoder(const SphinxModel& model, const DecoderOptions& options, std::string* error);
}  // namespace SphinxModels
