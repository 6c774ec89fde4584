#include "web/token.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sys/unique_fd.h"

namespace vigilo::web {

namespace {

constexpr std::size_t kTokenBytes = 32;
constexpr std::size_t kMinTokenLength = 32;

bool usable(const std::string& token) {
    if (token.size() < kMinTokenLength || token.size() > 256) return false;
    for (char c : token)
        if (c <= ' ' || c > '~') return false;
    return true;
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return text;
}

std::optional<std::string> readToken(const std::filesystem::path& file) {
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd) return std::nullopt;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    // Others could have read it; from now on they cannot.
    if ((st.st_mode & 077) != 0) ::fchmod(fd.get(), 0600);
    char buffer[512];
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n <= 0) return std::nullopt;
    std::string token = trimmed(std::string(buffer, static_cast<std::size_t>(n)));
    if (!usable(token)) return std::nullopt;
    return token;
}

}  // namespace

std::optional<std::string> loadOrCreateToken(const std::filesystem::path& file, std::string& error) {
    if (auto token = readToken(file)) return token;
    unsigned char bytes[kTokenBytes];
    if (RAND_bytes(bytes, sizeof bytes) != 1) {
        error = "no random bytes for the web token";
        return std::nullopt;
    }
    static const char* const kHex = "0123456789abcdef";
    std::string token;
    for (unsigned char b : bytes) {
        token += kHex[b >> 4];
        token += kHex[b & 15];
    }
    // A new file through a private temporary name and a rename: the token is never readable
    // by others, not even for a moment, and never half written.
    const std::filesystem::path temp = file.string() + ".tmp";
    ::unlink(temp.c_str());
    UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    const std::string line = token + "\n";
    if (!fd || ::fchmod(fd.get(), 0600) != 0 ||
        ::write(fd.get(), line.data(), line.size()) != static_cast<ssize_t>(line.size()) || ::fsync(fd.get()) != 0) {
        error = "cannot write " + temp.string() + ": " + std::strerror(errno);
        ::unlink(temp.c_str());
        return std::nullopt;
    }
    fd.reset();
    if (::rename(temp.c_str(), file.c_str()) != 0) {
        error = "cannot write " + file.string() + ": " + std::strerror(errno);
        ::unlink(temp.c_str());
        return std::nullopt;
    }
    return token;
}

bool sameToken(const std::string& given, const std::string& expected) {
    if (given.size() != expected.size() || expected.empty()) return false;
    return CRYPTO_memcmp(given.data(), expected.data(), expected.size()) == 0;
}

}  // namespace vigilo::web
