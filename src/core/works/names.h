#pragma once
// "<id>-<desc>.mp4" names of downloaded videos.
#include <string>
#include <string_view>

#include "text/filenames.h"

namespace vigilo {

// "<id>-<desc>.mp4" as one safe name of at most kMaxNameBytes bytes; the description is
// shortened first so the id stays whole.
std::string videoFileName(std::string_view newestId, std::string_view newestDesc);

}  // namespace vigilo
