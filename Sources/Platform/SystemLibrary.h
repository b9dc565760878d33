#pragma once
// What the running program asks of the system's C library, read from the
// program itself rather than written down beside it: a build made against a
// newer C library silently needs a newer system, whatever any text claims.
#include <optional>
#include <string>

namespace platform::system {

// The newest GNU C library symbol version ("2.34") the running executable
// needs from the dynamic linker, read from its ELF version-needs table; the
// oldest C library it can start with. None when the table cannot be read.
std::optional<std::string> requiredCLibraryVersion();
// The same for any ELF file.
std::optional<std::string> requiredCLibraryVersion(const std::string& elfFile);
// The C library the running system has ("2.36").
std::string runningCLibraryVersion();

// A shared library opened by its file name ("libavformat.so.59") when a road
// first needs it, and kept until the process ends; none with `error` (the
// dynamic linker's reason) when it can't be loaded. What only one road uses
// stays out of the start-up of every other.
void* openLibrary(const std::string& fileName, std::string* error);
// The address of `name` in a library openLibrary answered; none when absent.
void* librarySymbol(void* library, const char* name);

}  // namespace platform::system
