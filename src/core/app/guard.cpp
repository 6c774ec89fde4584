#include "app/guard.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>

#include "text/charset.h"
#include "text/md5.h"

namespace vigilo {

namespace {

constexpr const char* kSeed = "你懒得输入，我就写死，略略";

struct Held {
    std::mutex mutex;
    std::map<std::string, int> descriptors;  // name -> descriptor holding the lock for the process's life
};

Held& held() {
    static Held* instance = new Held;  // never destroyed: the locks last until the process ends
    return *instance;
}

std::filesystem::path markerDirectory() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::error_code ec;
    if (runtime != nullptr && *runtime == '/' && std::filesystem::is_directory(runtime, ec)) return runtime;
    return "/tmp";
}

int openMarker(const std::filesystem::path& path) {
    // No following of links: in a shared /tmp the name must not lead us to another file.
    const int flags = O_CREAT | O_CLOEXEC | O_NOFOLLOW;
    int fd = ::open(path.c_str(), O_RDWR | flags, 0600);
    if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_RDONLY | flags, 0600);
    return fd;
}

}  // namespace

std::string instanceName() { return md5Hex(utf8ToGbk(kSeed)); }

namespace {

enum class Mark { Held, Taken };

Mark takeMark(const std::string& name) {
    const std::string marker = name.empty() ? instanceName() : name;
    Held& h = held();
    std::lock_guard lock(h.mutex);
    if (h.descriptors.count(marker) != 0) return Mark::Held;  // this process holds it already

    // A name that cannot mark anything (no digest, a path in it) lets the copy run, as a
    // failed creation does.
    if (marker.empty() || marker.find('/') != std::string::npos || marker == "." || marker == "..") return Mark::Held;
    const int fd = openMarker(markerDirectory() / marker);
    if (fd < 0) return Mark::Held;
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) {
        h.descriptors[marker] = fd;  // held until the process ends; the kernel drops it then
        return Mark::Held;
    }
    const bool taken = (errno == EWOULDBLOCK);
    ::close(fd);
    return taken ? Mark::Taken : Mark::Held;
}

}  // namespace

bool guardSingleInstance(UserInterface& ui, const std::string& name, const std::string& message) {
    if (takeMark(name) == Mark::Held) return true;
    ui.messageBox(message, "友情提醒:", MessageIcon::Warning);
    return false;
}

bool holdSingleInstance(const std::string& name) { return takeMark(name) == Mark::Held; }

void releaseSingleInstance(const std::string& name) {
    const std::string marker = name.empty() ? instanceName() : name;
    Held& h = held();
    std::lock_guard lock(h.mutex);
    auto it = h.descriptors.find(marker);
    if (it == h.descriptors.end()) return;
    ::close(it->second);
    h.descriptors.erase(it);
}

}  // namespace vigilo
