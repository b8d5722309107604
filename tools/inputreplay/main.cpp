// input_replay: the session's input handlers on one display, driven from the command line.
//   input_replay --display ID HEX...
// An input object on the display (its geometry read through the display set) takes each
// datagram, written as hex digits, on one serial queue and hands it to the handler of its type,
// as the sideband does. The main queue is served until a pasteboard restore a paste may have
// started has run; a last round trip to platformd makes sure every post is in its event log.
// Prints the input state at the end; exits 0, 1 when platformd is out of reach, 2 on bad usage.
#include "display/QNBDisplaySet.h"
#include "input/PointerStylus.h"
#include "input/QNBKeyCodeUtilities.h"
#include "input/ScreenServerInput.h"
#include "platform/core/Log.h"
#include "platform/coregraphics/CGSPrivate.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/ipc/Connection.h"
#include "platform/ipc/Protocol.h"

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

// The input object of the program: the session's handlers over one display's set.
class ReplayInput : public input::ScreenServerInput {
  public:
    explicit ReplayInput(cg::CGDirectDisplayID display) {
        auto member = std::make_shared<display::QNBDisplay>(display);
        m_set.addDisplay(member);
        m_set.finalizeSet();
    }

    std::optional<input::InputGeometry> inputGeometry() const override {
        if (m_set.displays().empty()) return std::nullopt;
        return input::InputGeometry{m_set.cursorScale(), m_set.scaleCorrectedDisplayBounds(), m_set.frame()};
    }

    // One datagram, by its type byte, as the sideband hands it on.
    void receive(const std::vector<uint8_t>& datagram) {
        const Socket none;
        const std::span<const uint8_t> data(datagram);
        if (data.empty()) {
            platform::log("input_replay: skipping an empty datagram");
            return;
        }
        switch (data[0]) {
        case 2:
            tapDatagramReceivedForSocket(none, data);
            break;
        case 3:
            keyboardEventDatagramReceivedForSocket(none, data);
            break;
        case 5:
            windowRequestDatagramReceivedForSocket(none, data);
            break;
        case 6:
            mouseDatagramReceivedForSocket(none, data);
            break;
        case 7:
            scrollDatagramReceivedForSocket(none, data);
            break;
        case 8:
            menuRequestDatagramReceivedForSocket(none, data);
            break;
        case 16:
            buttonDatagramReceivedForSocket(none, data);
            break;
        default:
            platform::log("Received unhandled message from the client.  Type = %d", int(data[0]));
        }
    }

  private:
    display::QNBDisplaySet m_set;
};

int usage(const char* why) {
    std::fprintf(stderr, "input_replay: %s\nusage: input_replay --display ID HEX...\n", why);
    return 2;
}

std::optional<std::vector<uint8_t>> bytesFromHex(std::string_view hex) {
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    if (hex.size() % 2 != 0) return std::nullopt;
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int high = digit(hex[i]), low = digit(hex[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes.push_back(static_cast<uint8_t>(high << 4 | low));
    }
    return bytes;
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    platform::setProcessName("input_replay");
    std::optional<cg::CGDirectDisplayID> display;
    std::vector<std::vector<uint8_t>> datagrams;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::printf("usage: input_replay --display ID HEX...\n");
            return 0;
        }
        if (arg == "--display") {
            if (++i >= argc) return usage("--display needs a display ID");
            char* end = nullptr;
            const unsigned long id = std::strtoul(argv[i], &end, 0);
            if (!*argv[i] || *end || id > 0xFFFFFFFFul) return usage("the display ID is not a number");
            display = static_cast<cg::CGDirectDisplayID>(id);
        } else if (auto bytes = bytesFromHex(arg)) {
            datagrams.push_back(std::move(*bytes));
        } else {
            return usage("a datagram is not an even count of hex digits");
        }
    }
    if (!display) return usage("no --display");
    if (!ipc::Connection::shared()) {
        std::fprintf(stderr, "input_replay: platformd is out of reach\n");
        return 1;
    }

    auto input = std::make_shared<ReplayInput>(*display);
    if (!input->inputGeometry() || cg::CGRectIsEmpty(input->inputGeometry()->frame))
        platform::log("input_replay: display 0x%x has no bounds: taps and mouse datagrams are dropped",
                      *display);

    // The sideband's serial queue; the main run loop is served meanwhile, as in the session,
    // so main-queue work the handlers start (the pasteboard restore) runs.
    auto queue =
        dispatch::dispatch_queue_create("com.quenby.input_replay.sideband", dispatch::DISPATCH_QUEUE_SERIAL);
    bool keyboard = false;
    for (const auto& datagram : datagrams) {
        keyboard = keyboard || (!datagram.empty() && datagram[0] == 3);
        dispatch::dispatch_async(queue, [input, datagram] { input->receive(datagram); });
    }
    bool finished = false;
    auto main = dispatch::RunLoop::main();
    auto finish = [&finished, main] {
        finished = true;
        main->stop();
    };
    // A paste restores the pasteboard a fixed delay after the latest paste, on the main queue;
    // a marker queued that long after the last datagram runs after any such restore.
    dispatch::dispatch_async(queue, [keyboard, finish] {
        const int64_t delay = keyboard ? int64_t(input::QNBKeyCodeUtilities::kPasteboardRestoreDelay *
                                                 double(dispatch::NSEC_PER_SEC))
                                       : 0;
        dispatch::dispatch_after(dispatch::dispatch_time(dispatch::DISPATCH_TIME_NOW, delay),
                                 dispatch::dispatch_get_main_queue(), finish);
    });
    while (!finished)
        main->runInMode(dispatch::kDefaultRunLoopMode, platform::kDistantFuture, true);

    if (!ipc::requestShared(ipc::op::status, cf::Value::emptyDictionary())) {
        std::fprintf(stderr, "input_replay: platformd did not answer\n");
        return 1;
    }
    const cg::CGPoint cursor = cg::CGSCurrentInputPointerPosition();
    std::printf("datagrams=%zu cursor=%g,%g\n", datagrams.size(), cursor.x, cursor.y);
    return 0;
}
