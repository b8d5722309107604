// The lean road of a scalar user-client call: one fixed binary message each way on a
// sequenced-packet socket of the calling process's own, which the calling thread writes and
// reads itself. No property list is built and no reader thread hands the answer over, so a
// call costs about one bare round trip. Sockets come from platformd ("iokit.fastChannel", its
// reply carrying the descriptor), one for each call a process makes at once, up to
// kMaxChannels; the property-list request serves whenever no socket can be had.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

namespace iokit {

namespace op {
constexpr char fastChannel[] = "iokit.fastChannel";
} // namespace op

namespace fastcall {

constexpr uint32_t kRequestMagic = 0x43464E51; // "QNFC"
// Channels one process may hold at once: platformd serves each on a thread of its own.
constexpr size_t kMaxChannels = 4;
constexpr uint32_t kMaxScalars = 16;
constexpr size_t kRequestHeaderBytes = 20; // magic, connection, selector, input count, output count
constexpr size_t kReplyHeaderBytes = 8;    // status, output count
constexpr size_t kMaxMessageBytes = kRequestHeaderBytes + kMaxScalars * 8;

struct ScalarCall {
    uint32_t connection = 0;
    uint32_t selector = 0;
    uint32_t inputCount = 0;
    uint32_t outputCount = 0; // asked for
    std::array<uint64_t, kMaxScalars> input{};
};

struct ScalarResult {
    int32_t status = 0;
    uint32_t outputCount = 0;
    std::array<uint64_t, kMaxScalars> output{};
};

using Message = std::array<uint8_t, kMaxMessageBytes>;

namespace detail {
inline void put32(uint8_t* p, uint32_t v) {
    for (int b = 0; b < 4; ++b)
        p[b] = uint8_t(v >> (8 * b));
}
inline void put64(uint8_t* p, uint64_t v) {
    for (int b = 0; b < 8; ++b)
        p[b] = uint8_t(v >> (8 * b));
}
inline uint32_t get32(const uint8_t* p) {
    uint32_t v = 0;
    for (int b = 0; b < 4; ++b)
        v |= uint32_t(p[b]) << (8 * b);
    return v;
}
inline uint64_t get64(const uint8_t* p) {
    uint64_t v = 0;
    for (int b = 0; b < 8; ++b)
        v |= uint64_t(p[b]) << (8 * b);
    return v;
}
} // namespace detail

// The message's length in out; counts above kMaxScalars are the caller's to refuse first.
inline size_t encodeCall(const ScalarCall& call, Message& out) {
    detail::put32(&out[0], kRequestMagic);
    detail::put32(&out[4], call.connection);
    detail::put32(&out[8], call.selector);
    detail::put32(&out[12], call.inputCount);
    detail::put32(&out[16], call.outputCount);
    for (uint32_t i = 0; i < call.inputCount && i < kMaxScalars; ++i)
        detail::put64(&out[kRequestHeaderBytes + i * 8], call.input[i]);
    return kRequestHeaderBytes + size_t(call.inputCount) * 8;
}

// Nothing unless the bytes are exactly one well-formed call.
inline std::optional<ScalarCall> decodeCall(std::span<const uint8_t> bytes) {
    if (bytes.size() < kRequestHeaderBytes || detail::get32(&bytes[0]) != kRequestMagic) return std::nullopt;
    ScalarCall call;
    call.connection = detail::get32(&bytes[4]);
    call.selector = detail::get32(&bytes[8]);
    call.inputCount = detail::get32(&bytes[12]);
    call.outputCount = detail::get32(&bytes[16]);
    if (call.inputCount > kMaxScalars || call.outputCount > kMaxScalars) return std::nullopt;
    if (bytes.size() != kRequestHeaderBytes + size_t(call.inputCount) * 8) return std::nullopt;
    for (uint32_t i = 0; i < call.inputCount; ++i)
        call.input[i] = detail::get64(&bytes[kRequestHeaderBytes + i * 8]);
    return call;
}

inline size_t encodeResult(const ScalarResult& result, Message& out) {
    detail::put32(&out[0], uint32_t(result.status));
    const uint32_t count = std::min(result.outputCount, kMaxScalars); // never past the message
    detail::put32(&out[4], count);
    for (uint32_t i = 0; i < count; ++i)
        detail::put64(&out[kReplyHeaderBytes + i * 8], result.output[i]);
    return kReplyHeaderBytes + size_t(count) * 8;
}

// Nothing unless the bytes are one well-formed answer of at most asked outputs.
inline std::optional<ScalarResult> decodeResult(std::span<const uint8_t> bytes, uint32_t asked) {
    if (bytes.size() < kReplyHeaderBytes) return std::nullopt;
    ScalarResult result;
    result.status = int32_t(detail::get32(&bytes[0]));
    result.outputCount = detail::get32(&bytes[4]);
    if (result.outputCount > asked || result.outputCount > kMaxScalars) return std::nullopt;
    if (bytes.size() != kReplyHeaderBytes + size_t(result.outputCount) * 8) return std::nullopt;
    for (uint32_t i = 0; i < result.outputCount; ++i)
        result.output[i] = detail::get64(&bytes[kReplyHeaderBytes + i * 8]);
    return result;
}

} // namespace fastcall
} // namespace iokit
