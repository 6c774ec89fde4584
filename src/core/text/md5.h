#pragma once
#include <string>
#include <string_view>

namespace vigilo {
// Hex MD5 of the bytes; lower case unless upperCase; shortForm gives the middle 16 digits.
std::string md5Hex(std::string_view bytes, bool upperCase = false, bool shortForm = false);
}  // namespace vigilo
