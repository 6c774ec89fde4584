#pragma once
// The web page's access token: random, made at first start, kept in the data directory with
// mode 0600 so only the user who runs the program can read it.
#include <filesystem>
#include <optional>
#include <string>

namespace vigilo::web {

// Reads the token from `file`, or makes one (32 random bytes as hex) when the file is missing
// or holds no usable token. A file readable by others is narrowed to 0600. nullopt with
// `error` set when no token could be read or made.
std::optional<std::string> loadOrCreateToken(const std::filesystem::path& file, std::string& error);

// Compares in time that does not depend on where the texts differ.
bool sameToken(const std::string& given, const std::string& expected);

}  // namespace vigilo::web
