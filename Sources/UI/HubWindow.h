#pragma once
// The hub's message dispatcher and handlers (HubWindow.cpp); the bridge's
// interface is HubBridge.h. The GTK window is HubWindowController.
#include <optional>
#include <string>
#include <string_view>

#include "Learning/HistoryView.h"
#include "UI/HubBridge.h"

namespace HubWindow {
// One history row as the page shows it.
using LogEntry = HistoryView::LogEntry;

// The first history page and search cap the page gets unless it asks otherwise.
inline constexpr int defaultSearchCap = 500;
// Files the page may import: regular files up to this size.
inline constexpr std::uintmax_t maxImportBytes = 5 * 1024 * 1024;

// "%41" -> "A"; none when an escape is malformed or the result is not UTF-8.
std::optional<std::string> percentDecoded(std::string_view text);
// http and https URLs with a host and no white space or control characters.
bool isOpenableURL(const std::string& url);
}  // namespace HubWindow
