// Frames over a byte stream: a 16-byte big-endian header (version 1, type, tag, payload size)
// and the payload. PTProtocol writes and reads them on dispatch I/O channels; every result is
// delivered on the protocol's queue.
#pragma once

#include "platform/corefoundation/Error.h"
#include "platform/dispatch/Dispatch.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace usblink {

inline constexpr char PTProtocolErrorDomain[] = "PTProtocolError";
inline constexpr char PTErrorDomain[] = "PTError";

inline constexpr uint32_t kPTProtocolVersion1 = 1;
inline constexpr uint32_t kPTFrameHeaderSize = 16;
inline constexpr uint32_t kPTFrameTypeEndOfStream = 0;
// Nothing the link carries comes near this; a larger size field is a broken stream and is
// refused before anything is allocated for it.
inline constexpr uint32_t kPTMaxFramePayloadSize = 16 * 1024 * 1024;

using OptionalError = std::optional<platform::Error>;

class PTProtocol : public std::enable_shared_from_this<PTProtocol> {
  public:
    using FrameCallback =
        std::function<void(OptionalError, uint32_t type, uint32_t tag, uint32_t payloadSize)>;
    using PayloadCallback = std::function<void(OptionalError, dispatch::dispatch_data_t mapped,
                                               const uint8_t* bytes, size_t length)>;
    using ResumeBlock = std::function<void()>;
    using FrameLoopHandler = std::function<void(OptionalError, uint32_t type, uint32_t tag,
                                                uint32_t payloadSize, ResumeBlock resume)>;

    // The queue's own protocol object, made on first request and owned by the queue.
    static std::shared_ptr<PTProtocol> sharedProtocolForQueue(const dispatch::dispatch_queue_t& queue);
    // A protocol that owns its queue (the main queue when null).
    static std::shared_ptr<PTProtocol> initWithDispatchQueue(dispatch::dispatch_queue_t queue);

    dispatch::dispatch_queue_t queue() const;
    uint32_t newTag();

    static dispatch::dispatch_data_t
    createDispatchDataWithFrameOfType(uint32_t type, uint32_t frameTag,
                                      const dispatch::dispatch_data_t& payload);
    void sendFrameOfType(uint32_t type, uint32_t tag, const dispatch::dispatch_data_t& payload,
                         const dispatch::dispatch_io_t& channel, std::function<void(OptionalError)> callback);
    void readFrameOverChannel(const dispatch::dispatch_io_t& channel, FrameCallback callback);
    void readPayloadOfSize(size_t size, const dispatch::dispatch_io_t& channel, PayloadCallback callback);
    void readAndDiscardDataOfSize(size_t size, const dispatch::dispatch_io_t& channel,
                                  std::function<void(OptionalError, bool endOfStream)> callback);
    void readFramesOverChannel(const dispatch::dispatch_io_t& channel, FrameLoopHandler onFrame);

  private:
    PTProtocol(dispatch::dispatch_queue_t owned, std::weak_ptr<dispatch::Queue> borrowed)
        : m_ownedQueue(std::move(owned)), m_queue(std::move(borrowed)) {}

    // Gathers a read's partial deliveries; done(error, gathered, lastDeliveryWasEmpty).
    void gather(const dispatch::dispatch_io_t& channel, size_t size,
                std::function<void(int error, dispatch::dispatch_data_t gathered, bool lastEmpty)> done);

    const dispatch::dispatch_queue_t m_ownedQueue; // null for a queue's own protocol
    const std::weak_ptr<dispatch::Queue> m_queue;
    std::atomic<uint32_t> m_nextFrameTag{0};
};

} // namespace usblink
