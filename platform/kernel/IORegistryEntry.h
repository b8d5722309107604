// An entry of the I/O Registry: a name, an optional location, properties, and its place in
// the one plane ("IOService"). One registry lock guards names, locations, properties and
// links; it is never held while driver code runs.
#pragma once

#include "platform/kernel/OSObject.h"
#include "platform/kernel/OSPtr.h"

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kernel {

class OSDictionary;

// The one plane, and the limits of names and paths user space can hold.
inline constexpr char kIOServicePlane[] = "IOService";
inline constexpr size_t kIOMaxNameLength = 127;
inline constexpr size_t kIOMaxPathLength = 511;

class IORegistryEntry : public OSObject {
    OSDeclareDefaultStructors(IORegistryEntry);

  public:
    using super = OSObject;

    // Takes a copy of the dictionary (or an empty one) as the property table.
    virtual bool init(OSDictionary* dictionary);

    // The name defaults to the class name. Names longer than 127 bytes are refused.
    std::string getName() const;
    bool setName(std::string_view name);
    std::optional<std::string> getLocation() const;
    void setLocation(std::string_view location);
    // "IOService:/name@location/..." below the platform expert; "IOService:/" for the platform
    // expert itself. None for the root, a detached entry, or a path over 511 bytes.
    std::optional<std::string> getPath() const;

    // Not retained for the caller: valid while the entry keeps the property.
    OSObject* getProperty(std::string_view key) const;
    OSPtr<OSObject> copyProperty(std::string_view key) const;
    bool setProperty(std::string_view key, OSObject* object);
    bool setProperty(std::string_view key, bool value);
    bool setProperty(std::string_view key, const char* text);
    bool setProperty(std::string_view key, uint64_t value, unsigned numberOfBits);
    void removeProperty(std::string_view key);
    // A new dictionary holding the current properties.
    OSPtr<OSDictionary> copyPropertyTable() const;

    // Links in the service plane; children keep their attach order.
    IORegistryEntry* getParentEntry() const;
    std::vector<OSPtr<IORegistryEntry>> copyChildEntries() const;
    bool attachToParent(IORegistryEntry* parent);
    void detachFromParent(IORegistryEntry* parent);

    // The root of the running kernel's registry ("Root"; not part of paths).
    static IORegistryEntry* getRegistryRoot();
    static void setRegistryRoot(IORegistryEntry* root);
    // "IOService:/" is the platform expert; "name@location" matches both parts, a bare name
    // the first child so named. Other planes and unknown paths give null.
    static OSPtr<IORegistryEntry> fromPath(std::string_view path);

    static std::recursive_mutex& registryLock();

  protected:
    void free() override;

  private:
    IORegistryEntry* childForComponent(std::string_view component) const;

    std::string m_name;
    std::optional<std::string> m_location;
    OSDictionary* m_properties = nullptr;
    IORegistryEntry* m_parent = nullptr;
    std::vector<IORegistryEntry*> m_children;
};

} // namespace kernel
