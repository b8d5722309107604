#include "platform/appkit/NSAttributedString.h"

#include "platform/appkit/NSGraphicsContext.h"
#include "platform/core/Log.h"

#include <algorithm>

namespace appkit {

namespace {

struct Piece {
    std::string text;
    NSStringAttributes attributes;
    double width = 0;
};

struct Line {
    std::vector<Piece> pieces;
    double height = 0;
    double width = 0;
};

std::shared_ptr<NSFont> fontOf(const NSStringAttributes& a) {
    return a.font ? a.font : NSFont::fontWithName("Helvetica", 12);
}

// Where a line's baseline sits below its top, as a share of its height.
constexpr double kBaseline = 0.8;

double lineHeight(const Line& line, const NSParagraphStyle& style) {
    double size = 0;
    for (const auto& p : line.pieces)
        size = std::max(size, fontOf(p.attributes)->pointSize());
    if (line.pieces.empty()) size = 12;
    double height = size * 1.2;
    if (style.minimumLineHeight > 0) height = std::max(height, style.minimumLineHeight);
    if (style.maximumLineHeight > 0) height = std::min(height, style.maximumLineHeight);
    return height + std::max(0.0, style.lineSpacing);
}

double measure(const cg::CGContextRef& c, const Piece& piece) {
    cg::CGContextSaveGState(c);
    auto font = fontOf(piece.attributes);
    cg::CGContextSelectFont(c, font->fontName().c_str(), font->pointSize(), cg::kCGEncodingMacRoman);
    cg::CGContextSetTextDrawingMode(c, cg::kCGTextInvisible);
    cg::CGContextShowTextAtPoint(c, 0, 0, piece.text.data(), piece.text.size());
    cg::CGContextRestoreGState(c);
    return cg::CGContextGetTextPosition(c).x;
}

// Breaks a line wider than width after its blanks, as many words on each line as fit (a word
// wider than the line stands alone).
std::vector<Line> wrap(const Line& line, const cg::CGContextRef& c, double width) {
    std::vector<Piece> words;
    for (const auto& piece : line.pieces) {
        size_t start = 0;
        while (start < piece.text.size()) {
            size_t blank = piece.text.find(' ', start);
            size_t end = blank == std::string::npos ? piece.text.size() : blank + 1;
            Piece word{piece.text.substr(start, end - start), piece.attributes, 0};
            word.width = measure(c, word);
            words.push_back(std::move(word));
            start = end;
        }
    }
    std::vector<Line> out(1);
    for (auto& word : words) {
        // Trailing blanks take no room at a line's end.
        std::string trimmed = word.text;
        while (!trimmed.empty() && trimmed.back() == ' ')
            trimmed.pop_back();
        const double inked =
            trimmed.size() == word.text.size() ? word.width : measure(c, {trimmed, word.attributes, 0});
        if (!out.back().pieces.empty() && out.back().width + inked > width) out.emplace_back();
        out.back().width += word.width;
        out.back().pieces.push_back(std::move(word));
    }
    return out;
}

std::vector<Line> layOut(const NSAttributedString& s, const cg::CGContextRef& c, NSParagraphStyle& style,
                         double wrapWidth = 0) {
    std::vector<Line> lines(1);
    for (const auto& run : s.runs()) {
        if (run.attributes.paragraphStyle) style = *run.attributes.paragraphStyle;
        std::string text = s.string().substr(run.location, run.length);
        size_t start = 0;
        while (start <= text.size()) {
            size_t end = text.find('\n', start);
            std::string part = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
            if (!part.empty()) lines.back().pieces.push_back({part, run.attributes, 0});
            if (end == std::string::npos) break;
            lines.emplace_back();
            start = end + 1;
        }
    }
    std::vector<Line> out;
    for (auto& line : lines) {
        for (auto& piece : line.pieces)
            line.width += piece.width = measure(c, piece);
        if (wrapWidth > 0 && line.width > wrapWidth) {
            for (auto& part : wrap(line, c, wrapWidth))
                out.push_back(std::move(part));
        } else {
            out.push_back(std::move(line));
        }
    }
    for (auto& line : out)
        line.height = lineHeight(line, style);
    return out;
}

// A context for measuring text outside any drawing.
cg::CGContextRef measuringContext() {
    return cg::CGBitmapContextCreate(nullptr, 1, 1, 8, 0, cg::CGColorSpaceCreateDeviceRGB(),
                                     cg::kCGImageAlphaPremultipliedFirst | cg::kCGBitmapByteOrder32Little);
}

cg::CGSize sizeOf(const std::vector<Line>& lines) {
    cg::CGSize size = cg::CGSizeMake(0, 0);
    for (const auto& line : lines) {
        size.width = std::max(size.width, line.width);
        size.height += line.height;
    }
    return size;
}

// Draws the lines from top (user space), each starting at the x that xFor gives.
template <typename XFor>
void drawLines(const NSGraphicsContext& context, const std::vector<Line>& lines, double top, XFor&& xFor) {
    const cg::CGContextRef& c = context.CGContext();
    const bool flipped = context.isFlipped();
    double y = top;
    for (const auto& line : lines) {
        const double baseline = flipped ? y + line.height * kBaseline : y - line.height * kBaseline;
        double x = xFor(line);
        for (const auto& piece : line.pieces) {
            auto font = fontOf(piece.attributes);
            auto color =
                piece.attributes.foregroundColor ? piece.attributes.foregroundColor : NSColor::blackColor();
            cg::CGContextSaveGState(c);
            cg::CGContextTranslateCTM(c, x, baseline);
            if (flipped) cg::CGContextScaleCTM(c, 1, -1); // glyphs stay upright
            cg::CGContextSetFillColorWithColor(c, color->CGColor());
            cg::CGContextSelectFont(c, font->fontName().c_str(), font->pointSize(), cg::kCGEncodingMacRoman);
            cg::CGContextShowTextAtPoint(c, 0, 0, piece.text.data(), piece.text.size());
            cg::CGContextRestoreGState(c);
            x += piece.width;
        }
        y += flipped ? line.height : -line.height;
    }
}

std::shared_ptr<NSGraphicsContext> currentOrLog(const char* function) {
    auto context = NSGraphicsContext::currentContext();
    if (!context) platform::log("%s: no current graphics context", function);
    return context;
}

} // namespace

NSAttributedString::NSAttributedString(std::string string, NSStringAttributes attributes)
    : m_string(std::move(string)) {
    m_runs.push_back({0, m_string.size(), std::move(attributes)});
}

NSStringAttributes NSAttributedString::attributesAtIndex(size_t index) const {
    for (const auto& run : m_runs)
        if (index >= run.location && index < run.location + run.length) return run.attributes;
    return m_runs.empty() ? NSStringAttributes{} : m_runs.back().attributes;
}

void NSAttributedString::addAttributes(const NSStringAttributes& attributes, size_t location, size_t length) {
    auto continuation = [&](size_t i) {
        return i < m_string.size() && (uint8_t(m_string[i]) & 0xC0) == 0x80;
    };
    size_t begin = std::min(location, m_string.size());
    size_t end = begin + std::min(length, m_string.size() - begin);
    while (begin > 0 && continuation(begin))
        --begin;
    while (continuation(end))
        ++end;
    if (begin == end) return;
    std::vector<Run> runs;
    for (const Run& run : m_runs) {
        const size_t runEnd = run.location + run.length;
        // The parts of the run before, inside and after [begin, end).
        const size_t cuts[4] = {run.location, std::clamp(begin, run.location, runEnd),
                                std::clamp(end, run.location, runEnd), runEnd};
        for (int k = 0; k < 3; ++k) {
            if (cuts[k + 1] <= cuts[k]) continue;
            Run part{cuts[k], cuts[k + 1] - cuts[k], run.attributes};
            if (k == 1) {
                if (attributes.font) part.attributes.font = attributes.font;
                if (attributes.foregroundColor) part.attributes.foregroundColor = attributes.foregroundColor;
                if (attributes.paragraphStyle) part.attributes.paragraphStyle = attributes.paragraphStyle;
            }
            runs.push_back(std::move(part));
        }
    }
    m_runs = std::move(runs);
}

void NSAttributedString::drawAtPoint(cg::CGPoint point) const {
    auto context = currentOrLog("NSAttributedString drawAtPoint");
    if (!context) return;
    NSParagraphStyle style;
    auto lines = layOut(*this, context->CGContext(), style);
    double height = 0;
    for (const auto& line : lines)
        height += line.height;
    drawLines(*context, lines, context->isFlipped() ? point.y : point.y + height,
              [&](const Line&) { return point.x; });
}

void NSAttributedString::drawInRect(cg::CGRect rect) const {
    auto context = currentOrLog("NSAttributedString drawInRect");
    if (!context) return;
    rect = cg::CGRectStandardize(rect);
    NSParagraphStyle style;
    auto lines = layOut(*this, context->CGContext(), style);
    // A rectangle with room for two lines or more wraps the text within its width.
    if (!lines.empty() && rect.size.height >= 2 * lines.front().height - 0.5)
        lines = layOut(*this, context->CGContext(), style, rect.size.width);
    const cg::CGContextRef& c = context->CGContext();
    cg::CGContextSaveGState(c);
    cg::CGContextClipToRect(c, rect);
    drawLines(*context, lines, context->isFlipped() ? cg::CGRectGetMinY(rect) : cg::CGRectGetMaxY(rect),
              [&](const Line& line) {
                  const double spare = rect.size.width - line.width;
                  switch (style.alignment) {
                  case NSTextAlignmentCenter:
                      return rect.origin.x + spare / 2;
                  case NSTextAlignmentRight:
                      return rect.origin.x + spare;
                  default:
                      return rect.origin.x;
                  }
              });
    cg::CGContextRestoreGState(c);
}

cg::CGSize NSAttributedString::sizeWithWidth(double width) const {
    auto context = measuringContext();
    if (!context) return cg::CGSizeMake(0, 0);
    NSParagraphStyle style;
    return sizeOf(layOut(*this, context, style, width));
}

cg::CGSize NSStringSize(const std::string& string, const NSStringAttributes& attributes, double width) {
    return NSAttributedString(string, attributes).sizeWithWidth(width);
}

void drawStringAtPoint(const std::string& string, cg::CGPoint point, const NSStringAttributes& attributes) {
    NSAttributedString(string, attributes).drawAtPoint(point);
}

void drawStringInRect(const std::string& string, cg::CGRect rect, const NSStringAttributes& attributes) {
    NSAttributedString(string, attributes).drawInRect(rect);
}

} // namespace appkit
