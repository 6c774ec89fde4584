#include "app/aside.h"

#include <ctime>
#include <system_error>

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
        const std::filesystem::path target = file.parent_path() / name;
        std::error_code ec;
        if (std::filesystem::exists(target, ec)) continue;
        std::filesystem::rename(file, target, ec);
        return ec ? std::string() : name;
    }
    return {};
}

}  // namespace vigilo
