// The run-time class of every kernel object. Classes are found by name, never by C++ RTTI:
// a kext may cast to a class that another kext defines without linking it. A metaclass is
// registered by its kext's static initialisation at dlopen and removed again at dlclose.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kernel {

class OSObject;

class OSMetaClass {
  public:
    using Factory = OSObject* (*)();

    // superClassName is null only for OSObject; factory is null for abstract classes.
    OSMetaClass(const char* className, const char* superClassName, Factory factory);
    ~OSMetaClass();
    OSMetaClass(const OSMetaClass&) = delete;
    OSMetaClass& operator=(const OSMetaClass&) = delete;

    const char* getClassName() const { return m_className; }
    const char* getSuperClassName() const { return m_superClassName; }
    // The superclass's metaclass, looked up by name; null at OSObject or when unknown.
    const OSMetaClass* getSuperClass() const;
    // Bundle identifier of the owning kext; empty for the kernel's own classes.
    const std::string& getKextIdentifier() const { return m_kextIdentifier; }
    uint32_t getInstanceCount() const { return m_instanceCount.load(); }
    // True when className names this class or one of its superclasses.
    bool isKindOf(std::string_view className) const;
    // A new instance with one reference, or null for an abstract class.
    OSObject* alloc() const;

    static const OSMetaClass* getMetaClassWithName(std::string_view className);
    static OSObject* allocClassWithName(std::string_view className);
    // The superclass name of a registered class; nullopt at OSObject or for an unknown class.
    static std::optional<std::string> superClassNameOf(std::string_view className);

    // Storage for instances; the class-specific operator new and delete call these so that
    // every live instance is counted against its class.
    static void* allocInstance(const OSMetaClass& meta, size_t size);
    static void freeInstance(const OSMetaClass& meta, void* pointer, size_t size);

    // Classes constructed between these calls belong to the kext being loaded. A class whose
    // name is taken already stays unregistered and is reported as a duplicate.
    struct KextLoadResult {
        std::vector<std::string> classes;
        std::vector<std::string> duplicates;
    };
    static void beginKextLoad(const std::string& identifier);
    static KextLoadResult endKextLoad();
    static uint32_t instanceCountOfKext(const std::string& identifier);
    // Unregisters every class of the kext (before dlclose, in case its destructors never run).
    static void removeClassesOfKext(const std::string& identifier);

  private:
    const char* m_className;
    const char* m_superClassName;
    Factory m_factory;
    std::string m_kextIdentifier;
    mutable std::atomic<uint32_t> m_instanceCount{0};
};

} // namespace kernel
