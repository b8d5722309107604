// An ordered collection that retains what it holds.
#pragma once

#include "platform/kernel/OSObject.h"

#include <vector>

namespace kernel {

class OSArray : public OSObject {
    OSDeclareDefaultStructors(OSArray);

  public:
    using super = OSObject;

    static OSArray* withCapacity(unsigned capacity);

    unsigned getCount() const { return static_cast<unsigned>(m_items.size()); }
    // Not retained for the caller; null past the end.
    OSObject* getObject(unsigned index) const { return index < m_items.size() ? m_items[index] : nullptr; }
    // Appends and retains; null is refused.
    bool setObject(OSObject* object);

    bool isEqualTo(const OSObject* other) const override;

  protected:
    void free() override;

  private:
    std::vector<OSObject*> m_items;
};

} // namespace kernel
