// NSUUID: random (version 4) identifiers and their text.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace ns {

class NSUUID {
  public:
    // A new random identifier (version 4, RFC 4122 variant).
    static NSUUID UUID();
    explicit NSUUID(const std::array<uint8_t, 16>& bytes) : m_bytes(bytes) {}

    // Upper-case hexadecimal in groups of 8-4-4-4-12: "E621E1F8-C36C-495A-93FC-0C247A3E6E5F".
    std::string UUIDString() const;
    const std::array<uint8_t, 16>& bytes() const { return m_bytes; }
    bool operator==(const NSUUID&) const = default;

  private:
    std::array<uint8_t, 16> m_bytes;
};

} // namespace ns
