#pragma once
// Reading the helper's configuration file. The helper shares no code with the
// main program, so it keeps this small reader of its own: only a regular file,
// opened without waiting (a FIFO at the path is refused, never waited on) and
// read no further than a size cap (a link to /dev/zero or a huge file is
// refused, never read into memory).
#include <cstddef>
#include <optional>
#include <string>

namespace mirvane {

struct SmallFile {
    bool missing = false;              // nothing at the path: not a problem
    std::optional<std::string> bytes;  // the content when it could be read
    std::string problem;               // why it could not, naming the file
};

SmallFile readSmallRegularFile(const std::string& path, std::size_t maxBytes);

}  // namespace mirvane
