#include "platform/appkit/NSViewController.h"

#include "platform/appkit/NSNib.h"

namespace appkit {

NSViewController::NSViewController(std::string nibName) : m_nibName(std::move(nibName)) {}

const ns::KeyTable& NSViewController::classKeys() {
    static const ns::KeyTable table =
        ns::KeyTable("NSViewController", &NSObject::classKeys())
            .property("representedObject", &NSViewController::representedObject,
                      &NSViewController::setRepresentedObject)
            .property("title", &NSViewController::title, &NSViewController::setTitle);
    return table;
}

std::shared_ptr<NSView> NSViewController::view() {
    // One attempt: a nib that failed is not loaded again at every call.
    if (!m_view && !m_loaded && !m_loading) {
        m_loading = true;
        loadView();
        m_loading = false;
        m_loaded = true;
        if (m_view) viewDidLoad();
    }
    return m_view;
}

void NSViewController::setView(std::shared_ptr<NSView> view) {
    m_view = std::move(view);
}

void NSViewController::loadView() {
    if (m_nibName.empty()) return;
    NSNib::loadNibNamed(m_nibName, this);
}

void NSViewController::setRepresentedObject(const ns::Id& object) {
    m_representedObject = object;
}

void NSViewController::setTitle(std::string title) {
    m_title = std::move(title);
}

} // namespace appkit
