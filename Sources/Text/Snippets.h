#pragma once
// Spoken triggers ("brb", "my address") replaced by authored texts, as whole
// words, case-insensitively, longest trigger first, in one pass.
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Platform/Queues.h"

class Snippets {
public:
    struct Candidate {
        std::string triggerLower;
        std::size_t length = 0;  // user-perceived characters of the trigger as stored
        std::string expansion;
    };
    struct Snippet {
        std::string trigger;
        std::string expansion;
    };
    using Row = std::map<std::string, std::string>;

    static Snippets& shared();
    static std::filesystem::path storageFile();

    // Loads snippets.json at once.
    Snippets();
    Snippets(const Snippets&) = delete;
    Snippets& operator=(const Snippets&) = delete;

    void reload();
    std::vector<Candidate> candidates() const;  // a copy taken under the lock
    static std::vector<Row> loadRawSnippets(const std::filesystem::path& file = storageFile());
    bool addSnippet(const std::string& trigger, const std::string& expansion);
    void deleteSnippet(const std::string& trigger);

    std::string expand(std::string_view text) const;
    static std::string expand(std::string_view text, const std::vector<Snippet>& snippets);
    static std::string expand(std::string_view text, const std::vector<Candidate>& candidates);
    static std::vector<Candidate> buildCandidates(const std::vector<Snippet>& snippets);

private:
    static bool writeRows(const std::vector<Row>& rows);

    mutable std::mutex candidatesLock_;
    std::vector<Candidate> candidates_;
    platform::SerialQueue writeQueue_;
};
