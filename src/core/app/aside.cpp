#include "app/aside.h"

#include <cerrno>
#include <ctime>

#include "sys/files.h"

namespace vigilo {

std::string moveAside(const std::filesystem::path& file) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const std::string base = file.filename().string() + ".broken-" + stamp;
    for (int n = 1; n < 100; ++n) {
        const std::string name = n == 1 ? base : base + "-" + std::to_string(n);
        // Never over an earlier broken file: a check-then-rename could replace one.
        if (moveWithoutReplace(file, file.parent_path() / name)) return name;
        if (errno != EEXIST) return {};
    }
    return {};
}

}  // namespace vigilo
