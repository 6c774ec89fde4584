#pragma once
// The page's files (src/web/page), built into the program by CMake: nothing to install, and
// nothing served from the disk.
#include <cstddef>
#include <string_view>

namespace vigilo::web {

struct PageAsset {
    std::string_view name;  // "index.html", "app.js", "style.css"
    std::string_view bytes;
};

// nullptr when no file has that name.
const PageAsset* findPageAsset(std::string_view name);

}  // namespace vigilo::web
