// Test helpers for the framebuffer driver client: a transport that records (and may refuse or
// answer) the user-client calls on their way to the in-process kernel, and a screen list read
// from the in-process window server.
#pragma once

#include "server/FramebufferDriverClient.h"

#include "platform/corefoundation/Profile.h"
#include "platform/iokit/IOKitProtocol.h"
#include "platform/iokit/IOKitTransport.h"
#include "platform/iokit/InProcessKernel.h"

#include <atomic>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace server::testing {

// A stand-in Mac root with a home inside it, made the process's: empty when it cannot be made.
inline std::string makeTestRoot(const char* prefix) {
    std::string pattern = std::string("/tmp/") + prefix + ".XXXXXX";
    if (!::mkdtemp(pattern.data())) return {};
    ::mkdir((pattern + "/home").c_str(), 0700);
    ::setenv("HOME", (pattern + "/home").c_str(), 1);
    ::setenv("PLATFORM_ROOT", pattern.c_str(), 1);
    return platform::testing::makeRoot(pattern) ? pattern : std::string();
}

struct RecordedCall {
    uint32_t connection = 0;
    uint32_t selector = 0;
    std::vector<uint64_t> inputs;
};

class RecordingTransport : public iokit::IOKitTransport {
  public:
    explicit RecordingTransport(std::shared_ptr<iokit::IOKitTransport> inner) : m_inner(std::move(inner)) {}

    std::optional<cf::Value> request(std::string_view op, const cf::Value& args) override {
        if (op == iokit::op::serviceClose) {
            std::lock_guard lock(m_mutex);
            m_closed.push_back(static_cast<uint32_t>(args.find("connection")->integerValue()));
        }
        if (op != iokit::op::callScalarMethod) return m_inner->request(op, args);
        RecordedCall call;
        call.connection = static_cast<uint32_t>(args.find("connection")->integerValue());
        call.selector = static_cast<uint32_t>(args.find("selector")->integerValue());
        if (const cf::Bytes* bytes = args.find("input")->asData()) {
            for (size_t i = 0; i + 8 <= bytes->size(); i += 8) {
                uint64_t v = 0;
                for (int b = 0; b < 8; ++b)
                    v |= uint64_t((*bytes)[i + b]) << (8 * b);
                call.inputs.push_back(v);
            }
        }
        std::optional<cf::Value> answer;
        std::function<void()> during;
        {
            std::lock_guard lock(m_mutex);
            if (auto hook = m_during.find(call.selector); hook != m_during.end()) during = hook->second;
        }
        if (during) during();
        {
            std::lock_guard lock(m_mutex);
            m_calls.push_back(call);
            auto refused = m_refused.find(call.selector);
            if (refused != m_refused.end() && refused->second.remaining != 0) {
                if (refused->second.remaining > 0) --refused->second.remaining;
                answer = cf::Dictionary{
                    {"status", static_cast<int64_t>(static_cast<int32_t>(refused->second.status))},
                    {"output", cf::Bytes{}}};
            } else if (auto canned = m_answers.find(call.selector); canned != m_answers.end()) {
                cf::Bytes out;
                for (uint64_t v : canned->second)
                    for (int b = 0; b < 8; ++b)
                        out.push_back(static_cast<uint8_t>(v >> (8 * b)));
                answer = cf::Dictionary{{"status", int64_t{0}}, {"output", out}};
            }
        }
        if (answer) return answer;
        return m_inner->request(op, args);
    }

    // The selector fails with status (times: how often; -1 always).
    void refuse(uint32_t selector, uint32_t status, int times = -1) {
        std::lock_guard lock(m_mutex);
        m_refused[selector] = {status, times};
    }
    // Runs on the calling thread while the selector's call is on its way.
    void duringCall(uint32_t selector, std::function<void()> hook) {
        std::lock_guard lock(m_mutex);
        m_during[selector] = std::move(hook);
    }
    // The selector succeeds with these outputs, without reaching the kernel.
    void answer(uint32_t selector, std::vector<uint64_t> outputs) {
        std::lock_guard lock(m_mutex);
        m_answers[selector] = std::move(outputs);
    }
    std::vector<RecordedCall> calls() const {
        std::lock_guard lock(m_mutex);
        return m_calls;
    }
    std::vector<uint32_t> selectors() const {
        std::vector<uint32_t> out;
        for (const auto& call : calls())
            out.push_back(call.selector);
        return out;
    }
    std::vector<uint32_t> closed() const {
        std::lock_guard lock(m_mutex);
        return m_closed;
    }
    void clear() {
        std::lock_guard lock(m_mutex);
        m_calls.clear();
        m_closed.clear();
    }

  private:
    struct Refusal {
        uint32_t status = 0;
        int remaining = -1;
    };
    std::shared_ptr<iokit::IOKitTransport> m_inner;
    mutable std::mutex m_mutex;
    std::vector<RecordedCall> m_calls;
    std::vector<uint32_t> m_closed;
    std::map<uint32_t, Refusal> m_refused;
    std::map<uint32_t, std::vector<uint64_t>> m_answers;
    std::map<uint32_t, std::function<void()>> m_during;
};

// The virtual displays the in-process window server shows, as the driver client reads them.
inline FramebufferDriverClient::ScreenList windowServerScreens(iokit::InProcessKernel& kernel) {
    return [&kernel] {
        std::vector<FramebufferScreen> list;
        auto* ws = kernel.windowServer();
        if (!ws) return list;
        ws->sync();
        for (const auto& display : ws->displays()) {
            FramebufferScreen screen;
            screen.displayID = display.displayID;
            screen.framebufferIndex =
                (display.serialNumber >> 16) == 0x9973 ? int64_t(display.serialNumber & 0xFFFF) : int64_t(-1);
            screen.userDescription = display.name;
            screen.frame = display.bounds;
            screen.scale = display.scale;
            screen.displaySizeInPixels = {double(display.pixelsWide), double(display.pixelsHigh)};
            list.push_back(screen);
        }
        return list;
    };
}

} // namespace server::testing
