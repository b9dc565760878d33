#pragma once
// The hub-bridge cases that older suites end with: the parsers of the page's
// staging, rules and snippets messages, their rows, and the store round trips
// the handlers make. Each suite appends its list after its own cases.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "SelfTest/SelfTest.h"

// Staging: the four staging parsers, the joiner, the rows and the page's staging panel.
std::vector<SelfTestCase> StagingHubCases();
// AppRules: rules_set / rules_delete parsers, rows and the override round trips.
std::vector<SelfTestCase> AppRulesBridgeCases();
// Snippets: snippets_set / snippets_delete parsers and the store round trip.
std::vector<SelfTestCase> SnippetsBridgeCases();

// The hub page as the scans read it: the HTML followed by every script it
// loads from its own directory (<script src="name.js">, a plain file name).
// None when the HTML or one of those scripts can't be read.
std::optional<std::string> hubPageSourceText(const std::filesystem::path& htmlPath);
