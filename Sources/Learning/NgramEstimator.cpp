#include "Learning/NgramEstimator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <unordered_map>

namespace NgramEstimator {

namespace {

constexpr const char* sentenceStart = "<s>";
constexpr const char* sentenceEnd = "</s>";
// log10 of "never": the probability ARPA gives <s>, which is only a context.
constexpr double never = -99.0;

using Id = std::uint32_t;

struct Key2 {
    Id a, b;
    bool operator<(const Key2& o) const { return a != o.a ? a < o.a : b < o.b; }
};
struct Key3 {
    Id a, b, c;
    bool operator<(const Key3& o) const {
        if (a != o.a) return a < o.a;
        if (b != o.b) return b < o.b;
        return c < o.c;
    }
};

// What followed one context: the summed weight and the number of distinct words.
struct Context {
    double total = 0;
    std::size_t types = 0;
};

std::string number(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.6f", value);
    return buffer;
}

}  // namespace

std::vector<std::string> vocabulary(const std::vector<Sentence>& sentences) {
    std::set<std::string> words;
    for (const auto& s : sentences)
        if (s.count > 0) words.insert(s.words.begin(), s.words.end());
    return {words.begin(), words.end()};
}

std::string arpa(const std::vector<Sentence>& sentences, Summary* summary) {
    // Word ids in sorted order, so the file lists each order alphabetically.
    std::vector<std::string> names = vocabulary(sentences);
    if (names.empty()) return {};
    names.push_back(sentenceStart);
    names.push_back(sentenceEnd);
    std::sort(names.begin(), names.end());
    std::unordered_map<std::string, Id> ids;
    for (Id i = 0; i < names.size(); ++i) ids[names[i]] = i;
    const Id bos = ids[sentenceStart];
    const Id eos = ids[sentenceEnd];

    std::vector<double> c1(names.size(), 0.0);
    std::map<Key2, double> c2;
    std::map<Key3, double> c3;
    for (const auto& s : sentences) {
        if (s.words.empty() || s.count <= 0) continue;
        const double weight = static_cast<double>(s.count);
        std::vector<Id> seq = {bos};
        for (const auto& w : s.words) seq.push_back(ids[w]);
        seq.push_back(eos);
        for (std::size_t i = 1; i < seq.size(); ++i) {
            c1[seq[i]] += weight;
            c2[{seq[i - 1], seq[i]}] += weight;
            if (i >= 2) c3[{seq[i - 2], seq[i - 1], seq[i]}] += weight;
        }
    }

    // Unigrams: relative frequency mixed with the uniform distribution over
    // the predicted words (everything but <s>).
    const double predicted = static_cast<double>(names.size() - 1);
    double total1 = 0;
    std::size_t types1 = 0;
    for (Id i = 0; i < names.size(); ++i)
        if (i != bos && c1[i] > 0) total1 += c1[i], ++types1;
    std::vector<double> p1(names.size(), 0.0);
    for (Id i = 0; i < names.size(); ++i) {
        if (i == bos) continue;
        p1[i] = (c1[i] + static_cast<double>(types1) / predicted) / (total1 + static_cast<double>(types1));
    }

    // Bigrams.
    std::vector<Context> ctx1(names.size());
    for (const auto& [k, c] : c2) ctx1[k.a].total += c, ++ctx1[k.a].types;
    std::map<Key2, double> p2;
    for (const auto& [k, c] : c2) {
        const Context& h = ctx1[k.a];
        p2[k] = (c + static_cast<double>(h.types) * p1[k.b]) / (h.total + static_cast<double>(h.types));
    }
    // Back-off weight of each unigram context: the mass left for unseen
    // followers over the lower-order mass of those followers.
    std::vector<double> bo1(names.size(), 1.0);
    {
        std::vector<double> seenHigh(names.size(), 0.0), seenLow(names.size(), 0.0);
        for (const auto& [k, p] : p2) seenHigh[k.a] += p, seenLow[k.a] += p1[k.b];
        for (Id i = 0; i < names.size(); ++i) {
            if (ctx1[i].types == 0) continue;
            const double left = 1.0 - seenHigh[i];
            const double leftLow = 1.0 - seenLow[i];
            bo1[i] = leftLow > 1e-12 && left > 0 ? left / leftLow : 1e-12;
        }
    }
    auto bigramProbability = [&](Id a, Id b) {
        auto it = p2.find({a, b});
        return it != p2.end() ? it->second : bo1[a] * p1[b];
    };

    // Trigrams.
    std::map<Key2, Context> ctx2;
    for (const auto& [k, c] : c3) {
        Context& h = ctx2[{k.a, k.b}];
        h.total += c;
        ++h.types;
    }
    std::map<Key3, double> p3;
    for (const auto& [k, c] : c3) {
        const Context& h = ctx2[{k.a, k.b}];
        p3[k] = (c + static_cast<double>(h.types) * bigramProbability(k.b, k.c)) / (h.total + static_cast<double>(h.types));
    }
    std::map<Key2, double> bo2;
    {
        std::map<Key2, std::pair<double, double>> seen;
        for (const auto& [k, p] : p3) {
            auto& s = seen[{k.a, k.b}];
            s.first += p;
            s.second += bigramProbability(k.b, k.c);
        }
        for (const auto& [h, s] : seen) {
            const double left = 1.0 - s.first;
            const double leftLow = 1.0 - s.second;
            bo2[h] = leftLow > 1e-12 && left > 0 ? left / leftLow : 1e-12;
        }
    }

    std::string out;
    out.reserve(64 * (names.size() + p2.size() + p3.size()) + 128);
    out += "\\data\\\n";
    out += "ngram 1=" + std::to_string(names.size()) + "\n";
    out += "ngram 2=" + std::to_string(p2.size()) + "\n";
    out += "ngram 3=" + std::to_string(p3.size()) + "\n\n";
    out += "\\1-grams:\n";
    // Written at their share of an unknown history (see the header); each
    // known context's back-off weight makes up for it, so every probability
    // after a known context is the one estimated above.
    for (Id i = 0; i < names.size(); ++i) {
        out += i == bos ? number(never) : number(std::log10(p1[i] * unknownHistoryShare));
        out += ' ';
        out += names[i];
        if (ctx1[i].types > 0) out += ' ' + number(std::log10(bo1[i] / unknownHistoryShare));
        out += '\n';
    }
    out += "\n\\2-grams:\n";
    for (const auto& [k, p] : p2) {
        out += number(std::log10(p));
        out += ' ';
        out += names[k.a];
        out += ' ';
        out += names[k.b];
        if (auto it = bo2.find(k); it != bo2.end()) out += ' ' + number(std::log10(it->second));
        out += '\n';
    }
    out += "\n\\3-grams:\n";
    for (const auto& [k, p] : p3) {
        out += number(std::log10(p));
        out += ' ';
        out += names[k.a];
        out += ' ';
        out += names[k.b];
        out += ' ';
        out += names[k.c];
        out += '\n';
    }
    out += "\n\\end\\\n";
    if (summary) *summary = {names.size(), p2.size(), p3.size()};
    return out;
}

}  // namespace NgramEstimator
