// Objects by text key, in insertion order. setObject retains; getObject does not.
#pragma once

#include "platform/kernel/OSObject.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kernel {

class OSString;

class OSDictionary : public OSObject {
    OSDeclareDefaultStructors(OSDictionary);

  public:
    using super = OSObject;

    static OSDictionary* withCapacity(unsigned capacity);
    // A new dictionary holding the same objects (retained again, not copied).
    static OSDictionary* withDictionary(const OSDictionary* other);

    unsigned getCount() const { return static_cast<unsigned>(m_entries.size()); }
    OSObject* getObject(std::string_view key) const;
    OSObject* getObject(const OSString* key) const;
    // Replaces any object under the key; null is refused.
    bool setObject(std::string_view key, OSObject* object);
    bool setObject(const OSString* key, OSObject* object);
    void removeObject(std::string_view key);

    // Entries in insertion order (not retained for the caller).
    const std::vector<std::pair<std::string, OSObject*>>& entries() const { return m_entries; }

    bool isEqualTo(const OSObject* other) const override;

  protected:
    void free() override;

  private:
    std::vector<std::pair<std::string, OSObject*>> m_entries;
};

} // namespace kernel
