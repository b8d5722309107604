// MD5 digests (CommonCrypto's CC_MD5 and a plain call), over OpenSSL's EVP interface.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace platform {

inline constexpr size_t CC_MD5_DIGEST_LENGTH = 16;
using CC_LONG = uint32_t;
using MD5Digest = std::array<uint8_t, CC_MD5_DIGEST_LENGTH>;

MD5Digest md5(const void* bytes, size_t length);
MD5Digest md5(const std::vector<uint8_t>& bytes);
MD5Digest md5(std::string_view bytes);

// Writes the 16-byte digest of data[0..len) to md and answers md.
unsigned char* CC_MD5(const void* data, CC_LONG len, unsigned char* md);

} // namespace platform
