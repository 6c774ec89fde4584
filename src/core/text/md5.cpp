#include "text/md5.h"

#include <openssl/evp.h>

#include <memory>

namespace vigilo {

std::string md5Hex(std::string_view bytes, bool upperCase, bool shortForm) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1 ||
        EVP_DigestUpdate(ctx.get(), bytes.data(), bytes.size()) != 1 ||
        EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1)
        return {};
    const char* alphabet = upperCase ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string hex;
    hex.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        hex.push_back(alphabet[digest[i] >> 4]);
        hex.push_back(alphabet[digest[i] & 0x0F]);
    }
    return shortForm ? hex.substr(8, 16) : hex;
}

}  // namespace vigilo
