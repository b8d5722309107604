// The screen server's view of one Mac display, and the display utilities the rest of the server
// shares: the cached list of active displays, recognition of our own virtual displays and their
// framebuffer index, display names, bounds in points and pixels, the backing scale, the window
// server's mode lists with the search for HiDPI modes, and the display-mode table whose index is
// the display-mode number of the wire protocol and of the framebuffer driver.
#pragma once

#include "net/QNCapabilities.h"
#include "platform/corefoundation/Value.h"
#include "platform/coregraphics/CGGeometry.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace appkit {
class NSScreen;
}

namespace display {

using CGDirectDisplayID = uint32_t;

// One row of the display-mode table, in pixels.
struct DisplayModeSize {
    uint16_t width = 0;
    uint16_t height = 0;
};

// Entry 0 (0 by 0) means no mode; entry 7 (1 by 1) is the driver's hidden placeholder; the
// driver offers numbers 1 to 442. Identical, entry for entry, to the driver's own table.
inline constexpr int kDisplayModeCount = 443;
extern const std::array<DisplayModeSize, kDisplayModeCount> DisplayModeArray;

// The high 16 bits of the EDID serial number of every virtual display; the low 16 bits are its
// framebuffer index.
inline constexpr uint32_t kQNExDisplaySerialPrefix = 0x9973;
// The registry location of a virtual display begins with this, then its index and "/".
inline constexpr char kQNExDisplayLocationPrefix[] = "IOService:/IOResources/QNExGFX/Quenby Virtual Display@";

// Keys of the mode dictionaries made from the window server's mode descriptions.
inline constexpr char kModeWidthKey[] = "Width";
inline constexpr char kModeHeightKey[] = "Height";
inline constexpr char kModeNumberKey[] = "Mode";
inline constexpr char kModeBitsPerPixelKey[] = "BitsPerPixel";
inline constexpr char kModeBitsPerSampleKey[] = "BitsPerSample";
inline constexpr char kModeSamplesPerPixelKey[] = "SamplesPerPixel";
inline constexpr char kModeRefreshRateKey[] = "RefreshRate";
inline constexpr char kModeIOFlagsKey[] = "IOFlags";
inline constexpr char kModeBytesPerRowKey[] = "kCGDisplayBytesPerRow";
inline constexpr char kModeIODisplayModeIDKey[] = "IODisplayModeID";
inline constexpr char kModePixelsWideKey[] = "kCGDisplayPixelsWide";
inline constexpr char kModePixelsHighKey[] = "kCGDisplayPixelsHigh";
inline constexpr char kModeHorizontalResolutionKey[] = "kCGDisplayHorizontalResolution";
inline constexpr char kModeVerticalResolutionKey[] = "kCGDisplayVerticalResolution";
inline constexpr char kModeResolutionKey[] = "kCGDisplayResolution";
inline constexpr char kModeUsableForDesktopGUIKey[] = "UsableForDesktopGUI";
inline constexpr char kModeIsSafeForHardwareKey[] = "kCGDisplayModeIsSafeForHardware";
inline constexpr char kModeIsInterlacedKey[] = "kCGDisplayModeIsInterlaced";
inline constexpr char kModeIsStretchedKey[] = "kCGDisplayModeIsStretched";
inline constexpr char kModeIsTelevisionOutputKey[] = "kCGDisplayModeIsTelevisionOutput";

// The window server's mode description is this long.
inline constexpr size_t kDisplayModeDescriptionLength = 212;

// Whether the application sends its displays' pixels at their backing scale (the shell's
// `transmitsRetinaGraphics`). Process-wide; YES until the shell says otherwise.
void setTransmitsRetinaGraphics(bool transmits);
bool transmitsRetinaGraphics();

// The window server's bounds of the display (points, top-left origin of the main display), or
// the zero rectangle when they cannot be read.
void GetCGSScreenBounds(CGDirectDisplayID display, cg::CGRect* bounds);

// Orders two mode dictionaries: negative when a comes first, 0 when they are equivalent,
// positive when b comes first. Largest modes first, then lower depth, then non-stretched before
// stretched, then by resolution. A strict weak ordering: sorting uses it with a stable sort.
int CompareModes(const cf::Value& a, const cf::Value& b);

class QNBScreen {
  public:
    QNBScreen();
    explicit QNBScreen(CGDirectDisplayID display);
    QNBScreen(const QNBScreen&) = delete;
    QNBScreen& operator=(const QNBScreen&) = delete;

    CGDirectDisplayID displayID() const;
    // The window server's bounds turned into the bottom-left-origin space of the main display;
    // bounds at (0, 0), or unreadable ones, come back unchanged.
    cg::CGRect frame() const;
    cg::CGSize displaySizeInPixels() const;
    cg::CGRect normalizedDisplayBounds() const;
    cg::CGRect scaleCorrectedDisplayBounds() const;
    double scale() const;
    // One rectangle: origin (0, 0), the size of the scale-corrected bounds.
    std::vector<cg::CGRect> arrayOfScreenBounds() const;
    // The cached framebuffer index, looked up (and cached, −1 too) when not yet known.
    int64_t framebufferIndex();
    std::string userDescription() const;
    // Switches the display to the window server's best mode of 32 bits a pixel at the size the
    // mode table gives the number (1024 × 768 for a number outside the table). Nothing calls it.
    void setDisplayMode(int mode);
    std::string description();

    // The cached list of displays, main display first: a snapshot of the shared list taken
    // under its lock. The objects are the shared ones, so identity and cached indexes hold.
    static std::vector<std::shared_ptr<QNBScreen>> screens();
    // Rebuilds the cached list in place, keeping the surviving objects.
    static void resetScreens();
    // The class itself has no framebuffer: −1.
    static int64_t classFramebufferIndex() { return -1; }
    // The height of the first screen's window-server bounds; 0 without screens.
    static double zeroScreenHeight();
    // 0 to 65535 for a virtual display, else −1.
    static int64_t framebufferIndexForDisplayID(CGDirectDisplayID display);
    static std::string userDescriptionForDisplayID(CGDirectDisplayID display);
    static std::optional<std::string>
    userDescriptionForScreen(const std::shared_ptr<appkit::NSScreen>& screen);
    static std::optional<std::string> copyDisplayNameForDisplayID(CGDirectDisplayID display);
    static std::optional<cf::Value> deviceDescriptionForDisplayID(CGDirectDisplayID display);
    // The display's bounds (points) and scale, read again only when the display-mapping seed
    // moved.
    static cg::CGRect normalizedDisplayBoundsForDisplayID(CGDirectDisplayID display);
    static cg::CGRect scaleCorrectedDisplayBoundsForDisplayID(CGDirectDisplayID display);
    static double scaleForDisplayID(CGDirectDisplayID display);
    static cg::CGSize sizeOfMode(int mode);
    static int displayModeForSize(cg::CGSize size);
    // Mode dictionaries; nothing when the display has no modes.
    static std::optional<std::vector<cf::Value>> modesForDisplayID(CGDirectDisplayID display,
                                                                   bool filterActiveModes, bool sortModes);
    static bool isHiDPIDisplay(CGDirectDisplayID display);
    static std::optional<cf::Value> findBestHiDPIModeForDisplayID(CGDirectDisplayID display);
    static std::optional<cf::Value> findBestModeForDisplayID(CGDirectDisplayID display);
    static bool hiDPIForDevice(CGDirectDisplayID display);
    // Nothing for a description shorter than the window server's 212 bytes.
    static std::optional<cf::Value> newModeFromModeDescription(const uint8_t* description, size_t length);

    static const std::string& virtualDisplayNameString();
    static const std::string& unknownDisplayString();

    // Mode choice: the mode lists built for a device (QNBScreenModeChoice.cpp). Display sizes
    // are packed in 32 bits, low 16 bits the width, high 16 bits the height.
    static std::vector<int>
    compatibleModesForiPhoneRetinaDisplayWithOrientation(bool landscape, bool useRetina, bool tallPhone);
    static std::vector<int> compatibleModesForiPadRetinaDisplayWithOrientation(bool landscape,
                                                                               bool useRetina);
    static std::optional<std::vector<int>>
    modeArrayWithDisplaySize(uint32_t displaySize, const net::QNCapabilities& capabilities, bool retinaState);
    static int displayModeForDisplaySize(uint32_t displaySize);
    static int halfSizeModeForDisplayMode(int mode);

  private:
    int64_t mScreenNumber = 0;
    std::atomic<int64_t> mDriverIndex{-1};
};

} // namespace display
