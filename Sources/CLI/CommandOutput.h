#pragma once
// Output shapes shared by the listing commands.
#include <string>

#include <nlohmann/json.hpp>

namespace OndiraCLI {

// Prints the value pretty-printed, for a reader and for a pipe alike, and
// returns 0. Encoding fails only on a text that is not valid UTF-8; then
// `failure` goes to standard error, nothing to standard output, and it returns 1.
int printJSON(const nlohmann::json& value, const std::string& failure);

// Prints each line of a text that may span several lines, indented by four
// spaces under the line it belongs to.
void printIndented(const std::string& text);

}  // namespace OndiraCLI
