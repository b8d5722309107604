// The display-mode table lookups, the mode dictionaries made from the window server's mode
// descriptions, and their order.
#include "display/QNBScreen.h"

#include "platform/coregraphics/CGDisplayConfiguration.h"

#include <cmath>
#include <cstring>

namespace display {

namespace {

std::atomic<bool> sTransmitsRetinaGraphics{true};

uint32_t readU32(const uint8_t* bytes, size_t offset) {
    return uint32_t(bytes[offset]) | uint32_t(bytes[offset + 1]) << 8 | uint32_t(bytes[offset + 2]) << 16 |
           uint32_t(bytes[offset + 3]) << 24;
}

cf::Value int32Number(uint32_t value) {
    return cf::Value::number(cf::kCFNumberSInt32Type, int64_t(int32_t(value)));
}

// A key's number, or nothing when the mode lacks it or it is not a finite number.
std::optional<double> numberForKey(const cf::Value& mode, const char* key) {
    const cf::Value* value = mode.find(key);
    if (!value || !value->isNumber()) return std::nullopt;
    double number = value->doubleValue();
    if (!std::isfinite(number)) return std::nullopt;
    return number;
}

// A flag key (a boolean or a number), or nothing when absent.
std::optional<double> flagForKey(const cf::Value& mode, const char* key) {
    const cf::Value* value = mode.find(key);
    if (!value || !(value->isNumber() || value->isBoolean())) return std::nullopt;
    double number = value->doubleValue();
    return std::isfinite(number) ? number : 0.0;
}

int compareNumbers(double a, double b) {
    return a < b ? -1 : (a > b ? 1 : 0);
}

} // namespace

void setTransmitsRetinaGraphics(bool transmits) {
    sTransmitsRetinaGraphics.store(transmits);
}
bool transmitsRetinaGraphics() {
    return sTransmitsRetinaGraphics.load();
}

const std::string& QNBScreen::virtualDisplayNameString() {
    static const std::string name = "Tessel";
    return name;
}

const std::string& QNBScreen::unknownDisplayString() {
    static const std::string name = "Unknown Display";
    return name;
}

cg::CGSize QNBScreen::sizeOfMode(int mode) {
    if (mode < 0 || mode >= kDisplayModeCount) return cg::CGSizeZero;
    return {double(DisplayModeArray[size_t(mode)].width), double(DisplayModeArray[size_t(mode)].height)};
}

void QNBScreen::setDisplayMode(int mode) {
    const cg::CGSize size =
        mode >= 0 && mode < kDisplayModeCount ? sizeOfMode(mode) : cg::CGSizeMake(1024, 768);
    bool exact = false;
    auto best =
        cg::CGDisplayBestModeForParameters(displayID(), 32, size_t(size.width), size_t(size.height), &exact);
    if (best) cg::CGDisplaySwitchToMode(displayID(), best);
}

int QNBScreen::displayModeForSize(cg::CGSize size) {
    for (int mode = 1; mode < kDisplayModeCount; ++mode) {
        const DisplayModeSize& entry = DisplayModeArray[size_t(mode)];
        if (double(entry.width) == size.width && double(entry.height) == size.height) return mode;
    }
    return 0;
}

std::optional<cf::Value> QNBScreen::newModeFromModeDescription(const uint8_t* description, size_t length) {
    if (!description || length < kDisplayModeDescriptionLength) return std::nullopt;
    const uint32_t flags = readU32(description, 4);
    float resolution;
    std::memcpy(&resolution, description + 208, sizeof resolution);

    cf::Dictionary mode;
    mode.emplace(kModeWidthKey, int32Number(readU32(description, 8)));
    mode.emplace(kModeHeightKey, int32Number(readU32(description, 12)));
    mode.emplace(kModeNumberKey, int32Number(readU32(description, 0)));
    mode.emplace(kModeBitsPerPixelKey, int32Number(readU32(description, 24)));
    mode.emplace(kModeBitsPerSampleKey, int32Number(readU32(description, 28)));
    mode.emplace(kModeSamplesPerPixelKey, int32Number(readU32(description, 32)));
    mode.emplace(kModeRefreshRateKey, cf::Value(double(readU32(description, 188)) / 65536.0));
    mode.emplace(kModeIOFlagsKey, int32Number(readU32(description, 192)));
    mode.emplace(kModeBytesPerRowKey, int32Number(readU32(description, 20)));
    mode.emplace(kModeIODisplayModeIDKey, int32Number(readU32(description, 196)));
    mode.emplace(kModePixelsWideKey, int32Number(readU32(description, 200)));
    mode.emplace(kModePixelsHighKey, int32Number(readU32(description, 204)));
    mode.emplace(kModeHorizontalResolutionKey, int32Number(readU32(description, 40)));
    mode.emplace(kModeVerticalResolutionKey, int32Number(readU32(description, 44)));
    mode.emplace(kModeResolutionKey, cf::Value(double(resolution)));
    mode.emplace(kModeUsableForDesktopGUIKey, cf::Value((flags & 0x60000000u) == 0));
    if (flags & 0x20000001u) mode.emplace(kModeIsSafeForHardwareKey, cf::Value(true));
    if (flags & 0x40u) mode.emplace(kModeIsInterlacedKey, cf::Value(true));
    if (flags & 0x800u) mode.emplace(kModeIsStretchedKey, cf::Value(true));
    if (flags & 0x100000u) mode.emplace(kModeIsTelevisionOutputKey, cf::Value(true));
    return cf::Value(std::move(mode));
}

// Every key step reads a missing (or non-finite) number as one fixed value, so the order is a
// strict weak ordering; modes alike on every step are equivalent and keep their order under
// the stable sort. Two non-stretched modes of one size and depth are equivalent whatever their
// resolution: the resolution only orders stretched ones.
int CompareModes(const cf::Value& a, const cf::Value& b) {
    const auto key = [](const cf::Value& mode, const char* name, double missing) {
        return numberForKey(mode, name).value_or(missing);
    };
    // Largest first.
    if (int order = compareNumbers(key(b, kModeWidthKey, 0), key(a, kModeWidthKey, 0))) return order;
    if (int order = compareNumbers(key(b, kModeHeightKey, 0), key(a, kModeHeightKey, 0))) return order;
    if (int order = compareNumbers(key(a, kModeBitsPerPixelKey, 0), key(b, kModeBitsPerPixelKey, 0)))
        return order;
    const std::optional<double> stretchedA = flagForKey(a, kModeIsStretchedKey);
    const std::optional<double> stretchedB = flagForKey(b, kModeIsStretchedKey);
    if (!stretchedA && !stretchedB) return 0;
    if (!stretchedA) return -1;
    if (!stretchedB) return 1;
    if (int order = compareNumbers(*stretchedA, *stretchedB)) return order;
    const double lowest = -HUGE_VAL;
    return compareNumbers(key(a, kModeResolutionKey, lowest), key(b, kModeResolutionKey, lowest));
}

} // namespace display
