// The pieces of a listing row: the device artwork chosen by type and state, the name label greyed
// unless connected, and the row's view with its two sides and its fading controls.
#pragma once

#include "platform/appkit/NSImageView.h"
#include "platform/appkit/NSTextField.h"
#include "platform/quartzcore/CAAnimation.h"

#include <cstdint>
#include <memory>
#include <string>

namespace host {

class QNBTesselCollectionViewItem;

// The listing image states.
enum QNBImageState : int64_t {
    QNBImageConnected = 0,
    QNBImageInactive = 1,
    QNBImageUnavailable = 2,
};

// "QNBImageConnected", "QNBImageUnavailable", else "QNBImageIdle".
std::string NSStringFromQNBType(int64_t state);

class QNBTesselImageView final : public appkit::NSImageView {
  public:
    explicit QNBTesselImageView(cg::CGRect frame = cg::CGRectZero);

    uint64_t displayType() const { return m_displayType; }
    void setDisplayType(uint64_t type);
    uint64_t stateType() const { return m_stateType; }
    void setStateType(uint64_t state);
    uint64_t displayMechanism() const { return m_displayMechanism; }
    void setDisplayMechanism(uint64_t mechanism);
    int64_t listingImageState() const { return m_listingImageState; }
    void setListingImageState(int64_t state);
    bool stylusSupported() const { return m_stylusSupported; }
    void setStylusSupported(bool flag);
    // Stored only.
    bool connected() const { return m_connected; }
    void setConnected(bool flag) { m_connected = flag; }
    bool availability() const { return m_availability; }
    void setAvailability(bool flag) { m_availability = flag; }

    // The laptop set: nothing selects it.
    void selectLaptopImage();

  private:
    void updateListingImageState();
    void selectImage();

    uint64_t m_displayType = 0;
    uint64_t m_stateType = 0;
    uint64_t m_displayMechanism = 0;
    int64_t m_listingImageState = QNBImageConnected;
    bool m_connected = false, m_availability = false, m_stylusSupported = false;
};

class QNBTesselDeviceNameLabel final : public appkit::NSTextField {
  public:
    explicit QNBTesselDeviceNameLabel(cg::CGRect frame = cg::CGRectZero);
    uint64_t stateType() const { return m_stateType; }
    // Black when connected, the disabled text colour otherwise.
    void setStateType(uint64_t state);

  private:
    uint64_t m_stateType = 3;
};

class QNBTesselListingView final : public appkit::NSView, public quartzcore::CAAnimationDelegate {
  public:
    static constexpr double kControlFadeDuration = 0.15;
    static constexpr double kSideSwitchDelay = 0.01;
    static constexpr double kSideSwitchDuration = 0.5;

    explicit QNBTesselListingView(cg::CGRect frame = cg::CGRectZero);

    QNBTesselCollectionViewItem* collectionItem() const { return m_collectionItem; }
    void setCollectionItem(QNBTesselCollectionViewItem* item) { m_collectionItem = item; }

    bool controlsVisible() const { return m_controlsVisible; }
    void setControlsVisible(bool visible, bool animated);
    bool connectButtonVisible() const { return m_connectButtonVisible; }
    void setConnectButtonVisible(bool visible, bool animated);
    bool deferredMainViewRequest() const { return m_deferredMainViewRequest; }
    void setDeferredMainViewRequest(bool flag) { m_deferredMainViewRequest = flag; }

    // The sides: the front panel added as it is, or either side pushed in after a short delay.
    void loadMainView();
    void presentMainView();
    void presentAuxillaryView();
    void replaceView(const std::shared_ptr<appkit::NSView>& oldView,
                     const std::shared_ptr<appkit::NSView>& newView);

    void awakeFromNib() override;
    void animationDidStop(const std::shared_ptr<quartzcore::CAAnimation>& animation, bool finished) override;

  private:
    void applyControls(bool animated);
    void freezeLook();
    void switchSides(bool toFront);

    QNBTesselCollectionViewItem* m_collectionItem = nullptr;
    bool m_controlsVisible = false;
    bool m_connectButtonVisible = true;
    bool m_deferredMainViewRequest = false;
};

} // namespace host
