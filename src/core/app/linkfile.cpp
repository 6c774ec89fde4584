#include "app/linkfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string_view>

#include "sys/file_size_signal.h"
#include "sys/unique_fd.h"
#include "text/charset.h"

namespace vigilo {

namespace {

std::atomic<unsigned> gTempCounter{0};

}  // namespace

std::string toCrLf(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r') {
            out += "\r\n";
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else if (c == '\n') {
            out += "\r\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string readLinkFile(const fs::path& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0) return {};
    std::string bytes;
    bytes.resize(kLinkFileReadCap + 1);
    size_t have = 0;
    while (have < bytes.size()) {
        const ssize_t n = ::read(fd.get(), bytes.data() + have, bytes.size() - have);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // end, a read error, or not a file that can be read now (a FIFO)
        have += static_cast<size_t>(n);
    }
    bytes.resize(have);
    if (bytes.size() > kLinkFileReadCap) {
        // Too long for a link box: keep the whole lines that fit.
        bytes.resize(kLinkFileReadCap);
        const size_t lastLineEnd = bytes.rfind('\n');
        bytes.resize(lastLineEnd == std::string::npos ? 0 : lastLineEnd + 1);
    }
    // A zero byte is no link text; it would cut the box short in a front end.
    std::erase(bytes, '\0');
    return toValidUtf8(decodeUtf8OrGbk(bytes));
}

bool writeLinkFile(const fs::path& path, const std::string& utf8Text) {
    const std::string crlf = toCrLf(utf8Text);
    const std::string gbk = convertCharset(crlf, "UTF-8", "GBK");
    // Text that the conversion could not carry at all is not written over a good file.
    if (gbk.empty() && !crlf.empty()) return false;
    return writeFileAtomically(path, gbk);
}

bool writeFileAtomically(const fs::path& path, const std::string& bytes) {
    ignoreFileSizeSignal();
    fs::path temp = path;
    temp += ".tmp." + std::to_string(::getpid()) + "." + std::to_string(gTempCounter.fetch_add(1));
    UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (fd.get() < 0) return false;
    bool ok = true;
    size_t done = 0;
    while (ok && done < bytes.size()) {
        const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
        } else {
            done += static_cast<size_t>(n);
        }
    }
    ok = ok && ::fsync(fd.get()) == 0;
    ok = fd.closeChecked() && ok;
    ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(temp.c_str());
    return ok;
}

}  // namespace vigilo
