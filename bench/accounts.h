#pragma once
// Accounts shaped like the service's: emoji in nicknames, signatures with line breaks, and 21
// posts whose descriptions run to a few hundred bytes with hashtags, so a post-list answer is
// about 60 KB as the real ones are.
#include <string>

#include "sim/simulator.h"

namespace vigilo::bench {

inline constexpr int kPostsPerAccount = 21;

sim::Account makeAccount(int index, int posts = kPostsPerAccount);

}  // namespace vigilo::bench
