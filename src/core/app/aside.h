#pragma once
// A data file the program cannot read is kept for the user, not overwritten: it is renamed to
// "<name>.broken-<time>" before a new one is written in its place.
#include <filesystem>
#include <string>

namespace vigilo {

// The new file name (without its folder), or "" when the file could not be renamed.
std::string moveAside(const std::filesystem::path& file);

}  // namespace vigilo
