// Bézier paths in user space with their own line style; fill, stroke and clip act on the
// current graphics context.
#pragma once

#include "platform/appkit/NSGraphicsContext.h"
#include "platform/coregraphics/CGPath.h"

#include <memory>
#include <vector>

namespace appkit {

enum NSWindingRule : uint32_t { NSWindingRuleNonZero = 0, NSWindingRuleEvenOdd = 1 };

class NSBezierPath {
  public:
    static std::shared_ptr<NSBezierPath> bezierPath();
    static std::shared_ptr<NSBezierPath> bezierPathWithRect(cg::CGRect rect);
    static std::shared_ptr<NSBezierPath> bezierPathWithOvalInRect(cg::CGRect rect);
    static std::shared_ptr<NSBezierPath> bezierPathWithRoundedRect(cg::CGRect rect, double xRadius,
                                                                   double yRadius);
    static void fillRect(cg::CGRect rect);
    static void strokeRect(cg::CGRect rect);
    static void clipRect(cg::CGRect rect);
    static void strokeLineFromPoint(cg::CGPoint from, cg::CGPoint to);
    static double defaultLineWidth() { return 1; }

    void moveToPoint(cg::CGPoint p);
    void lineToPoint(cg::CGPoint p);
    void curveToPoint(cg::CGPoint p, cg::CGPoint controlPoint1, cg::CGPoint controlPoint2);
    void closePath();
    void appendBezierPathWithRect(cg::CGRect rect);
    void appendBezierPathWithOvalInRect(cg::CGRect rect);
    // Angles in degrees, counter-clockwise unless clockwise.
    void appendBezierPathWithArcWithCenter(cg::CGPoint center, double radius, double startAngle,
                                           double endAngle, bool clockwise = false);
    void appendBezierPath(const NSBezierPath& other);
    void removeAllPoints();
    bool isEmpty() const;
    cg::CGRect bounds() const;
    cg::CGPoint currentPoint() const;

    double lineWidth() const { return m_lineWidth; }
    void setLineWidth(double width) { m_lineWidth = width; }
    cg::CGLineCap lineCapStyle() const { return m_cap; }
    void setLineCapStyle(cg::CGLineCap cap) { m_cap = cap; }
    cg::CGLineJoin lineJoinStyle() const { return m_join; }
    void setLineJoinStyle(cg::CGLineJoin join) { m_join = join; }
    void setLineDash(const double* pattern, size_t count, double phase);
    NSWindingRule windingRule() const { return m_rule; }
    void setWindingRule(NSWindingRule rule) { m_rule = rule; }

    void fill() const;
    void stroke() const;
    void addClip() const;

    cg::CGPathRef CGPath() const { return m_path; }

  private:
    cg::CGMutablePathRef m_path = cg::CGPathCreateMutable();
    double m_lineWidth = defaultLineWidth();
    cg::CGLineCap m_cap = cg::kCGLineCapButt;
    cg::CGLineJoin m_join = cg::kCGLineJoinMiter;
    std::vector<double> m_dash;
    double m_dashPhase = 0;
    NSWindingRule m_rule = NSWindingRuleNonZero;
};

} // namespace appkit
