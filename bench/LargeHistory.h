#pragma once
// A large history for the benchmarks: 100,000 dictations (about 30 MB of JSON
// lines) in a private directory, with its logger and rows already read.
#include "Learning/DictationLogger.h"
#include "Learning/HistoryView.h"
#include "Platform/FileIO.h"
#include "Platform/UUID.h"

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>

namespace bench {

namespace fs = std::filesystem;

constexpr int kEntries = 100'000;

struct LargeHistory {
    fs::path dir;
    std::unique_ptr<DictationLogger> logger;
    std::vector<HistoryView::LogEntry> rows;

    LargeHistory() {
        dir = platform::temporaryDirectory() / ("ondira-bench-history-" + platform::newUUID());
        fs::create_directories(dir);
        const std::vector<std::string> words = {"meeting", "quarterly", "report", "send",   "the",   "draft",  "to",
                                                "team",    "review",    "budget", "and",    "we",    "should", "schedule",
                                                "call",    "tomorrow",  "about",  "Müller", "naïve", "project"};
        std::mt19937 rng(7);
        std::ofstream out(dir / "dictation_log.jsonl", std::ios::binary);
        const auto start = DictationLogger::Clock::now() - std::chrono::hours(24 * 365);
        for (int i = 0; i < kEntries; ++i) {
            std::string text;
            while (text.size() < 75) text += words[rng() % words.size()] + " ";
            if (i % 997 == 0) text += "zebra ";
            auto entry =
                DictationLogger::makeEntry(text, i % 3 ? "Mail" : "Text Editor", start + std::chrono::seconds(i * 300), 12.5,
                                           0.8, 0.4, "apple_speechanalyzer_ondevice");
            out << entry->dump() << '\n';
        }
        out.close();
        logger = std::make_unique<DictationLogger>(dir);
        rows = logger->readAllRows();
    }
    ~LargeHistory() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

}  // namespace bench
