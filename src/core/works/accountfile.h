#pragma once
// The account information file: an INI text in GBK with CR LF line ends, one section per UID.
#include <string>
#include <string_view>

#include "app/paths.h"

namespace vigilo {

struct AccountEntry;

// Writes the nine keys of the entry's section, in their fixed order. A key that exists is
// rewritten in place, other sections and lines (even ones that do not parse) are kept. Line
// breaks in values become blanks; characters GBK cannot hold are replaced. Writers in this
// process take turns, and the file is replaced through a temporary file and a rename.
// Returns whether the file was written.
bool writeAccountEntry(const fs::path& file, const AccountEntry& entry);

// The same edit on the file's bytes (GBK); exposed so the parsing can be tested on its own.
// `section`, `keys` and `values` are GBK already.
std::string applyIniKeys(std::string_view fileBytes, std::string_view section, const std::string* keys,
                         const std::string* values, int count);

}  // namespace vigilo
