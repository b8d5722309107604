#include "capture/QNBVellEncoder.h"

#include "display/QNBDisplaySet.h"
#include "display/QNBScreen.h"
#include "regions/ScreenUpdateRecords.h"

#include "net/QNNetSocketProtocol.h"

#include <cmath>
#include <cstdlib>

namespace capture {

namespace {

// A high-quality JPEG answers any rectangle of fewer bytes than this, whatever its heat.
constexpr double kSmallRectangleBytes = 4096;
// Hot rectangles up to this many bytes go as low-quality JPEG; larger ones squeezed, when the
// client takes squeezed records.
constexpr double kLowQualityRectangleBytes = 81920;
constexpr double kHighQuality = 0.99;
constexpr double kLowQuality = 0.3;
constexpr double kSqueezeScale = 0.5;
// The heat map remembers this many frames of change.
constexpr size_t kHeatMapFrames = 5;
// Bit 7 of the first byte of the client's encoding modes: it takes squeezed records.
constexpr uint32_t kSqueezedEncodingMode = 0x80;

// Odd edges and sides grown to even pixels, then pulled back inside the bounds' size.
cg::CGRect evenAligned(cg::CGRect c, cg::CGRect bounds) {
    if (int64_t(c.origin.x) % 2 != 0) c.origin.x -= 1, c.size.width += 1;
    if (int64_t(c.origin.y) % 2 != 0) c.origin.y -= 1, c.size.height += 1;
    if (int64_t(c.size.width) % 2 != 0) c.size.width += 1;
    if (int64_t(c.size.height) % 2 != 0) c.size.height += 1;
    if (c.origin.y + c.size.height > bounds.size.height) c.origin.y -= 1;
    if (c.origin.x + c.size.width > bounds.size.width) c.origin.x -= 1;
    return c;
}

} // namespace

std::vector<regions::QNRect> SplitLargeRectangles(std::vector<regions::QNRect> rectangles) {
    bool split = true;
    while (split) {
        split = false;
        std::vector<regions::QNRect> pass;
        pass.reserve(rectangles.size());
        for (const auto& r : rectangles) {
            const cg::CGRect rect = r.rect();
            const double pixels = std::trunc(rect.size.width * rect.size.height);
            const double h = std::trunc(rect.size.height);
            if (!(pixels > kVellEncoderMaxRectanglePixels) || !(h >= 2)) {
                pass.push_back(r);
                continue;
            }
            const double half = std::floor(h / 2);
            pass.emplace_back(cg::CGRectMake(rect.origin.x, rect.origin.y, rect.size.width, half));
            pass.emplace_back(cg::CGRectMake(rect.origin.x, rect.origin.y + half, rect.size.width, h - half));
            split = true;
        }
        rectangles = std::move(pass);
    }
    return rectangles;
}

std::shared_ptr<QNBVellEncoder> QNBVellEncoder::create() {
    return std::make_shared<QNBVellEncoder>();
}

double QNBVellEncoder::scoreRectangleHeat(cg::CGRect rect, const display::QNBDisplay& display) const {
    const auto heatMap = display.updateHeatMap();
    if (heatMap.empty()) return 0.0;
    double sum = 0;
    for (const auto& entry : heatMap)
        if (entry) sum += entry->containsRect(rect);
    return sum / double(heatMap.size());
}

double QNBVellEncoder::lossyThresholdForDisplay(const display::QNBDisplay& display) const {
    const cg::CGRect bounds = display.scaleCorrectedDisplayBounds();
    const double cellWidth = bounds.size.width / 10, cellHeight = bounds.size.height / 10;
    double sum = 0;
    for (int row = 0; row < 10; ++row)
        for (int column = 0; column < 10; ++column)
            sum += scoreRectangleHeat(
                cg::CGRectMake(column * cellWidth, row * cellHeight, cellWidth, cellHeight), display);
    return sum / 100 * 0.9;
}

void QNBVellEncoder::encodeFrame(int32_t extraRecords, bool,
                                 const std::shared_ptr<display::QNBDisplay>& display,
                                 uint32_t packetDesignation) {
    if (!display) return;
    auto socket = clientSocket();
    if (!socket) return;
    // The session already holds the socket around the whole call; taken first here too, so the
    // order is the same whoever calls.
    std::lock_guard socketLock(*socket);
    std::lock_guard displayLock(display->lock());
    const double scale = display::QNBScreen::scaleForDisplayID(display->displayID());
    auto manager = display->rectManager();
    std::vector<regions::QNRect> dirty;
    std::shared_ptr<regions::UpdatedRectangles> extent;
    if (manager) {
        dirty = manager->newArrayOfDirtyRectangles();
        extent = manager->newMergedRectExtents();
    }

    // The heat map: this frame's extent first; a frame without damage lets the oldest go.
    auto heatMap = display->updateHeatMap();
    if (extent) heatMap.insert(heatMap.begin(), extent);
    if (!heatMap.empty() && (!extent || heatMap.size() > kHeatMapFrames)) heatMap.pop_back();
    display->setUpdateHeatMap(heatMap);
    auto hot = std::make_shared<regions::UpdatedRectangles>();
    for (const auto& entry : heatMap)
        hot->mergeWithRectangles(entry.get());

    // Lossy areas that have cooled are sent again.
    auto lossy = display->lossyRects();
    if (!lossy) {
        lossy = std::make_shared<regions::UpdatedRectangles>();
        display->setLossyRects(lossy);
    }
    auto cooled = lossy->copy();
    cooled->subtractFromRectangles(hot.get());
    auto refresh = cooled->newArrayOfRectangles();
    const size_t refreshCount = refresh.size();
    dirty.insert(dirty.end(), refresh.begin(), refresh.end());
    dirty = SplitLargeRectangles(std::move(dirty));

    const size_t n = dirty.size();
    regions::QNScreenUpdateMsg header{uint8_t(packetDesignation),
                                      uint16_t(int64_t(extraRecords) + int64_t(n))};
    const auto headerBytes = header.encode();
    socket->sendBytes(headerBytes.data(), headerBytes.size());
    if (n == 0) return;

    const double threshold = lossyThresholdForDisplay(*display);
    // The frame holds no more rectangles than refreshes: all of them go at high quality.
    const bool refreshOnly = n - 1 < refreshCount;
    for (const auto& r : dirty) {
        if (r.moved()) {
            if (manager) manager->ackMovedRectangle(r.rect());
            const cg::CGPoint delta = r.delta();
            const int16_t dx = regions::wireCoordinate(delta.x), dy = regions::wireCoordinate(delta.y);
            const uint8_t payload[4] = {uint8_t(dx), uint8_t(uint16_t(dx) >> 8), uint8_t(dy),
                                        uint8_t(uint16_t(dy) >> 8)};
            sendRecord(r.rect(), *display, regions::QNScreenEncodingCopyRect, payload, sizeof payload);
            continue;
        }
        encodeChangedRect(r, *display, scale, threshold, refreshOnly);
    }
}

void QNBVellEncoder::encodeChangedRect(const regions::QNRect& r, display::QNBDisplay& display, double scale,
                                       double threshold, bool refreshOnly) {
    auto manager = display.rectManager();
    auto lossy = display.lossyRects();
    const cg::CGRect bounds = display.scaleCorrectedDisplayBounds();
    const cg::CGRect visible = cg::CGRectIntersection(r.rect(), bounds);
    if (cg::CGRectIsNull(visible) || !(visible.size.width > 0) || !(visible.size.height > 0)) {
        sendDummyRect();
        if (manager) manager->cleanRectangle(r.rect());
        return;
    }
    const double bytes = std::trunc(r.rect().size.width * r.rect().size.height * 4);

    // Display-local, even-aligned, captured at the display's scale.
    const cg::CGPoint origin = display.ourOrigin();
    cg::CGRect c = visible;
    c.origin.x -= origin.x;
    c.origin.y -= origin.y;
    c = evenAligned(c, bounds);
    cg::CGSize size{};
    uint8_t* buffer = CreateImageBufferForRect(scale, nullptr, 0, display.displayID(), &size, c);
    if (buffer && size.width != c.size.width * scale) {
        std::free(buffer);
        buffer = nullptr;
    }
    const cg::CGRect sent =
        cg::CGRectMake(c.origin.x * scale + origin.x, c.origin.y * scale + origin.y, size.width, size.height);
    if (!buffer) {
        sendDummyRect();
    } else if (refreshOnly || bytes < kSmallRectangleBytes ||
               scoreRectangleHeat(visible, display) <= threshold) {
        sendImageRect(sent, buffer, regions::QNScreenEncodingJPG, kHighQuality, display);
        lossy->cleanRectangle(sent);
    } else {
        if (bytes <= kLowQualityRectangleBytes || !(capabilities().encodingModes & kSqueezedEncodingMode))
            sendImageRect(sent, buffer, regions::QNScreenEncodingJPG, kLowQuality, display);
        else
            sendSqueezedRect(sent, buffer, kSqueezeScale, display);
        lossy->addRectangle(r.rect());
    }
    std::free(buffer);
    if (manager) manager->cleanRectangle(r.rect());
}

} // namespace capture
