#include "platform/appkit/NSViewBindings.h"

namespace appkit {

const ns::KeyTable& NSView::classBindingKeys() {
    static const ns::KeyTable table = [] {
        ns::KeyTable keys("NSView");
        bindableKey(keys, "hidden", &NSView::isHidden, &NSView::setHidden);
        return keys;
    }();
    return table;
}

void NSView::bind(std::string_view binding, const std::shared_ptr<ns::NSObject>& observable,
                  std::string_view keyPath, const cf::Dictionary& options) {
    if (!m_bindings) m_bindings = std::make_shared<NSViewKeyValues>(*this);
    m_bindings->bind(binding, observable, keyPath, options);
}

void NSView::unbind(std::string_view binding) {
    if (m_bindings) m_bindings->unbind(binding);
}

std::optional<ns::NSBindingInfo> NSView::infoForBinding(std::string_view binding) const {
    return m_bindings ? m_bindings->infoForBinding(binding) : std::nullopt;
}

bool NSView::writeBackBinding(std::string_view binding, const ns::Id& value) {
    return m_bindings && m_bindings->writeBackBinding(binding, value);
}

} // namespace appkit
