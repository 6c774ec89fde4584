#include "text/md5.h"

// The low-level digest functions, deprecated in OpenSSL 3 in favour of EVP, are used on purpose:
// the first EVP digest loads OpenSSL's configuration and fetches a provider (close to a
// millisecond), and the window hashes its instance name before it can show anything.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>

namespace vigilo {

std::string md5Hex(std::string_view bytes, bool upperCase, bool shortForm) {
    unsigned char digest[MD5_DIGEST_LENGTH];
    MD5_CTX ctx;
    if (MD5_Init(&ctx) != 1 || MD5_Update(&ctx, bytes.data(), bytes.size()) != 1 || MD5_Final(digest, &ctx) != 1)
        return {};
    const char* alphabet = upperCase ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * MD5_DIGEST_LENGTH);
    for (unsigned char byte : digest) {
        hex.push_back(alphabet[byte >> 4]);
        hex.push_back(alphabet[byte & 0x0F]);
    }
    return shortForm ? hex.substr(8, 16) : hex;
}

}  // namespace vigilo
