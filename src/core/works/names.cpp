#include "works/names.h"

namespace vigilo {

std::string videoFileName(std::string_view newestId, std::string_view newestDesc) {
    static constexpr std::string_view kExtension = ".mp4";
    const std::size_t budget = kMaxNameBytes - kExtension.size();
    const std::string id = cleanFileName(newestId);
    const std::string desc = cleanFileName(newestDesc);
    std::string stem;
    if (id.size() + 1 >= budget)
        stem = cutUtf8(id + "-", budget);
    else
        stem = id + "-" + cutUtf8(desc, budget - id.size() - 1);
    // An id that starts with a dot would make a hidden file.
    if (!stem.empty() && stem[0] == '.') stem[0] = '_';
    return stem + std::string(kExtension);
}

}  // namespace vigilo
