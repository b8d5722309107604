// encoder_drive's h264 mode: the H.264 encoder watches the display by itself (its display
// stream, its auto-encode loop); the program draws, asks for updates as a session does, then
// decodes every frame with libavcodec and compares the last one's luma with the display.
#include "tools/encoderdrive/Drive.h"
#include "tools/encoderdrive/H264Picture.h"

#include "platform/coregraphics/CGDisplayImage.h"

#include <cstdio>

namespace encoderdrive {

namespace {

// The encoder goes on for a second after the last change; this long without output it is done.
constexpr double kQuietSeconds = 1.5;
constexpr double kMinPsnr = 30.0;

} // namespace

int driveH264(Drive& d) {
    H264Picture picture;
    auto take = [&] {
        const auto bytes = d.socket->take();
        return std::make_pair(picture.feed(bytes.data(), bytes.size()), !bytes.empty());
    };
    if (auto why =
            d.drawAndRequest([&] { return take().first ? std::string() : "h264: " + picture.error(); }))
        return failure(*why);
    // Drawing stopped: the encoder's last frames are of the final picture.
    const platform::TimePoint settleEnd = platform::MonoClock::now() + platform::seconds(kSettleLimit);
    platform::TimePoint lastOutput = platform::MonoClock::now();
    for (;;) {
        const platform::TimePoint now = platform::MonoClock::now();
        if (now - lastOutput >= platform::seconds(kQuietSeconds)) break;
        if (now > settleEnd) return failure("h264: the encoder never went quiet");
        serveUntil(now + platform::seconds(kRequestInterval));
        d.request();
        const auto [ok, wrote] = take();
        if (!ok) return failure("h264: " + picture.error());
        if (wrote) lastOutput = platform::MonoClock::now();
    }
    d.feed.encoder->stopSession();
    if (!take().first) return failure("h264: " + picture.error());
    if (!picture.atUpdateBoundary()) return failure("h264: the stream ends inside an update");
    if (picture.frames() == 0 || picture.luma().empty()) return failure("h264: no frame decoded");

    auto image = cg::CGDisplayCreateImage(d.displayID);
    if (!image || !image->bytes) return failure("h264: no image of the display");
    char line[160];
    std::snprintf(line, sizeof line, "h264: frames %zu keyframes %zu size %dx%d", picture.frames(),
                  picture.keyFrames(), picture.width(), picture.height());
    if (size_t(picture.width()) != image->width || size_t(picture.height()) != image->height)
        return failure(std::string(line) + ": not the display's size " + std::to_string(image->width) + "x" +
                       std::to_string(image->height));
    const double x = lumaPsnr(picture.luma().data(), picture.width(), picture.height(), image->bytes.get(),
                              image->bytesPerRow);
    char psnr[48];
    std::snprintf(psnr, sizeof psnr, " psnr %.2f dB", x);
    if (x < kMinPsnr) return failure(std::string(line) + psnr + ": below 30 dB");
    std::printf("%s%s\n", line, psnr);
    return 0;
}

} // namespace encoderdrive
