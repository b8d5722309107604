#include "foundation/TSELogging.h"

#include "foundation/FileUtilities.h"

#include "platform/core/Clock.h"
#include "platform/core/Format.h"
#include "platform/core/Log.h"
#include "platform/corefoundation/Paths.h"

#include <atomic>
#include <mutex>

namespace foundation {

namespace {

// The switch is set once, at start, before any client is served; readers only look at it.
std::atomic<uint8_t> sEnableLogging{0};
constexpr std::string_view kLoggingFolderName = "TesselLogging";
std::mutex sFolderMutex;
std::string sLoggingFolder;

int16_t signed16(uint64_t bits) { return static_cast<int16_t>(static_cast<uint16_t>(bits & 0xFFFF)); }

uint64_t readLittleEndian(const uint8_t* bytes, size_t count) {
    uint64_t value = 0;
    for (size_t i = count; i-- > 0;) value = (value << 8) | bytes[i];
    return value;
}

std::string rectangleText(int x, int y, int width, int height) {
    return platform::format("{ { %d, %d }, { %d, %d } }", x, y, width, height);
}

} // namespace

void EnableLoggingScreenRectangleLogging() {
    std::string folder = platform::homeDirectory() + "/" +
                         platform::format("%@ (%@)", kLoggingFolderName, dateDescription(platform::wallNow()));
    const bool made = isDirectory(folder) || createDirectoryWithIntermediates(folder);
    if (!made && sEnableLogging == 0) return;
    // The folder is in place before the switch: a payload logged from another thread as soon as
    // it sees the switch on would otherwise be written under an empty folder, at the root.
    {
        std::lock_guard lock(sFolderMutex);
        sLoggingFolder = folder;
    }
    if (made) sEnableLogging = 1;
    platform::log("Logging screen packets to %@", folder);
}

uint8_t IsEnableLoggingScreenRectangleLogging() { return sEnableLogging; }

std::string screenRectangleLoggingFolder() {
    std::lock_guard lock(sFolderMutex);
    return sLoggingFolder;
}

void testing::resetScreenRectangleLogging() {
    sEnableLogging = 0;
    std::lock_guard lock(sFolderMutex);
    sLoggingFolder.clear();
}

void NSLogScreenRectangle(const uint8_t* record, const void* payload, size_t payloadLength) {
    if (!record || !sEnableLogging) return;
    uint64_t geometry = readLittleEndian(record, 8);
    uint8_t encoding = record[8];
    uint32_t dataSize = static_cast<uint32_t>(readLittleEndian(record + 9, 4));
    platform::log("screenRectangle = %@, encoding: %@, dataSize: %d", NSStringFromQNSimpleRect(geometry),
                  NSStringFromEncoding(encoding), dataSize);
    if (!payload || payloadLength == 0) return;

    std::string name = platform::format("%@.%@", newUUIDString(), NSStringExtensionFromEncoding(encoding));
    // A payload that cannot be written is only a lost diagnostic: the line below still tells of it.
    writeFileAtomically(screenRectangleLoggingFolder() + "/" + name, payload, payloadLength);
    platform::log("screenRectangle %@, written to %@",
                  platform::format("has buffer of size %ld", static_cast<long>(payloadLength)), name);
}

std::string NSStringFromQNSimpleRect(uint64_t rect) {
    return rectangleText(signed16(rect), signed16(rect >> 16), signed16(rect >> 32), signed16(rect >> 48));
}

std::string NSStringFromQNSimplePoint(uint32_t point) {
    return platform::format("{ %d, %d }", signed16(point), signed16(point >> 16));
}

std::string NSStringFromEncoding(uint8_t encoding) {
    switch (encoding) {
    case 0: return "QNScreenEncodingLibz";
    case 1: return "QNScreenEncodingCopyRect";
    case 2: return "QNScreenEncodingMousePos";
    case 3: return "QNScreenEncodingMouseCursor";
    case 4: return "QNScreenEncodingJPG";
    default: return "Undefined encoding";
    }
}

std::string NSStringExtensionFromEncoding(uint8_t encoding) {
    switch (encoding) {
    case 0: return "bits";
    case 1: return "rect";
    case 2: return "mpos";
    case 3: return "cursor";
    case 4: return "jpeg";
    default: return "undefined";
    }
}

} // namespace foundation
