// Attributed strings: UTF-8 text with runs of font, colour and paragraph attributes, and
// their drawing in the current graphics context (text paints only: no exact layout).
#pragma once

#include "platform/appkit/NSColor.h"
#include "platform/appkit/NSFont.h"
#include "platform/coregraphics/CGGeometry.h"

#include <memory>
#include <string>
#include <vector>

namespace appkit {

enum NSTextAlignment : uint32_t {
    NSTextAlignmentLeft = 0,
    NSTextAlignmentRight = 1,
    NSTextAlignmentCenter = 2
};

struct NSParagraphStyle {
    NSTextAlignment alignment = NSTextAlignmentLeft;
    double lineSpacing = 0;
    double minimumLineHeight = 0; // 0: from the font
    double maximumLineHeight = 0; // 0: no limit
};

// What a run carries; null members take the defaults (Helvetica 12, black, left-aligned).
struct NSStringAttributes {
    std::shared_ptr<NSFont> font;
    std::shared_ptr<NSColor> foregroundColor;
    std::shared_ptr<NSParagraphStyle> paragraphStyle;
};

class NSAttributedString {
  public:
    struct Run {
        size_t location = 0; // bytes of the UTF-8 text
        size_t length = 0;
        NSStringAttributes attributes;
    };

    NSAttributedString() = default;
    NSAttributedString(std::string string, NSStringAttributes attributes);

    const std::string& string() const { return m_string; }
    size_t length() const { return m_string.size(); }
    const std::vector<Run>& runs() const { return m_runs; }
    // The attributes at a byte of the text (the last run's past the end).
    NSStringAttributes attributesAtIndex(size_t index) const;
    // Sets the members given in attributes over [location, location + length) (clamped to the
    // text; ranges cutting a UTF-8 sequence are widened to whole characters).
    void addAttributes(const NSStringAttributes& attributes, size_t location, size_t length);

    // Lines split at "\n", each 1.2 × its largest font size high (within the paragraph's
    // limits). drawAtPoint puts the text's bounding box at point (its bottom-left corner; the
    // top-left in a flipped context); drawInRect lays the lines from rect's top, aligned in
    // it, and clips to it. Without a current context: logged, nothing drawn.
    // drawInRect wraps the lines after blanks to rect's width where rect has room for two lines.
    void drawAtPoint(cg::CGPoint point) const;
    void drawInRect(cg::CGRect rect) const;
    // The size the text takes, its lines wrapped to width when width is above 0. Needs no
    // current context.
    cg::CGSize sizeWithWidth(double width) const;

  private:
    std::string m_string;
    std::vector<Run> m_runs;
};

// NSString's drawing with one set of attributes.
void drawStringAtPoint(const std::string& string, cg::CGPoint point, const NSStringAttributes& attributes);
void drawStringInRect(const std::string& string, cg::CGRect rect, const NSStringAttributes& attributes);
// NSString's size with attributes, wrapped to width when width is above 0.
cg::CGSize NSStringSize(const std::string& string, const NSStringAttributes& attributes, double width = 0);

} // namespace appkit
