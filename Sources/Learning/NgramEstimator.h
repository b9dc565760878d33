#pragma once
// A back-off trigram language model estimated from weighted sentences, in the
// ARPA text format the recogniser reads. Witten-Bell smoothing: at each order
// the probability of a seen word mixes its relative frequency with the
// lower order's estimate, the lower order weighted by how many distinct words
// followed the context; a word never seen after a context backs off with the
// weight that leaves the probabilities of that context summing to one.
//
// A history the sentences never had says nothing about what follows it, yet
// a back-off model answers it with its unigrams. Interpolated with the stock
// model, that would favour every word of the sentences after any word at
// all, and ordinary speech would be heard as the user's jargon ("went well
// overall" as "went well over helm"). So after a history it does not know,
// the model gives only a share of its unigram probabilities; after every
// history it knows, it gives exactly the probabilities estimated.
#include <cstdint>
#include <string>
#include <vector>

namespace NgramEstimator {

// What the model's probabilities after an unknown history sum to.
inline constexpr double unknownHistoryShare = 0.01;

struct Sentence {
    std::vector<std::string> words;  // without <s> and </s>
    std::int64_t count = 1;
};

struct Summary {
    std::size_t unigrams = 0;
    std::size_t bigrams = 0;
    std::size_t trigrams = 0;
};

// The ARPA text of the model of `sentences` (sentences without words are
// ignored); empty when no sentence has a word.
std::string arpa(const std::vector<Sentence>& sentences, Summary* summary = nullptr);

// The words the model of `sentences` predicts, sorted, without <s> and </s>.
std::vector<std::string> vocabulary(const std::vector<Sentence>& sentences);

}  // namespace NgramEstimator
