// All text drawing: Cairo's own text calls, in one font (DejaVu Sans; bold for names ending
// "-Bold"), found through a fontconfig configuration that lists only that font.
#include "platform/core/Log.h"
#include "platform/coregraphics/CGContextPrivate.h"

#include <fontconfig/fontconfig.h>

#include <cmath>
#include <mutex>
#include <string>

namespace cg {

using detail::checked;

namespace {

void useProjectFonts() {
    static std::once_flag once;
    std::call_once(once, [] {
        FcConfig* config = FcConfigCreate();
        if (!config ||
            !FcConfigParseAndLoad(config, reinterpret_cast<const FcChar8*>(TESSEL_FONTCONFIG_FILE), FcTrue) ||
            !FcConfigBuildFonts(config) || !FcConfigSetCurrent(config)) {
            platform::log("CGContext: cannot load the font configuration %s", TESSEL_FONTCONFIG_FILE);
            if (config) FcConfigDestroy(config);
            return;
        }
        FcConfigDestroy(config); // the current configuration holds its own reference
    });
}

bool bold(const std::string& name) {
    constexpr std::string_view suffix = "-Bold";
    return name.size() >= suffix.size() &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool validUTF8(const std::string& s) {
    size_t i = 0;
    while (i < s.size()) {
        unsigned char b = static_cast<unsigned char>(s[i]);
        size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

} // namespace

void CGContextSelectFont(const CGContextRef& context, const char* name, CGFloat size, CGTextEncoding) {
    CGContext* c = checked(context, "CGContextSelectFont");
    if (!c) return;
    c->gs.fontName = name ? name : "";
    c->gs.fontSize = size;
}

void CGContextSetFontSize(const CGContextRef& context, CGFloat size) {
    if (CGContext* c = checked(context, "CGContextSetFontSize")) c->gs.fontSize = size;
}

void CGContextSetTextDrawingMode(const CGContextRef& context, CGTextDrawingMode mode) {
    CGContext* c = checked(context, "CGContextSetTextDrawingMode");
    if (!c) return;
    if (mode != kCGTextFill && mode != kCGTextInvisible) {
        platform::log("CGContextSetTextDrawingMode: mode %d is not drawn; fill used", int(mode));
        mode = kCGTextFill;
    }
    c->gs.textMode = mode;
}

void CGContextSetTextPosition(const CGContextRef& context, CGFloat x, CGFloat y) {
    if (CGContext* c = checked(context, "CGContextSetTextPosition")) c->textPosition = {x, y};
}

CGPoint CGContextGetTextPosition(const CGContextRef& context) {
    CGContext* c = checked(context, "CGContextGetTextPosition");
    return c ? c->textPosition : CGPointZero;
}

void CGContextShowText(const CGContextRef& context, const char* string, size_t length) {
    CGContext* c = checked(context, "CGContextShowText");
    if (!c || !string || length == 0) return;
    std::string text(string, length);
    text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
    const double size = c->gs.fontSize;
    const CGPoint at = c->textPosition;
    if (!validUTF8(text) || !(size > 0 && size < 1e4) || !std::isfinite(at.x) || !std::isfinite(at.y) ||
        std::fabs(at.x) > 1e6 || std::fabs(at.y) > 1e6) {
        platform::log("CGContextShowText: text, size or position cannot be drawn; nothing drawn");
        return;
    }
    CGAffineTransform t = detail::deviceTransform(*c);
    if (!detail::invertible(t)) return;
    useProjectFonts();
    auto selectFont = [&](cairo_t* cr) {
        cairo_matrix_t m = detail::cairoMatrix(t);
        cairo_set_matrix(cr, &m);
        cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL,
                               bold(c->gs.fontName) ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
        // User space is y up; glyphs are drawn y down.
        cairo_matrix_t font;
        cairo_matrix_init_scale(&font, size, -size);
        cairo_set_font_matrix(cr, &font);
    };
    if (c->gs.textMode == kCGTextInvisible) {
        cairo_save(c->cr);
        selectFont(c->cr);
        cairo_text_extents_t extents;
        cairo_text_extents(c->cr, text.c_str(), &extents);
        cairo_restore(c->cr);
        c->textPosition = {at.x + extents.x_advance, at.y + extents.y_advance};
        return;
    }
    CGPoint after = at;
    detail::paint(*c, [&](cairo_t* cr) {
        selectFont(cr);
        cairo_set_source_rgba(cr, c->gs.fill.r, c->gs.fill.g, c->gs.fill.b, c->gs.fill.a * c->gs.alpha);
        cairo_move_to(cr, at.x, at.y);
        cairo_show_text(cr, text.c_str());
        if (cairo_has_current_point(cr)) cairo_get_current_point(cr, &after.x, &after.y);
    });
    c->textPosition = after;
}

void CGContextShowTextAtPoint(const CGContextRef& context, CGFloat x, CGFloat y, const char* string,
                              size_t length) {
    CGContext* c = checked(context, "CGContextShowTextAtPoint");
    if (!c) return;
    c->textPosition = {x, y};
    CGContextShowText(context, string, length);
}

} // namespace cg
