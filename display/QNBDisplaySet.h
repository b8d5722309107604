// The displays that make up one client's picture: their union frame, their offsets inside it,
// the primary display and the scales used for the picture and for the cursor. Each display also
// carries the per-display update state of the rectangle encoders: a dirty-rectangle manager, the
// region last sent lossily and an update heat map.
#pragma once

#include "display/QNBScreen.h"
#include "platform/coregraphics/CGGeometry.h"
#include "regions/DirtyRectangleManager.h"
#include "regions/UpdatedRectangles.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace display {

class QNBDisplay {
  public:
    // A new manager, an empty lossy region and heat map, display ID and index −1.
    QNBDisplay();
    explicit QNBDisplay(CGDirectDisplayID display);
    QNBDisplay(const QNBDisplay&) = delete;
    QNBDisplay& operator=(const QNBDisplay&) = delete;

    CGDirectDisplayID displayID() const { return mDisplayID.load(); }
    void setDisplayID(CGDirectDisplayID display) { mDisplayID.store(display); }
    std::optional<std::string> userDescription() const;
    void setUserDescription(std::optional<std::string> description);
    std::shared_ptr<regions::DirtyRectangleManager> rectManager() const;
    void setRectManager(std::shared_ptr<regions::DirtyRectangleManager> manager);
    // Regions of the last frames' dirty areas, newest first (kept by the rectangle encoders).
    std::vector<std::shared_ptr<regions::UpdatedRectangles>> updateHeatMap() const;
    void setUpdateHeatMap(std::vector<std::shared_ptr<regions::UpdatedRectangles>> heatMap);
    std::shared_ptr<regions::UpdatedRectangles> lossyRects() const;
    void setLossyRects(std::shared_ptr<regions::UpdatedRectangles> lossyRects);
    // Set by the set's finalizeSet; read and written under the display's lock.
    cg::CGPoint offsetFromOrigin() const;
    void setOffsetFromOrigin(cg::CGPoint offset);
    cg::CGPoint ourOrigin() const;
    void setOurOrigin(cg::CGPoint origin);

    // The cached framebuffer index; looked up when unknown (−1 is cached too, so it is asked
    // again next time).
    int64_t framebufferIndex();
    cg::CGRect scaleCorrectedDisplayBounds() const;
    cg::CGRect normalizedDisplayBounds() const;
    double scale() const;
    double cursorScale() const { return scale(); }

    // Under the display's lock: a new empty lossy region, the manager's queue and the heat map
    // emptied (the manager and heat map stay the same objects).
    void clearRectangles();
    void addDirtyRectangle(cg::CGRect rect);
    // "Display ID: 0x%x (%@)" with the scale-corrected bounds.
    std::string description() const;
    // The display ID; equality stays identity.
    size_t hash() const { return displayID(); }

    // The display's own lock (recursive).
    std::recursive_mutex& lock() const { return m_lock; }

  private:
    mutable std::recursive_mutex m_lock;
    std::atomic<CGDirectDisplayID> mDisplayID{0xFFFFFFFFu};
    std::optional<std::string> mUserDescription;
    std::shared_ptr<regions::DirtyRectangleManager> mRectManager;
    std::vector<std::shared_ptr<regions::UpdatedRectangles>> mUpdateHeatMap;
    std::shared_ptr<regions::UpdatedRectangles> mLossyRects;
    cg::CGPoint mOffsetFromOrigin;
    cg::CGPoint mOurOrigin;
    std::atomic<int64_t> mFbIndex{-1};
};

class QNBDisplaySet {
  public:
    QNBDisplaySet() = default;
    QNBDisplaySet(const QNBDisplaySet&) = delete;
    QNBDisplaySet& operator=(const QNBDisplaySet&) = delete;

    // The members, each object once, in the order they joined (the set's enumeration order).
    std::vector<std::shared_ptr<QNBDisplay>> displays() const;
    void setDisplays(std::vector<std::shared_ptr<QNBDisplay>> displays);
    // Adds the object unless it is a member already (two objects for one display may coexist).
    void addDisplay(std::shared_ptr<QNBDisplay> display);

    std::string userDescription() const { return "MultiScreen"; }
    // Of any one member; 0 for an empty set.
    CGDirectDisplayID displayID() const;
    // Of any one member; −1 for an empty set.
    int64_t framebufferIndex() const;
    // The union of the members' window-server bounds (points, top-left origin).
    cg::CGRect frame() const;
    cg::CGRect displayBoundsWithScaleCorrection(bool scaleCorrection) const;
    cg::CGRect normalizedDisplayBounds() const { return displayBoundsWithScaleCorrection(false); }
    cg::CGRect scaleCorrectedDisplayBounds() const { return displayBoundsWithScaleCorrection(true); }
    cg::CGRect singleDisplayBoundsWithScaleCorrection(bool scaleCorrection) const;
    cg::CGRect singleNormalizedDisplayBounds() const { return singleDisplayBoundsWithScaleCorrection(false); }
    cg::CGRect singleScaleCorrectedDisplayBounds() const {
        return singleDisplayBoundsWithScaleCorrection(true);
    }
    // The scale-corrected bounds of the first member whose scale-corrected origin is (0, 0).
    cg::CGRect boundsOfPrimaryDisplay() const;
    CGDirectDisplayID primaryDisplayID() const;
    double scale() const { return 1.0; }
    double almostAuthenticScale() const;
    double cursorScale() const;
    cg::CGSize displaySizeInPixels() const;
    std::vector<cg::CGRect> arrayOfScreenBounds() const;
    // Gives each member its own scale-corrected origin and its offset from the set's origin.
    void finalizeSet();

  private:
    mutable std::mutex m_lock;
    std::vector<std::shared_ptr<QNBDisplay>> mDisplays;
};

} // namespace display
