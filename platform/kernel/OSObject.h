// The root of every kernel object: an intrusive reference count, free() when it reaches
// zero, and the metaclass that names the object's class. Single, non-virtual inheritance.
#pragma once

#include "platform/kernel/OSMetaClass.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

// Declares the metaclass, the counted operator new and delete, and the default structors
// of a kernel class. Put it first in the class body, with a semicolon; it leaves the body
// private.
#define OSDeclareDefaultStructors(className)                                                                 \
  public:                                                                                                    \
    static const ::kernel::OSMetaClass gMetaClass;                                                           \
    static const ::kernel::OSMetaClass* metaClass() {                                                        \
        return &gMetaClass;                                                                                  \
    }                                                                                                        \
    const ::kernel::OSMetaClass* getMetaClass() const override {                                             \
        return &gMetaClass;                                                                                  \
    }                                                                                                        \
    static void* operator new(size_t size);                                                                  \
    static void operator delete(void* pointer, size_t size);                                                 \
    className();                                                                                             \
    ~className() override;                                                                                   \
                                                                                                             \
  private:

#define OSDefineMetaClassWithFactory(className, superclassName, factory)                                     \
    const ::kernel::OSMetaClass className::gMetaClass(#className, #superclassName, factory);                 \
    void* className::operator new(size_t size) {                                                             \
        return ::kernel::OSMetaClass::allocInstance(gMetaClass, size);                                       \
    }                                                                                                        \
    void className::operator delete(void* pointer, size_t size) {                                            \
        ::kernel::OSMetaClass::freeInstance(gMetaClass, pointer, size);                                      \
    }                                                                                                        \
    className::className() {}                                                                                \
    className::~className() {}

#define OSDefineMetaClassAndStructors(className, superclassName)                                             \
    OSDefineMetaClassWithFactory(className, superclassName,                                                  \
                                 []() -> ::kernel::OSObject* { return new className; })

#define OSDefineMetaClassAndAbstractStructors(className, superclassName)                                     \
    OSDefineMetaClassWithFactory(className, superclassName, nullptr)

namespace kernel {

class OSObject {
  public:
    static const OSMetaClass gMetaClass;
    static const OSMetaClass* metaClass() { return &gMetaClass; }
    virtual const OSMetaClass* getMetaClass() const { return &gMetaClass; }
    static void* operator new(size_t size);
    static void operator delete(void* pointer, size_t size);

    OSObject(const OSObject&) = delete;
    OSObject& operator=(const OSObject&) = delete;

    void retain() const;
    void release() const;
    int32_t getRetainCount() const { return m_retainCount.load(); }

    virtual bool init() { return true; }
    virtual bool isEqualTo(const OSObject* other) const { return this == other; }

    // True when the object's class, or one of its superclasses, has this name.
    bool metaCast(const char* className) const { return getMetaClass()->isKindOf(className); }
    const char* getClassName() const { return getMetaClass()->getClassName(); }

  protected:
    OSObject() = default;
    // For objects that live for the whole process (kOSBooleanTrue): release never frees them.
    struct Immortal {};
    explicit OSObject(Immortal) : m_immortal(true) {}
    virtual ~OSObject() = default;
    // Called when the last reference goes; subclasses release what they hold, then call up.
    virtual void free();

  private:
    mutable std::atomic<int32_t> m_retainCount{1};
    bool m_immortal = false;
};

template <typename T> T* osDynamicCast(OSObject* object) {
    if (!object || !object->metaCast(T::metaClass()->getClassName())) return nullptr;
    return static_cast<T*>(object);
}

template <typename T> const T* osDynamicCast(const OSObject* object) {
    if (!object || !object->metaCast(T::metaClass()->getClassName())) return nullptr;
    return static_cast<const T*>(object);
}

// The object as a T when its class chain holds T's name, else null.
#define OSDynamicCast(type, inst) (::kernel::osDynamicCast<type>(inst))

// Releases a reference and clears the variable.
#define OSSafeReleaseNULL(inst)                                                                              \
    do {                                                                                                     \
        if (inst) (inst)->release();                                                                         \
        (inst) = nullptr;                                                                                    \
    } while (0)

} // namespace kernel
