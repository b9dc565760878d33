#pragma once
// The hands-free gesture cases of the AppRules suite, in their order: the
// double tap inside and outside its window, the stop tap, the max-duration
// stop and the unchanged hold path. They drive HotkeyManager::shared() with
// direct presses and releases and always put its delegate back.
#include "SelfTest/SelfTest.h"

#include <vector>

std::vector<SelfTestCase> AppRulesHotkeyCases();
