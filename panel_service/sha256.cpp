#include "panel_service/sha256.h"

#include <memory>
#include <openssl/evp.h>

namespace {

using Context = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

// A digest under way, from OpenSSL's libcrypto.
Context started()
{
    Context context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (context && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
        context.reset();
    return context;
}

std::string finished(const Context &context)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1)
        return {};
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += kDigits[digest[i] >> 4];
        hex += kDigits[digest[i] & 0xF];
    }
    return hex;
}

} // namespace

std::string sha256Hex(const uint8_t *bytes, std::size_t n)
{
    const Context context = started();
    if (!context || EVP_DigestUpdate(context.get(), bytes, n) != 1)
        return {};
    return finished(context);
}
