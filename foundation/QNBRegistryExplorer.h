// Reads the I/O Registry into nested node dictionaries and answers a few questions about it:
// whether a named service sits under the I/O Resources (the screen server's driver check),
// the Mac's model identifier and serial number, and a search over entry names. One
// process-wide instance; it keeps no registry handle past a call and takes no lock.
//
// A node dictionary holds "name" (with "@location" when the entry has one), "className",
// "state" (always empty), "inheritance" (the class chain), "regEntry" (the entry's handle,
// released once its node is built, so only an identifier) and "children".
#pragma once

#include "platform/corefoundation/Value.h"
#include "platform/iokit/IOKitLib.h"

#include <optional>
#include <string>

namespace foundation {

class QNBRegistryExplorer {
  public:
    static QNBRegistryExplorer& sharedExplorer();
    QNBRegistryExplorer();

    const std::optional<std::string>& currentPlane() const { return m_currentPlane; }
    void setCurrentPlane(std::optional<std::string> plane) { m_currentPlane = std::move(plane); }
    const cf::Value& registryDictionary() const { return m_registryDictionary; }
    void setRegistryDictionary(cf::Value dictionary) { m_registryDictionary = std::move(dictionary); }
    // Null for no plane.
    const char* currentPlaneCString() const;

    // Walks the whole registry from its root in the current plane and keeps the result.
    void buildFullRegistryDictionary();
    // The node of entry and of all its descendants. The entry stays the caller's.
    cf::Value dictForIterated(iokit::io_registry_entry_t entry) const;
    // The node (subtree) of "IOService:/IOResources/<name>", or nothing.
    std::optional<cf::Value> findNamedIORegistryService(const std::string& name) const;

    // The name of the registry root's first child (the platform expert: the model
    // identifier); nothing when the root has no child.
    static std::optional<std::string> computerModel();
    // "IOPlatformSerialNumber" of "IOService:/"; nothing when absent.
    static std::optional<std::string> machineSerialNumber();

    // An array of ":"-separated name chains from the root to each entry whose name holds text
    // (case ignored), depth first; empty unless searchKeys. Values are not searched.
    cf::Value searchResultsForText(const std::string& text, bool searchKeys, bool searchValues) const;
    static cf::Value searchKeysResultsInDictionary(const cf::Value& node, const std::string& text,
                                                   const std::string& passedPath);
    // "OSObject : IORegistryEntry : ... : className", from the root class down.
    static std::string createInheritanceStringForIORegistryClassName(const std::string& className);

  private:
    std::optional<std::string> m_currentPlane;
    cf::Value m_registryDictionary = cf::Value::emptyDictionary();
};

} // namespace foundation
