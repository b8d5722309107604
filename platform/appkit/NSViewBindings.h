// Bindable keys of views: a view class lists the properties its bindings read and write, as a
// key table its bound views' key-value stand-in answers from:
//
//     const ns::KeyTable& NSButton::classBindingKeys() {
//         static const ns::KeyTable table = [] {
//             ns::KeyTable keys("NSButton", &NSControl::classBindingKeys());
//             bindableKey(keys, "title", &NSButton::title, &NSButton::setTitle);
//             return keys;
//         }();
//         return table;
//     }
#pragma once

#include "platform/appkit/NSView.h"

namespace appkit {

// The key-value object standing in for a bound view: its keys are the view's bindingKeys().
class NSViewKeyValues : public ns::NSObject {
  public:
    explicit NSViewKeyValues(NSView& view) : m_view(view) {}
    const ns::KeyTable& keyTable() const override { return m_view.bindingKeys(); }
    NSView& view() const { return m_view; }

  private:
    NSView& m_view;
};

// A key of view class V read and written through its member functions (setter may be null).
template <typename V, typename R, typename S, typename A>
void bindableKey(ns::KeyTable& table, std::string key, R (V::*getter)() const, S (V::*setter)(A)) {
    using T = std::decay_t<R>;
    using Conversion = ns::IdConversion<T>;
    ns::KeyTable::Entry entry;
    entry.getter = [getter](const ns::NSObject& o) {
        return Conversion::to(
            (dynamic_cast<const V&>(static_cast<const NSViewKeyValues&>(o).view()).*getter)());
    };
    if (setter)
        entry.setter = [setter](ns::NSObject& o, const ns::Id& v) {
            (dynamic_cast<V&>(static_cast<NSViewKeyValues&>(o).view()).*
             setter)(ns::IdConversion<std::decay_t<A>>::from(v));
        };
    entry.zero = Conversion::to(T{});
    entry.scalar = Conversion::scalar;
    table.add(std::move(key), std::move(entry));
}

} // namespace appkit
