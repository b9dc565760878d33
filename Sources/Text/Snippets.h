#pragma once
// Spoken triggers ("brb", "my address") replaced by authored texts, as whole
// words, case-insensitively, longest trigger first, in one pass.
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "Platform/Queues.h"
#include "Platform/StoreRecovery.h"

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
    // The rows with how the read went: a file that does not load is moved
    // aside first (the rows are what it still held); one that could not be
    // read at all stays where it is and gives `error`.
    struct Loaded {
        std::vector<Row> rows;
        std::optional<std::string> error;
        std::optional<std::filesystem::path> setAside;
    };
    static Loaded loadSnippets(const std::filesystem::path& file = storageFile());
    // Both change snippets.json under its lock file, so adds and deletes from
    // several processes never lose each other's change. A file that does not
    // load as a list of snippet objects is moved aside first and the change
    // applies to what it still held; false (the reason logged) when the file
    // cannot be read at all or not written. Removing an absent trigger
    // succeeds without writing.
    bool addSnippet(const std::string& trigger, const std::string& expansion);
    bool deleteSnippet(const std::string& trigger);
    // The same, telling an absent trigger from a failure.
    platform::StoreRemoval removeSnippet(const std::string& trigger);

    std::string expand(std::string_view text) const;
    static std::string expand(std::string_view text, const std::vector<Snippet>& snippets);
    static std::string expand(std::string_view text, const std::vector<Candidate>& candidates);
    static std::vector<Candidate> buildCandidates(const std::vector<Snippet>& snippets);

private:
    // Applies `edit` to the stored array (false: nothing to write) and
    // writes the result; false when the file could not be read or written.
    static bool change(const std::function<bool(nlohmann::json&)>& edit);

    mutable std::mutex candidatesLock_;
    std::vector<Candidate> candidates_;
    platform::SerialQueue writeQueue_;
};
