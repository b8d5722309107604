// Kernel objects: class names and casts, counting, collections, conversions, memory, and
// the small library drivers call.
#include "platform/kernel/IOBufferMemoryDescriptor.h"
#include "platform/kernel/IODeviceMemory.h"
#include "platform/kernel/IOLib.h"
#include "platform/kernel/IOService.h"
#include "platform/kernel/OSArray.h"
#include "platform/kernel/OSBoolean.h"
#include "platform/kernel/OSData.h"
#include "platform/kernel/OSDictionary.h"
#include "platform/kernel/OSNumber.h"
#include "platform/kernel/OSString.h"
#include "platform/kernel/OSSymbol.h"
#include "platform/kernel/OSValueConversion.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>

namespace kernel {

class LibkernBase : public IOService {
    OSDeclareDefaultStructors(LibkernBase);
};
OSDefineMetaClassAndStructors(LibkernBase, IOService);

class LibkernDerived : public LibkernBase {
    OSDeclareDefaultStructors(LibkernDerived);
};
OSDefineMetaClassAndStructors(LibkernDerived, LibkernBase);

namespace {

TEST(Libkern, CastsFollowClassNamesAlongTheChain) {
    auto derived = adoptRetained(OSMetaClass::allocClassWithName("LibkernDerived"));
    ASSERT_TRUE(derived);
    EXPECT_EQ(OSDynamicCast(LibkernBase, derived.get()), static_cast<OSObject*>(derived.get()));
    EXPECT_TRUE(OSDynamicCast(IOService, derived.get()));
    EXPECT_TRUE(OSDynamicCast(IORegistryEntry, derived.get()));
    EXPECT_FALSE(OSDynamicCast(OSString, derived.get()));
    EXPECT_FALSE(OSDynamicCast(LibkernBase, static_cast<OSObject*>(nullptr)));
    EXPECT_TRUE(derived->metaCast("LibkernBase"));
    EXPECT_FALSE(derived->metaCast("LibkernOther"));
    EXPECT_EQ(OSMetaClass::superClassNameOf("LibkernDerived"), "LibkernBase");
    EXPECT_EQ(OSMetaClass::superClassNameOf("IOService"), "IORegistryEntry");
    EXPECT_EQ(OSMetaClass::superClassNameOf("OSObject"), std::nullopt);
    EXPECT_EQ(OSMetaClass::superClassNameOf("NoSuchClass"), std::nullopt);
    EXPECT_FALSE(OSMetaClass::allocClassWithName("NoSuchClass"));
    EXPECT_FALSE(OSMetaClass::allocClassWithName("OSBoolean")) << "abstract";
}

TEST(Libkern, LiveInstancesAreCountedPerClass) {
    const OSMetaClass* meta = OSMetaClass::getMetaClassWithName("LibkernDerived");
    ASSERT_TRUE(meta);
    uint32_t before = meta->getInstanceCount();
    OSObject* a = meta->alloc();
    auto* b = new LibkernDerived;
    EXPECT_EQ(meta->getInstanceCount(), before + 2);
    a->retain();
    a->release();
    EXPECT_EQ(meta->getInstanceCount(), before + 2);
    a->release();
    b->release();
    EXPECT_EQ(meta->getInstanceCount(), before);
}

TEST(Libkern, SymbolsAreInternedWhileTheyLive) {
    const OSSymbol* a = OSSymbol::withCString("LibkernSymbol");
    const OSSymbol* b = OSSymbol::withCString("LibkernSymbol");
    EXPECT_EQ(a, b);
    EXPECT_EQ(a->getRetainCount(), 2);
    EXPECT_TRUE(a->isEqualTo("LibkernSymbol"));
    a->release();
    b->release();
    const OSSymbol* c = OSSymbol::withCString("LibkernSymbol");
    EXPECT_EQ(c->getRetainCount(), 1);
    c->release();
}

TEST(Libkern, CollectionsRetainWhatTheyHoldAndCompareByValue) {
    auto text = adoptRetained(OSString::withCString("x"));
    auto dictionary = adoptRetained(OSDictionary::withCapacity(1));
    dictionary->setObject("k", text.get());
    EXPECT_EQ(text->getRetainCount(), 2);
    EXPECT_EQ(dictionary->getObject("k"), text.get());
    EXPECT_EQ(text->getRetainCount(), 2) << "getObject does not retain";
    dictionary->setObject("k", adoptRetained(OSNumber::withNumber(3, 32)).get());
    EXPECT_EQ(text->getRetainCount(), 1) << "a replaced object is released";
    EXPECT_FALSE(dictionary->setObject("null", nullptr));
    auto copy = adoptRetained(OSDictionary::withDictionary(dictionary.get()));
    EXPECT_TRUE(copy->isEqualTo(dictionary.get()));
    copy->removeObject("k");
    EXPECT_FALSE(copy->isEqualTo(dictionary.get()));
    auto array = adoptRetained(OSArray::withCapacity(2));
    array->setObject(text.get());
    EXPECT_EQ(array->getObject(0), text.get());
    EXPECT_EQ(array->getObject(1), nullptr);
    EXPECT_TRUE(OSBoolean::withBoolean(true)->isTrue());
    kOSBooleanTrue->release(); // immortal
    EXPECT_TRUE(kOSBooleanTrue->isTrue());
}

TEST(Libkern, NumbersKeepTheirWidth) {
    EXPECT_FALSE(OSNumber::withNumber(1, 12));
    auto n = adoptRetained(OSNumber::withNumber(0x1FFFF, 16));
    EXPECT_EQ(n->unsigned64BitValue(), 0xFFFFu);
    EXPECT_EQ(n->numberOfBits(), 16u);
}

TEST(Libkern, ConversionToPropertyListValuesKeepsBitPatternsAndWidths) {
    auto dictionary = adoptRetained(OSDictionary::withCapacity(4));
    dictionary->setObject("i8", adoptRetained(OSNumber::withNumber(0xFF, 8)).get());
    dictionary->setObject("i16", adoptRetained(OSNumber::withNumber(3, 16)).get());
    dictionary->setObject("i32", adoptRetained(OSNumber::withNumber(0x99730002, 32)).get());
    dictionary->setObject("b", kOSBooleanFalse);
    const uint8_t bytes[] = {1, 2, 3};
    dictionary->setObject("d", adoptRetained(OSData::withBytes(bytes, 3)).get());
    auto value = valueFromOSObject(dictionary.get());
    ASSERT_TRUE(value);
    EXPECT_EQ(value->find("i8")->numberType(), cf::kCFNumberSInt8Type);
    EXPECT_EQ(value->find("i8")->storedInteger(), -1);
    EXPECT_EQ(value->find("i16")->numberType(), cf::kCFNumberSInt16Type);
    EXPECT_EQ(value->find("i32")->numberType(), cf::kCFNumberSInt32Type);
    EXPECT_EQ(static_cast<uint32_t>(*value->find("i32")->storedInteger()), 0x99730002u);
    EXPECT_TRUE(value->find("b")->isBoolean());
    EXPECT_EQ(value->find("d")->count(), 3u);

    cf::Dictionary plist{{"s", cf::Value("t")},
                         {"n", cf::Value(int64_t(1) << 40)},
                         {"date", cf::Value::date(5)},
                         {"a", cf::Value(cf::Array{cf::Value(true), cf::Value(2.5)})}};
    OSPtr<OSObject> object = OSObjectFromValue(cf::Value(plist));
    auto* converted = OSDynamicCast(OSDictionary, object.get());
    ASSERT_TRUE(converted);
    EXPECT_TRUE(OSDynamicCast(OSString, converted->getObject("s"))->isEqualTo("t"));
    EXPECT_EQ(OSDynamicCast(OSNumber, converted->getObject("n"))->numberOfBits(), 64u);
    EXPECT_EQ(converted->getObject("date"), nullptr) << "dates have no kernel form";
    EXPECT_EQ(OSDynamicCast(OSArray, converted->getObject("a"))->getCount(), 1u) << "reals are left out";
}

TEST(Libkern, BufferAndSubRangeStayInsideTheirMemory) {
    auto buffer = adoptRetained(IOBufferMemoryDescriptor::withOptions(0x10003, 10000, 4096));
    ASSERT_TRUE(buffer);
    EXPECT_EQ(buffer->getLength(), 10000u);
    EXPECT_GE(buffer->memfd(), 0);
    uint8_t data[64];
    std::memset(data, 0xAB, sizeof data);
    EXPECT_EQ(buffer->writeBytes(9990, data, sizeof data), 10u);
    EXPECT_EQ(buffer->writeBytes(10000, data, 1), 0u);
    EXPECT_EQ(buffer->readBytes(20000, data, 1), 0u);
    auto range = adoptRetained(IODeviceMemory::withSubRange(buffer.get(), 9990, 10));
    ASSERT_TRUE(range);
    EXPECT_EQ(buffer->getRetainCount(), 2) << "the range keeps its parent";
    EXPECT_EQ(range->memfdOffset(), 9990u);
    uint8_t back[10] = {};
    EXPECT_EQ(range->readBytes(0, back, sizeof back), 10u);
    EXPECT_EQ(back[9], 0xAB);
    EXPECT_FALSE(IODeviceMemory::withSubRange(buffer.get(), 9990, 11));
    EXPECT_FALSE(IODeviceMemory::withSubRange(buffer.get(), std::numeric_limits<IOByteCount>::max(), 2));
    EXPECT_FALSE(IODeviceMemory::withSubRange(buffer.get(), 1, std::numeric_limits<IOByteCount>::max()));
    EXPECT_FALSE(IODeviceMemory::withSubRange(nullptr, 0, 0));
    EXPECT_FALSE(IOBufferMemoryDescriptor::withOptions(0x10003, 0));
}

TEST(Libkern, VersionAndModelForDrivers) {
    EXPECT_EQ(versionMajorForProductVersion("10.12.6"), 16);
    EXPECT_EQ(versionMajorForProductVersion("10.6.4"), 10);
    EXPECT_EQ(versionMajorForProductVersion("11.2"), 20);
    EXPECT_EQ(versionMajorForProductVersion("junk"), 0);
    setMachineModel("MacBookPro11,5");
    char model[8];
    ASSERT_TRUE(PEGetModelName(model, sizeof model));
    EXPECT_STREQ(model, "MacBook");
    EXPECT_FALSE(PEGetModelName(model, 0));
    void* slot = nullptr;
    int a = 0, b = 0;
    EXPECT_TRUE(OSCompareAndSwapPtr(nullptr, &a, &slot));
    EXPECT_FALSE(OSCompareAndSwapPtr(nullptr, &b, &slot));
    EXPECT_EQ(slot, &a);
    EXPECT_STREQ(IOReturnName(kIOReturnExclusiveAccess), "kIOReturnExclusiveAccess");
    EXPECT_STREQ(IOReturnName(static_cast<IOReturn>(0xE0000001)), "0xE0000001");
}

} // namespace
} // namespace kernel
