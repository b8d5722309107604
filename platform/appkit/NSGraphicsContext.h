// Graphics contexts: an AppKit face over a Core Graphics context, and each thread's current
// context with its stack of saved states. Also the plain drawing functions (NSRectFill and
// friends) and the focus ring style.
#pragma once

#include "platform/coregraphics/CGContext.h"

#include <memory>
#include <optional>

namespace appkit {

enum NSCompositingOperation : uint32_t {
    NSCompositingOperationClear = 0,
    NSCompositingOperationCopy = 1,
    NSCompositingOperationSourceOver = 2,
    NSCompositingOperationXOR = 10,
};

enum NSImageInterpolation : uint32_t {
    NSImageInterpolationDefault = 0,
    NSImageInterpolationNone = 1,
    NSImageInterpolationLow = 2,
    NSImageInterpolationMedium = 4,
    NSImageInterpolationHigh = 3,
};

// How far a focus ring reaches outside the path it surrounds.
inline constexpr double kNSFocusRingOutset = 3;

enum NSFocusRingPlacement : uint32_t { NSFocusRingOnly = 0, NSFocusRingBelow = 1, NSFocusRingAbove = 2 };
enum NSFocusRingType : uint32_t {
    NSFocusRingTypeDefault = 0,
    NSFocusRingTypeNone = 1,
    NSFocusRingTypeExterior = 2
};

// The blend mode an operation draws with; others are logged and draw as source-over.
cg::CGBlendMode blendModeForOperation(NSCompositingOperation op);

class NSGraphicsContext {
  public:
    // flipped: the context's user space already runs y down.
    static std::shared_ptr<NSGraphicsContext> graphicsContextWithCGContext(cg::CGContextRef context,
                                                                           bool flipped);
    static std::shared_ptr<NSGraphicsContext> currentContext(); // this thread's
    static void setCurrentContext(std::shared_ptr<NSGraphicsContext> context);
    // Saves the current context and its state; restoring brings both back (unbalanced: logged).
    static void saveGraphicsState();
    static void restoreGraphicsState();

    const cg::CGContextRef& CGContext() const { return m_context; }
    bool isFlipped() const { return m_flipped; }
    void saveGraphicsStateOfContext();
    void restoreGraphicsStateOfContext();
    NSCompositingOperation compositingOperation() const { return m_operation; }
    void setCompositingOperation(NSCompositingOperation op);
    NSImageInterpolation imageInterpolation() const { return m_interpolation; }
    void setImageInterpolation(NSImageInterpolation interpolation);
    bool shouldAntialias() const { return m_antialias; }
    void setShouldAntialias(bool antialias);
    void flushGraphics() {}

    // The focus ring style set for the next fills; cleared with the state that set it.
    std::optional<NSFocusRingPlacement> focusRingPlacement() const { return m_focusRing; }
    void setFocusRingPlacement(std::optional<NSFocusRingPlacement> placement) { m_focusRing = placement; }

    NSGraphicsContext(cg::CGContextRef context, bool flipped)
        : m_context(std::move(context)), m_flipped(flipped) {}

  private:
    struct Saved {
        NSCompositingOperation operation;
        NSImageInterpolation interpolation;
        bool antialias;
        std::optional<NSFocusRingPlacement> focusRing;
    };
    cg::CGContextRef m_context;
    bool m_flipped;
    NSCompositingOperation m_operation = NSCompositingOperationSourceOver;
    NSImageInterpolation m_interpolation = NSImageInterpolationDefault;
    bool m_antialias = true;
    std::optional<NSFocusRingPlacement> m_focusRing;
    std::vector<Saved> m_saved;
};

// Fills with the current fill colour (source-over unless an operation is given); strokes
// (frames) a rectangle's inside edge; clips. Without a current context: logged, nothing.
void NSRectFill(cg::CGRect rect);
void NSRectFillUsingOperation(cg::CGRect rect, NSCompositingOperation op);
void NSFrameRect(cg::CGRect rect);
void NSFrameRectWithWidth(cg::CGRect rect, double width);
void NSRectClip(cg::CGRect rect);
// The next fills of the current state draw a focus ring around their shape (exterior).
void NSSetFocusRingStyle(NSFocusRingPlacement placement);

namespace detail {
// Fills a user-space path in the current context (and its focus ring when one is set);
// false (logged under function) without a current context.
bool fillPath(const cg::CGPathRef& path, bool evenOdd, NSCompositingOperation op, const char* function);
} // namespace detail

} // namespace appkit
