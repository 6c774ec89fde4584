#pragma once
#include <string>

#include "app/paths.h"

namespace vigilo {

// Link-box files hold the box text as GBK with CR LF line ends. Reading gives UTF-8 text
// (a UTF-8 file is accepted too); a missing file gives "". Writing goes through a temporary
// file and a rename, so a crash leaves the old or the new content, never a mix.
std::string readLinkFile(const fs::path& path);
bool writeLinkFile(const fs::path& path, const std::string& utf8Text);

// Writes `bytes` to `path` through a temporary file in the same folder and a rename.
bool writeFileAtomically(const fs::path& path, const std::string& bytes);

}  // namespace vigilo
