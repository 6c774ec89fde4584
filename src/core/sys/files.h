#pragma once
// File operations every layer needs that the standard library cannot do safely.
#include <filesystem>

namespace vigilo {

// Renames without ever replacing: false (errno EEXIST) when `to` exists. Two programs (or two
// threads) choosing the same free name cannot overwrite each other's file.
bool moveWithoutReplace(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace vigilo
