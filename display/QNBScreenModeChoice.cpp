// Mode choice for devices: the mode numbers a tablet, a phone or a generic device gets for its
// panel, read from the display-mode table.
#include "display/QNBScreen.h"

#include <cstdlib>
#include <limits>
#include <utility>

namespace display {

namespace {

int tableModeWithSize(uint32_t width, uint32_t height) {
    for (int mode = 0; mode < kDisplayModeCount; ++mode) {
        if (DisplayModeArray[mode].width == width && DisplayModeArray[mode].height == height) return mode;
    }
    return 0;
}

} // namespace

std::vector<int> QNBScreen::compatibleModesForiPhoneRetinaDisplayWithOrientation(bool landscape,
                                                                                 bool useRetina,
                                                                                 bool tallPhone) {
    if (tallPhone) return {landscape ? (useRetina ? 60 : 58) : (useRetina ? 61 : 59)};
    return {landscape ? (useRetina ? 5 : 3) : (useRetina ? 6 : 4)};
}

std::vector<int> QNBScreen::compatibleModesForiPadRetinaDisplayWithOrientation(bool landscape,
                                                                               bool useRetina) {
    return {landscape ? (useRetina ? 34 : 1) : (useRetina ? 55 : 2)};
}

std::optional<std::vector<int>> QNBScreen::modeArrayWithDisplaySize(uint32_t displaySize,
                                                                    const net::QNCapabilities& capabilities,
                                                                    bool retinaState) {
    const uint32_t requestWidth = displaySize & 0xFFFF;
    const uint32_t requestHeight = displaySize >> 16;
    uint32_t panelWidth = capabilities.displayWidth;
    uint32_t panelHeight = capabilities.displayHeight;
    // Turn the panel the way the request is turned.
    if ((panelHeight < panelWidth) != (requestHeight < requestWidth)) std::swap(panelWidth, panelHeight);
    const int full = displayModeForDisplaySize(panelWidth | (panelHeight << 16));
    if (full == 0) return std::nullopt;
    const int half = halfSizeModeForDisplayMode(full);
    if (!retinaState && half != 0 && capabilities.displayDensity > 200) return std::vector<int>{half};
    return std::vector<int>{full};
}

int QNBScreen::displayModeForDisplaySize(uint32_t displaySize) {
    const long width = displaySize & 0xFFFF;
    const long height = displaySize >> 16;
    int best = 0;
    long bestDistance = std::numeric_limits<long>::max();
    for (int mode = 0; mode < kDisplayModeCount; ++mode) {
        long distance = std::labs(width - DisplayModeArray[mode].width) +
                        std::labs(height - DisplayModeArray[mode].height);
        if (distance < bestDistance) { // on a tie the lower number stays
            best = mode;
            bestDistance = distance;
        }
    }
    return best;
}

int QNBScreen::halfSizeModeForDisplayMode(int mode) {
    if (mode < 0 || mode >= kDisplayModeCount) return 0;
    return tableModeWithSize(DisplayModeArray[mode].width >> 1, DisplayModeArray[mode].height >> 1);
}

} // namespace display
