// encoder_drive: one of the session's encoders driven against the live displays of the
// platformd of $PLATFORM_ROOT. It draws through the window server's draw hook while it runs,
// hands the encoder the dirty rectangles of the refresh callbacks as a session does, reads what
// the encoder writes with a reader of its own, and compares the picture it rebuilds with the
// display's image. The rtp mode sends through an outbound RTP socket to receivers of its own;
// the audio mode runs the audio bridge on the Core Audio stand-in (no display, no platformd).
//   encoder_drive [--display ID] [--seconds S] vell|h264|theora|rtp|audio
// One line; exit 0, or 1 with the reason.
#include "tools/encoderdrive/Drive.h"
#include "tools/encoderdrive/VellPicture.h"

#include "capture/QNBH264VellEncoder.h"
#include "capture/QNBVellEncoder.h"
#include "capture/QNBVellRTPEncoder.h"
#include "capture/QNBVellTheoraEncoder.h"
#include "capture/QNNetOutboundRTPSocket.h"
#include "display/QNBDisplaySet.h"
#include "display/QNBScreen.h"

#include "platform/core/Clock.h"
#include "platform/coregraphics/CGDirectDisplay.h"
#include "platform/coregraphics/CGDisplayImage.h"
#include "platform/coregraphics/CGRemoteOperation.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/ipc/Connection.h"
#include "platform/windowserver/WindowServerProtocol.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

using encoderdrive::Drive;
using encoderdrive::failure;
using encoderdrive::RefreshFeed;
using encoderdrive::serveUntil;
using encoderdrive::VellPicture;

using encoderdrive::kDrawInterval;
using encoderdrive::kRequestInterval;
using encoderdrive::kSettleLimit;

// Once drawing stops, this many updates in a row without records: the heat has cooled.
constexpr int kSettledUpdates = 15;
constexpr double kMinPsnr = 35.0;

int usage(bool asked = false) {
    std::fprintf(asked ? stdout : stderr,
                 "usage: encoder_drive [--display ID] [--seconds S] vell|h264|theora|rtp|audio\n");
    return asked ? 0 : 2;
}

std::optional<uint32_t> parseDisplay(const std::string& text) {
    if (text.empty() || text.size() > 12) return std::nullopt;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 0);
    if (!end || *end || value == 0 || value > 0xFFFFFFFFul) return std::nullopt;
    return uint32_t(value);
}

std::vector<uint32_t> activeDisplays() {
    uint32_t ids[32];
    uint32_t count = 0;
    if (cg::CGGetActiveDisplayList(32, ids, &count) != cg::kCGErrorSuccess) return {};
    return std::vector<uint32_t>(ids, ids + std::min<uint32_t>(count, 32));
}

// The first virtual display, else the main one.
uint32_t defaultDisplay(const std::vector<uint32_t>& displays) {
    for (uint32_t id : displays)
        if (display::QNBScreen::framebufferIndexForDisplayID(id) >= 0) return id;
    return cg::CGMainDisplayID();
}

// The session's side: refresh rectangles (global points) clipped to the display and handed to
// the encoder as the session hands them (pixels relative to the display), then a frame enqueued.
void refreshed(uint32_t count, const cg::CGRect* rects, void* info) {
    auto* feed = static_cast<RefreshFeed*>(info);
    bool handed = false;
    for (uint32_t i = 0; i < count && rects; ++i) {
        const cg::CGRect r = cg::CGRectIntersection(rects[i], feed->bounds);
        if (cg::CGRectIsNull(r) || cg::CGRectIsEmpty(r)) continue;
        feed->encoder->addDirtyRectangle(cg::CGRectMake((r.origin.x - feed->bounds.origin.x) * feed->scale,
                                                        (r.origin.y - feed->bounds.origin.y) * feed->scale,
                                                        r.size.width * feed->scale,
                                                        r.size.height * feed->scale));
        handed = true;
    }
    if (handed) {
        ++feed->callbacks;
        feed->encoder->enqueueFrame();
    }
}

int driveVell(Drive& d) {
    const size_t width = cg::CGDisplayPixelsWide(d.displayID), height = cg::CGDisplayPixelsHigh(d.displayID);
    if (width == 0 || height == 0) return failure("display has no pixels");
    VellPicture picture(width, height);
    // A session's first frame is the whole display.
    d.feed.encoder->addDirtyRectangle(cg::CGRectMake(0, 0, double(width), double(height)));
    auto take = [&] {
        const auto bytes = d.socket->take();
        return picture.feed(bytes.data(), bytes.size());
    };

    if (auto why = d.drawAndRequest([&] { return take() ? std::string() : "vell: " + picture.error(); }))
        return failure(*why);

    // Drawing stopped: updates go on until a run of them carries nothing.
    const platform::TimePoint settleEnd = platform::MonoClock::now() + platform::seconds(kSettleLimit);
    int quiet = 0;
    while (quiet < kSettledUpdates) {
        if (platform::MonoClock::now() > settleEnd) return failure("vell: the picture never settled");
        serveUntil(platform::MonoClock::now() + platform::seconds(kRequestInterval));
        const size_t records = picture.counts().records, callbacks = d.feed.callbacks;
        d.request();
        if (!take()) return failure("vell: " + picture.error());
        quiet = picture.counts().records == records && d.feed.callbacks == callbacks ? quiet + 1 : 0;
    }
    if (!picture.atUpdateBoundary()) return failure("vell: the stream ends inside an update");

    auto image = cg::CGDisplayCreateImage(d.displayID);
    if (!image || !image->bytes) return failure("vell: no image of the display");
    if (image->width != width || image->height != height)
        return failure("vell: the display image is not the display's size");
    const double x = encoderdrive::psnr(picture.pixels().data(), width * 4, image->bytes.get(),
                                        image->bytesPerRow, width, height);
    const auto& c = picture.counts();
    char line[256];
    std::snprintf(
        line, sizeof line,
        "vell: updates %zu records %zu (hq %zu lq %zu squeezed %zu copy %zu dummy %zu) psnr %.2f dB",
        c.updates, c.records, c.highQuality, c.lowQuality, c.squeezed, c.copies, c.dummies, x);
    if (x < kMinPsnr) return failure(std::string(line) + ": below 35 dB");
    std::printf("%s\n", line);
    return 0;
}

int driveTheora(Drive& d) {
    auto& encoder = d.feed.encoder;
    size_t requests = 0;
    const platform::TimePoint start = platform::MonoClock::now();
    const platform::TimePoint end = start + platform::seconds(d.seconds);
    platform::TimePoint nextDraw = start;
    while (platform::MonoClock::now() < end) {
        if (platform::MonoClock::now() >= nextDraw) {
            if (!d.painter->draw()) return failure("the window server refused the draw hook");
            nextDraw += platform::seconds(kDrawInterval);
        }
        serveUntil(platform::MonoClock::now());
        encoder->waitForNextFrame();
        if (platform::MonoClock::now() >= end) break;
        ++requests;
        d.request();
    }
    VellPicture picture(1, 1);
    const auto bytes = d.socket->take();
    if (!picture.feed(bytes.data(), bytes.size())) return failure("theora: " + picture.error());
    char line[128];
    std::snprintf(line, sizeof line, "theora: requests %zu in %g s, updates %zu", requests, d.seconds,
                  picture.counts().updates);
    if (picture.counts().updates != 0 || !bytes.empty()) return failure(std::string(line) + ": it wrote");
    if (double(requests) > 30 * d.seconds + 1) return failure(std::string(line) + ": more than 30 a second");
    std::printf("%s\n", line);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    Drive d;
    std::optional<uint32_t> chosen;
    std::string mode;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") return usage(true);
        if (arg == "--display" && i + 1 < argc) {
            chosen = parseDisplay(argv[++i]);
            if (!chosen) return usage();
        } else if (arg == "--seconds" && i + 1 < argc) {
            char* end = nullptr;
            d.seconds = std::strtod(argv[++i], &end);
            if (!end || *end || !(d.seconds > 0) || d.seconds > 600) return usage();
        } else if (mode.empty() &&
                   (arg == "vell" || arg == "h264" || arg == "theora" || arg == "rtp" || arg == "audio")) {
            mode = arg;
        } else {
            return usage();
        }
    }
    if (mode.empty()) return usage();
    if (mode == "audio") return encoderdrive::driveAudio(d.seconds);

    platform::Error error;
    if (!ipc::Connection::shared(&error)) return failure("no platformd at $PLATFORM_ROOT");
    const auto displays = activeDisplays();
    if (displays.empty()) return failure("no active display");
    d.displayID = chosen ? *chosen : defaultDisplay(displays);
    if (std::find(displays.begin(), displays.end(), d.displayID) == displays.end())
        return failure("display " + std::to_string(d.displayID) + " is not active");

    d.set = std::make_shared<display::QNBDisplaySet>();
    d.display = std::make_shared<display::QNBDisplay>(d.displayID);
    d.set->addDisplay(d.display);
    d.set->finalizeSet();
    d.feed.bounds = cg::CGDisplayBounds(d.displayID);
    d.feed.scale = display::QNBScreen::scaleForDisplayID(d.displayID);
    d.painter = std::make_unique<encoderdrive::Painter>(d.feed.bounds);
    d.feed.encoder = (mode == "vell"     ? capture::QNBLANVellEncoderClass()
                      : mode == "theora" ? capture::QNBVellTheoraEncoderClass()
                      : mode == "rtp"    ? capture::QNBVellRTPEncoderClass()
                                         : capture::QNBH264VellEncoderClass())
                         .make();
    if (!d.feed.encoder) return failure(mode + ": the encoder class made no encoder");
    net::QNCapabilities capabilities;
    capabilities.encodingModes = 0x80; // takes squeezed records
    if (mode == "rtp") {
        d.encoderSocket = encoderdrive::rtpSocket();
        if (!d.encoderSocket) return failure("rtp: no RTP socket");
    }
    d.feed.encoder->setEncoderInformation(d.set, d.encoderSocket, capabilities);
    d.feed.encoder->startSession();
    cg::CGRegisterScreenRefreshCallback(refreshed, &d.feed);

    const int status = mode == "vell"     ? driveVell(d)
                       : mode == "theora" ? driveTheora(d)
                       : mode == "rtp"    ? encoderdrive::driveRTP(d)
                                          : encoderdrive::driveH264(d);

    cg::CGUnregisterScreenRefreshCallback(refreshed, &d.feed);
    d.feed.encoder->stopSession();
    d.painter->erase();
    return status;
}

namespace encoderdrive {

namespace {
constexpr char kWindowName[] = "encoderdrive";
} // namespace

bool Painter::draw() {
    const double w = std::min(320.0, m_bounds.size.width), h = std::min(240.0, m_bounds.size.height);
    const double spanX = std::max(1.0, m_bounds.size.width - w),
                 spanY = std::max(1.0, m_bounds.size.height - h);
    m_window = cg::CGRectMake(m_bounds.origin.x + std::fmod(37.0 * double(m_step), spanX),
                              m_bounds.origin.y + std::fmod(23.0 * double(m_step), spanY), w, h);
    ++m_step;
    auto connection = ipc::Connection::shared();
    if (!connection) return false;
    auto reply =
        connection->request(windowserver::op::draw, cf::Dictionary{{"hook", true},
                                                                   {"name", std::string(kWindowName)},
                                                                   {"x", m_window.origin.x},
                                                                   {"y", m_window.origin.y},
                                                                   {"width", w},
                                                                   {"height", h},
                                                                   {"pattern", std::string("photo")},
                                                                   {"value", int64_t(m_step)}});
    return reply.ok;
}

std::optional<cg::CGPoint> Painter::move() {
    if (cg::CGRectIsEmpty(m_window)) return std::nullopt;
    // Back and forth by a few pixels, inside the display.
    const double dx = m_window.origin.x + m_window.size.width + 24 <= cg::CGRectGetMaxX(m_bounds) ? 24 : -24;
    const double dy = m_window.origin.y + m_window.size.height + 16 <= cg::CGRectGetMaxY(m_bounds) ? 16 : -16;
    const double x = m_window.origin.x + dx, y = m_window.origin.y + dy;
    if (x < m_bounds.origin.x || y < m_bounds.origin.y) return std::nullopt;
    auto connection = ipc::Connection::shared();
    if (!connection) return std::nullopt;
    auto reply = connection->request(
        windowserver::op::move,
        cf::Dictionary{{"hook", true}, {"name", std::string(kWindowName)}, {"x", x}, {"y", y}});
    if (!reply.ok) return std::nullopt;
    m_window.origin = {x, y};
    return cg::CGPoint{dx, dy};
}

void Painter::erase() {
    if (auto connection = ipc::Connection::shared())
        connection->request(windowserver::op::erase,
                            cf::Dictionary{{"hook", true}, {"name", std::string(kWindowName)}});
}

std::optional<std::string> Drive::drawAndRequest(const std::function<std::string()>& read) {
    const platform::TimePoint start = platform::MonoClock::now();
    const platform::TimePoint end = start + platform::seconds(seconds);
    platform::TimePoint nextDraw = start, nextRequest = start;
    uint64_t turns = 0;
    while (platform::MonoClock::now() < end) {
        if (platform::MonoClock::now() >= nextDraw) {
            // Every fourth turn the window moves instead, and the session hears of the move
            // before the refresh of its damage.
            if (++turns % 4 == 0) {
                if (auto delta = painter->move(); delta && handsMoves) {
                    const cg::CGRect moved = painter->window();
                    // The display's queue takes its pixels placed at the display's origin.
                    const cg::CGRect destination = cg::CGRectMake(
                        (moved.origin.x - feed.bounds.origin.x) * feed.scale + feed.bounds.origin.x,
                        (moved.origin.y - feed.bounds.origin.y) * feed.scale + feed.bounds.origin.y,
                        moved.size.width * feed.scale, moved.size.height * feed.scale);
                    if (auto manager = display->rectManager())
                        manager->addMovedRectangle(&destination, 1,
                                                   cg::CGPoint{delta->x * feed.scale, delta->y * feed.scale});
                }
            } else if (!painter->draw()) {
                return "the window server refused the draw hook";
            }
            nextDraw += platform::seconds(kDrawInterval);
        }
        serveUntil(nextRequest);
        request();
        if (std::string why = read(); !why.empty()) return why;
        nextRequest += platform::seconds(kRequestInterval);
    }
    return std::nullopt;
}

void serveUntil(platform::TimePoint deadline) {
    do {
        dispatch::RunLoop::main()->runInMode("kCFRunLoopDefaultMode", deadline, true);
    } while (platform::MonoClock::now() < deadline);
}

int failure(const std::string& why) {
    std::printf("encoder_drive: %s\n", why.c_str());
    return 1;
}

} // namespace encoderdrive
