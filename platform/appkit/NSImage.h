// Images: a size in points and an ordered list of representations.
#pragma once

#include "platform/appkit/NSBitmapImageRep.h"
#include "platform/appkit/NSGraphicsContext.h"
#include "platform/coregraphics/CGGeometry.h"
#include "platform/coregraphics/CGImage.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace appkit {

// The most bytes an image file may have; a larger one is not read.
inline constexpr size_t kMaxImageFileBytes = 32u << 20;

enum NSTIFFCompression : uint32_t {
    NSTIFFCompressionNone = 1,
    NSTIFFCompressionLZW = 5,
};

// The system image of a gear, for action buttons; imageNamed answers it where the bundle has
// no image of that name.
inline constexpr const char* NSImageNameActionTemplate = "NSActionTemplate";

class NSImage {
  public:
    NSImage() = default;
    explicit NSImage(cg::CGSize size) : m_size(size) {}
    static std::shared_ptr<NSImage> initWithSize(cg::CGSize size) { return std::make_shared<NSImage>(size); }

    // Named images (NSImageNamed.cpp): a resource of the main bundle found by its exact name,
    // else with ".png", ".tiff" or ".tif" added; PNG and TIFF files of at most kMaxImageFileBytes,
    // decoded at their pixel size in points. Kept by bundle and name once found, so later calls
    // answer the same image. Nil when absent; a file that is unreadable, corrupt or too large is
    // logged and nil too.
    static std::shared_ptr<NSImage> imageNamed(const std::string& name);
    // An image of PNG or TIFF bytes (its one representation); nil, logged, when they do not decode.
    static std::shared_ptr<NSImage> initWithData(const std::vector<uint8_t>& data);
    // An image of a PNG or TIFF file of 1 to kMaxImageFileBytes bytes; nil, logged, otherwise.
    static std::shared_ptr<NSImage> initWithContentsOfFile(const std::string& path);
    // Forgets the named images (tests that change the main bundle's contents).
    static void forgetNamedImages();

    cg::CGSize size() const;
    void setSize(cg::CGSize size);
    // The name the image is known by (imageNamed:'s, or set); accessibility describes images by it.
    std::string name() const;
    void setName(std::string name);
    std::vector<std::shared_ptr<NSImageRep>> representations() const;
    void addRepresentation(std::shared_ptr<NSImageRep> representation);
    void removeRepresentation(const std::shared_ptr<NSImageRep>& representation);

    // Drawing (NSImageDrawing.cpp). Images draw into the current graphics context: the best
    // representation, the part in fromRect (points; the zero rectangle: all of it), scaled
    // into rect, with the operation and fraction as alpha. Without a current context, or
    // with nothing to draw: logged, nothing drawn.
    bool isFlipped() const;
    void setFlipped(bool flipped);
    // A template image stands for a shape whose colour the user interface chooses; stored.
    bool isTemplate() const;
    void setTemplate(bool isTemplate);
    // The representation with the most pixels (the first of equals); null without one.
    std::shared_ptr<NSImageRep> bestRepresentationForDevice() const;
    cg::CGImageRef CGImageForProposedRect(cg::CGRect* rect) const;
    void drawInRect(cg::CGRect rect, cg::CGRect fromRect, NSCompositingOperation op, double fraction) const;
    void drawInRect(cg::CGRect rect) const;
    void drawAtPoint(cg::CGPoint point, cg::CGRect fromRect, NSCompositingOperation op,
                     double fraction) const;
    // Focus: drawing goes into the image (its size in pixels, y flipped when the image is)
    // until unlockFocus, which makes that drawing the image's one representation.
    void lockFocus();
    void unlockFocus();
    // The same size, flip and representations (shared: representations are not changed in place).
    std::shared_ptr<NSImage> copy() const;

    // TIFF (NSImageTIFF.cpp): one page per bitmap representation, uncompressed or LZW (the
    // factor is unused); nothing (logged) for another compression or an image without one.
    std::optional<std::vector<uint8_t>> TIFFRepresentation() const;
    std::optional<std::vector<uint8_t>> TIFFRepresentationUsingCompression(NSTIFFCompression compression,
                                                                           double factor) const;

  private:
    mutable std::mutex m_lock;
    cg::CGSize m_size;
    std::vector<std::shared_ptr<NSImageRep>> m_representations;
    bool m_flipped = false;
    bool m_template = false;
    std::string m_name;
    std::shared_ptr<NSGraphicsContext> m_focus;
};

namespace detail {
// A representation's pixels as an image (a copy); null for a representation without pixels.
cg::CGImageRef CGImageOfRepresentation(const NSImageRep& representation);
// The first page of TIFF bytes as an 8-bit RGBA premultiplied representation; null (logged) for
// bytes that are not a readable TIFF, or a page of more than 16384 pixels a side or 8192² in all.
std::shared_ptr<NSBitmapImageRep> representationOfTIFF(const std::vector<uint8_t>& bytes);
} // namespace detail

} // namespace appkit
