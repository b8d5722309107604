#include "platform/foundation/MD5.h"

#include "platform/core/Log.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <openssl/evp.h>

namespace platform {

MD5Digest md5(const void* bytes, size_t length) {
    MD5Digest digest{};
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    unsigned int written = 0;
    static const unsigned char kNothing = 0;
    if (!bytes) bytes = &kNothing; // an empty input may come without a buffer
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1 ||
        EVP_DigestUpdate(ctx.get(), bytes, length) != 1 ||
        EVP_DigestFinal_ex(ctx.get(), digest.data(), &written) != 1 || written != CC_MD5_DIGEST_LENGTH) {
        // Only a broken crypto library gets here; a wrong digest would be silently wrong data.
        platform::log("MD5: the crypto library failed to compute a digest; aborting");
        std::abort();
    }
    return digest;
}

MD5Digest md5(const std::vector<uint8_t>& bytes) {
    return md5(bytes.data(), bytes.size());
}

MD5Digest md5(std::string_view bytes) {
    return md5(bytes.data(), bytes.size());
}

unsigned char* CC_MD5(const void* data, CC_LONG len, unsigned char* md) {
    if (!md) return nullptr;
    auto digest = md5(data, len);
    std::memcpy(md, digest.data(), digest.size());
    return md;
}

} // namespace platform
