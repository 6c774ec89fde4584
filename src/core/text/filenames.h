#pragma once
// Folder and file names built from the service's texts. The service hands us nicknames and
// descriptions with slashes, line breaks, emoji and hundreds of bytes, so every name is made
// safe for one path component before it touches the file system.
#include <cstddef>
#include <string>
#include <string_view>

namespace vigilo {

inline constexpr std::size_t kMaxNameBytes = 255;

// What an empty name becomes, so it still names a visible file or folder.
inline constexpr std::string_view kEmptyNameStandIn = "_";

// One path component: "/", NUL and control characters become "_", invalid UTF-8 becomes
// U+FFFD, "." and ".." turn into underscores, a leading dot becomes "_" (no hidden files), the
// result is cut to maxBytes on a character boundary, and an empty name becomes the stand-in.
std::string safeFileName(std::string_view text, std::size_t maxBytes = kMaxNameBytes);

// Valid UTF-8 with the characters a name may not hold replaced; no length limit.
std::string cleanFileName(std::string_view text);

// Cuts UTF-8 text to at most maxBytes without splitting a character.
std::string cutUtf8(std::string_view text, std::size_t maxBytes);

}  // namespace vigilo
