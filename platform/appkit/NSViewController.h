// View controllers: a view loaded on first use (loadView, then viewDidLoad) from the nib
// registry by the controller's nib name, with the controller as the nib's owner (its builder
// hands the view over through setView). An unknown nib leaves the controller without a view.
// A represented object, and key-value coding and bindings of its own (a key-value object).
#pragma once

#include "platform/appkit/NSView.h"
#include "platform/foundation/NSObject.h"

#include <memory>
#include <string>

namespace appkit {

class NSViewController : public ns::NSObject, public NSResponder {
  public:
    // initWithNibName:bundle: (the bundle is the main one); an empty name: loadView builds nothing.
    explicit NSViewController(std::string nibName = {});

    static const ns::KeyTable& classKeys(); // "representedObject", "title"
    const ns::KeyTable& keyTable() const override { return classKeys(); }

    const std::string& nibName() const { return m_nibName; }
    // Loads the view the first time it is asked for; null when loading gave none.
    std::shared_ptr<NSView> view();
    void setView(std::shared_ptr<NSView> view);
    bool isViewLoaded() const { return m_view != nullptr; }
    // Loads the nib with this controller as owner (logged when it cannot).
    virtual void loadView();
    virtual void viewDidLoad() {}

    ns::Id representedObject() const { return m_representedObject; }
    virtual void setRepresentedObject(const ns::Id& object);
    const std::string& title() const { return m_title; }
    void setTitle(std::string title);

  private:
    std::string m_nibName;
    std::shared_ptr<NSView> m_view;
    bool m_loading = false, m_loaded = false;
    ns::Id m_representedObject;
    std::string m_title;
};

} // namespace appkit
