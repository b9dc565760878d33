#pragma once
// The hub-bridge cases that older suites end with: the parsers of the page's
// staging, rules and snippets messages, their rows, and the store round trips
// the handlers make. Each suite appends its list after its own cases.
#include <vector>

#include "SelfTest/SelfTest.h"

// Staging: the four staging parsers, the joiner and the rows.
std::vector<SelfTestCase> StagingHubCases();
// AppRules: rules_set / rules_delete parsers, rows and the override round trips.
std::vector<SelfTestCase> AppRulesBridgeCases();
// Snippets: snippets_set / snippets_delete parsers and the store round trip.
std::vector<SelfTestCase> SnippetsBridgeCases();
