#pragma once
// The two HotkeyMode cases about the recording indicator's page ("standard
// mode's rec() HTML is byte-for-byte unchanged..." and "raw mode adds a
// visible 'raw' label..."), in that order. They live with the indicator page,
// whose pinned copy they compare against; the HotkeyMode suite places them.
#include "SelfTest/SelfTest.h"

#include <vector>

std::vector<SelfTestCase> HotkeyModeIndicatorPageCases();
