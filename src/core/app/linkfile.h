#pragma once
#include <cstddef>
#include <string>
#include <string_view>

#include "app/paths.h"

namespace vigilo {

// Link-box files hold the box text as GBK with CR LF line ends. Reading gives UTF-8 text with
// CR LF line ends (a UTF-8 file is accepted too); a missing file gives "". Only the first
// kLinkFileReadCap bytes are read, cut back to the last whole line, so a huge or binary file
// gives a bounded, valid text. Writing goes through a temporary file and a rename, so a crash
// leaves the old or the new content, never a mix.
inline constexpr std::size_t kLinkFileReadCap = std::size_t{1} << 20;
std::string readLinkFile(const fs::path& path);
bool writeLinkFile(const fs::path& path, const std::string& utf8Text);

// Writes `bytes` to `path` through a temporary file in the same folder and a rename.
bool writeFileAtomically(const fs::path& path, const std::string& bytes);

// Every line end (CR LF, LF or a lone CR) as CR LF, the form the link boxes use.
std::string toCrLf(std::string_view text);

}  // namespace vigilo
