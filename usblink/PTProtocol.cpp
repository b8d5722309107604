#include "usblink/PTProtocol.h"

#include "platform/core/Log.h"

#include <cerrno>

namespace usblink {

namespace {

const char kQueueProtocolKey = 0;

uint32_t be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

void putBe32(uint8_t* out, uint32_t v) {
    out[0] = static_cast<uint8_t>(v >> 24);
    out[1] = static_cast<uint8_t>(v >> 16);
    out[2] = static_cast<uint8_t>(v >> 8);
    out[3] = static_cast<uint8_t>(v);
}

platform::Error protocolError(const char* description) {
    return platform::Error::withDescription(PTProtocolErrorDomain, 0, description);
}

} // namespace

std::shared_ptr<PTProtocol> PTProtocol::sharedProtocolForQueue(const dispatch::dispatch_queue_t& queue) {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    if (auto existing = dispatch::dispatch_queue_get_specific(queue, &kQueueProtocolKey))
        return std::static_pointer_cast<PTProtocol>(existing);
    // Held by the queue, referring to it without owning it: both go together.
    auto protocol = std::shared_ptr<PTProtocol>(new PTProtocol(nullptr, queue));
    dispatch::dispatch_queue_set_specific(queue, &kQueueProtocolKey, protocol);
    return protocol;
}

std::shared_ptr<PTProtocol> PTProtocol::initWithDispatchQueue(dispatch::dispatch_queue_t queue) {
    if (!queue) queue = dispatch::dispatch_get_main_queue();
    std::weak_ptr<dispatch::Queue> weak = queue;
    return std::shared_ptr<PTProtocol>(new PTProtocol(std::move(queue), weak));
}

dispatch::dispatch_queue_t PTProtocol::queue() const {
    return m_ownedQueue ? m_ownedQueue : m_queue.lock();
}

uint32_t PTProtocol::newTag() {
    return ++m_nextFrameTag;
}

dispatch::dispatch_data_t
PTProtocol::createDispatchDataWithFrameOfType(uint32_t type, uint32_t frameTag,
                                              const dispatch::dispatch_data_t& payload) {
    size_t size = dispatch::dispatch_data_get_size(payload);
    if (size > UINT32_MAX) {
        platform::log("PTProtocol: a payload of %zu bytes does not fit a frame", size);
        std::abort();
    }
    std::vector<uint8_t> header(kPTFrameHeaderSize);
    putBe32(header.data(), kPTProtocolVersion1);
    putBe32(header.data() + 4, type);
    putBe32(header.data() + 8, frameTag);
    putBe32(header.data() + 12, static_cast<uint32_t>(size));
    auto frame = dispatch::dispatch_data_create_with_bytes(std::move(header));
    return size > 0 ? dispatch::dispatch_data_create_concat(frame, payload) : frame;
}

void PTProtocol::sendFrameOfType(uint32_t type, uint32_t tag, const dispatch::dispatch_data_t& payload,
                                 const dispatch::dispatch_io_t& channel,
                                 std::function<void(OptionalError)> callback) {
    auto frame = createDispatchDataWithFrameOfType(type, tag, payload);
    dispatch::dispatch_io_write(channel, 0, frame, queue(), [callback](bool done, auto, int error) {
        if (!done || !callback) return;
        callback(error ? OptionalError(platform::Error::posix(error)) : std::nullopt);
    });
}

void PTProtocol::gather(const dispatch::dispatch_io_t& channel, size_t size,
                        std::function<void(int, dispatch::dispatch_data_t, bool)> done) {
    auto gathered = std::make_shared<dispatch::dispatch_data_t>(dispatch::dispatch_data_empty());
    dispatch::dispatch_io_read(channel, 0, size, queue(),
                               [gathered, done](bool isDone, dispatch::dispatch_data_t data, int error) {
                                   *gathered = dispatch::dispatch_data_create_concat(*gathered, data);
                                   if (!isDone) return;
                                   done(error, *gathered, dispatch::dispatch_data_get_size(data) == 0);
                               });
}

void PTProtocol::readFrameOverChannel(const dispatch::dispatch_io_t& channel, FrameCallback callback) {
    gather(channel, kPTFrameHeaderSize,
           [callback](int error, dispatch::dispatch_data_t gathered, bool lastEmpty) {
               if (error) {
                   callback(platform::Error::posix(error), 0, 0, 0);
                   return;
               }
               if (lastEmpty && gathered->size() < kPTFrameHeaderSize) {
                   callback(std::nullopt, kPTFrameTypeEndOfStream, 0, 0); // end of stream
                   return;
               }
               if (gathered->size() < kPTFrameHeaderSize) {
                   callback(protocolError("Short frame header"), 0, 0, 0);
                   return;
               }
               const void* bytes = nullptr;
               size_t size = 0;
               auto mapped = dispatch::dispatch_data_create_map(gathered, &bytes, &size);
               const auto* header = static_cast<const uint8_t*>(bytes);
               if (be32(header) != kPTProtocolVersion1) {
                   platform::log("PTProtocol: refused a frame of version %u", be32(header));
                   callback(protocolError("Unexpected frame version"), 0, 0, 0);
                   return;
               }
               uint32_t payloadSize = be32(header + 12);
               if (payloadSize > kPTMaxFramePayloadSize) {
                   platform::log("PTProtocol: refused a frame announcing %u payload bytes", payloadSize);
                   callback(protocolError("Frame payload too large"), 0, 0, 0);
                   return;
               }
               callback(std::nullopt, be32(header + 4), be32(header + 8), payloadSize);
           });
}

void PTProtocol::readPayloadOfSize(size_t size, const dispatch::dispatch_io_t& channel,
                                   PayloadCallback callback) {
    gather(channel, size, [callback, size](int error, dispatch::dispatch_data_t gathered, bool lastEmpty) {
        if (error) {
            callback(platform::Error::posix(error), nullptr, nullptr, 0);
            return;
        }
        if (lastEmpty && gathered->size() < size) {
            callback(std::nullopt, nullptr, nullptr, 0); // end of stream
            return;
        }
        const void* bytes = nullptr;
        size_t length = 0;
        auto mapped = dispatch::dispatch_data_create_map(gathered, &bytes, &length);
        callback(std::nullopt, mapped, static_cast<const uint8_t*>(bytes), length);
    });
}

void PTProtocol::readAndDiscardDataOfSize(size_t size, const dispatch::dispatch_io_t& channel,
                                          std::function<void(OptionalError, bool)> callback) {
    gather(channel, size, [callback, size](int error, dispatch::dispatch_data_t gathered, bool lastEmpty) {
        callback(error ? OptionalError(platform::Error::posix(error)) : std::nullopt,
                 lastEmpty && gathered->size() < size);
    });
}

void PTProtocol::readFramesOverChannel(const dispatch::dispatch_io_t& channel, FrameLoopHandler onFrame) {
    auto self = shared_from_this();
    readFrameOverChannel(channel, [self, channel, onFrame](OptionalError error, uint32_t type, uint32_t tag,
                                                           uint32_t payloadSize) {
        ResumeBlock resume = [self, channel, onFrame, type] {
            if (type != kPTFrameTypeEndOfStream) self->readFramesOverChannel(channel, onFrame);
        };
        onFrame(error, type, tag, payloadSize, resume);
    });
}

} // namespace usblink
