#include "host/QNBTesselListingParts.h"

#include "host/QNBHostImages.h"
#include "host/QNBTesselCollectionViewItem.h"

#include "foundation/QNBDisplayModel.h"
#include "platform/appkit/NSAnimationContext.h"
#include "platform/appkit/NSBitmapImageRep.h"
#include "platform/appkit/NSColor.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/quartzcore/CALayer.h"
#include "platform/quartzcore/CATransaction.h"

#include <array>
#include <mutex>

namespace host {

namespace {

// The artwork sets, each connected, inactive and unavailable.
enum ArtworkSet : size_t { kIPhone, kIPad, kMonitor, kLaptop, kStylusIPad, kArtworkSets };

const std::array<std::array<std::shared_ptr<appkit::NSImage>, 3>, kArtworkSets>& artwork() {
    static std::once_flag once;
    static std::array<std::array<std::shared_ptr<appkit::NSImage>, 3>, kArtworkSets> images;
    std::call_once(once, [] {
        static constexpr std::array<const char*, kArtworkSets> prefixes = {"iphone", "ipad", "desktop",
                                                                           "laptop", "stylus_ipad"};
        static constexpr std::array<const char*, 3> states = {"_connected", "_inactive", "_unavailable"};
        for (size_t set = 0; set < kArtworkSets; ++set)
            for (size_t state = 0; state < 3; ++state)
                images[set][state] = hostImageNamed(std::string(prefixes[set]) + states[state]);
    });
    return images;
}

ArtworkSet setForDisplayType(uint64_t type) {
    switch (type) {
    case foundation::QNBiPhoneDisplayType:
        return kIPhone;
    case foundation::QNBiPadDisplayType:
        return kIPad;
    case foundation::QNBiPadStylusDisplayType:
        return kStylusIPad;
    default:
        return kMonitor;
    }
}

} // namespace

std::string NSStringFromQNBType(int64_t state) {
    switch (state) {
    case QNBImageConnected:
        return "QNBImageConnected";
    case QNBImageUnavailable:
        return "QNBImageUnavailable";
    default:
        return "QNBImageIdle";
    }
}

// ---- Artwork -------------------------------------------------------------------------------------

QNBTesselImageView::QNBTesselImageView(cg::CGRect frame) : appkit::NSImageView(frame) {}

void QNBTesselImageView::setDisplayType(uint64_t type) {
    m_displayType = type;
    selectImage();
}

void QNBTesselImageView::setStateType(uint64_t state) {
    m_stateType = state;
    updateListingImageState();
}

void QNBTesselImageView::setDisplayMechanism(uint64_t mechanism) {
    m_displayMechanism = mechanism;
    updateListingImageState();
}

void QNBTesselImageView::setListingImageState(int64_t state) {
    m_listingImageState = state;
    selectImage();
}

void QNBTesselImageView::setStylusSupported(bool flag) {
    m_stylusSupported = flag;
    selectImage();
}

void QNBTesselImageView::updateListingImageState() {
    // A device on USB is always shown as connected; a state past the known ones changes nothing.
    if (m_displayMechanism == foundation::QNBUSBConnectionMechanism) {
        setListingImageState(QNBImageConnected);
        return;
    }
    switch (m_stateType) {
    case foundation::QNBTesselListingConnectedType:
        setListingImageState(QNBImageConnected);
        return;
    case foundation::QNBTesselListingUnavailableType:
        setListingImageState(QNBImageUnavailable);
        return;
    case foundation::QNBTesselListingInactiveType:
    case foundation::QNBTesselListingIdleType:
        setListingImageState(QNBImageInactive);
        return;
    default:
        return;
    }
}

void QNBTesselImageView::selectImage() {
    const size_t state =
        m_listingImageState >= 0 && m_listingImageState <= 2 ? size_t(m_listingImageState) : 0;
    setImage(artwork()[setForDisplayType(m_displayType)][state]);
    setAlphaValue(m_listingImageState == QNBImageUnavailable ? 0.6 : 1.0);
}

void QNBTesselImageView::selectLaptopImage() {
    const size_t state =
        m_listingImageState >= 0 && m_listingImageState <= 2 ? size_t(m_listingImageState) : 0;
    setImage(artwork()[kLaptop][state]);
}

// ---- Name label ----------------------------------------------------------------------------------

QNBTesselDeviceNameLabel::QNBTesselDeviceNameLabel(cg::CGRect frame) : appkit::NSTextField(frame) {}

void QNBTesselDeviceNameLabel::setStateType(uint64_t state) {
    m_stateType = state;
    setTextColor(state == foundation::QNBTesselListingConnectedType
                     ? appkit::NSColor::blackColor()
                     : appkit::NSColor::disabledControlTextColor());
    setNeedsDisplay(true);
}

// ---- Row view ------------------------------------------------------------------------------------

QNBTesselListingView::QNBTesselListingView(cg::CGRect frame) : appkit::NSView(frame) {}

void QNBTesselListingView::awakeFromNib() {
    setControlsVisible(false, false);
}

void QNBTesselListingView::setControlsVisible(bool visible, bool animated) {
    m_controlsVisible = visible;
    applyControls(animated);
}

void QNBTesselListingView::setConnectButtonVisible(bool visible, bool animated) {
    m_connectButtonVisible = visible;
    applyControls(animated);
}

void QNBTesselListingView::applyControls(bool animated) {
    auto* item = m_collectionItem;
    if (!item) return;
    const bool visible = m_controlsVisible;
    const double v = visible ? 1.0 : 0.0;
    const bool buttonShown = visible && m_connectButtonVisible;
    auto apply = [&](bool viaAnimator) {
        auto setAlpha = [viaAnimator](const std::shared_ptr<appkit::NSView>& view, double alpha) {
            if (!view) return;
            if (viaAnimator)
                view->animator().setAlphaValue(alpha);
            else
                view->setAlphaValue(alpha);
        };
        setAlpha(item->autoConnectSwitch, v);
        if (item->autoConnectSwitch) item->autoConnectSwitch->setEnabled(visible);
        setAlpha(item->connectButton, buttonShown ? 1.0 : 0.0);
        if (item->connectButton) item->connectButton->setEnabled(buttonShown);
        setAlpha(item->availabilityLabel, 1.0 - v);
    };
    if (!animated) {
        apply(false);
        return;
    }
    appkit::NSAnimationContext::runAnimationGroup(
        [&](appkit::NSAnimationContext& context) {
            context.setDuration(kControlFadeDuration);
            apply(true);
        },
        nullptr);
}

void QNBTesselListingView::loadMainView() {
    if (m_collectionItem && m_collectionItem->mainListingView) addSubview(m_collectionItem->mainListingView);
}

void QNBTesselListingView::presentMainView() {
    switchSides(true);
}

void QNBTesselListingView::presentAuxillaryView() {
    switchSides(false);
}

void QNBTesselListingView::freezeLook() {
    // The current look stays on the layer while the sides change over: the push slides this
    // picture out, not whatever the row draws once the new side is in.
    const cg::CGRect area = bounds();
    auto look = bitmapImageRepForCachingDisplayInRect(area);
    if (look) cacheDisplayInRect(area, *look);
    setWantsLayer(true);
    quartzcore::CATransaction::begin();
    quartzcore::CATransaction::setDisableActions(true);
    layer()->setContents(look ? look->CGImage() : nullptr);
    quartzcore::CATransaction::commit();
}

void QNBTesselListingView::switchSides(bool toFront) {
    freezeLook();
    std::weak_ptr<appkit::NSView> weakSelf = weak_from_this();
    dispatch::dispatch_after(
        dispatch::dispatch_time(dispatch::DISPATCH_TIME_NOW, int64_t(kSideSwitchDelay * 1e9)),
        dispatch::dispatch_get_main_queue(), [weakSelf, toFront] {
            auto self = std::static_pointer_cast<QNBTesselListingView>(weakSelf.lock());
            if (!self || !self->m_collectionItem) return;
            auto shown = toFront ? self->m_collectionItem->mainListingView
                                 : self->m_collectionItem->auxillaryListingView;
            auto hidden = toFront ? self->m_collectionItem->auxillaryListingView
                                  : self->m_collectionItem->mainListingView;
            if (!shown) return;
            if (!hidden || hidden->superview().get() != self.get()) {
                self->addSubview(shown);
                return;
            }
            auto transition = quartzcore::CATransition::animation();
            transition->setType(std::string(quartzcore::kCATransitionPush));
            transition->setSubtype(std::string(toFront ? quartzcore::kCATransitionFromLeft
                                                       : quartzcore::kCATransitionFromRight));
            transition->setDelegate(std::static_pointer_cast<quartzcore::CAAnimationDelegate>(self));
            self->setAnimations({{"subviews", transition}});
            appkit::NSAnimationContext::runAnimationGroup(
                [&](appkit::NSAnimationContext& context) {
                    context.setDuration(kSideSwitchDuration);
                    self->animator().replaceSubview(hidden, shown);
                },
                nullptr);
        });
}

void QNBTesselListingView::animationDidStop(const std::shared_ptr<quartzcore::CAAnimation>&, bool) {
    if (!m_deferredMainViewRequest) return;
    m_deferredMainViewRequest = false;
    presentMainView();
}

void QNBTesselListingView::replaceView(const std::shared_ptr<appkit::NSView>& oldView,
                                       const std::shared_ptr<appkit::NSView>& newView) {
    for (const auto& subview : subviews())
        if (subview == oldView) {
            oldView->removeFromSuperview();
            break;
        }
    if (newView) addSubview(newView);
}

} // namespace host
