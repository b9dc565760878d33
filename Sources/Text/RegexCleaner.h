#pragma once
// Removes spoken hesitations ("um", "uh") and filler phrases said only to fill
// a pause, tidies what the removal leaves and capitalises the first letter.
#include <memory>
#include <string>
#include <string_view>

#include "Platform/Unicode.h"

class RegexCleaner {
public:
    static RegexCleaner& shared();

    std::string stripFillers(std::string_view text) const;

    // The five expressions, compiled once for the life of the process.
    const platform::text::Regex& fillerRegex() const { return fillerRegex_; }
    const platform::text::Regex& openerRegex() const { return openerRegex_; }
    const platform::text::Regex& doubledRegex() const { return doubledRegex_; }
    const platform::text::Regex& parentheticalRegex() const { return parentheticalRegex_; }
    const platform::text::Regex& spacesRegex() const { return spacesRegex_; }

    RegexCleaner();
    RegexCleaner(const RegexCleaner&) = delete;
    RegexCleaner& operator=(const RegexCleaner&) = delete;

private:
    platform::text::Regex fillerRegex_;
    platform::text::Regex openerRegex_;
    platform::text::Regex doubledRegex_;
    platform::text::Regex parentheticalRegex_;
    platform::text::Regex spacesRegex_;
};
