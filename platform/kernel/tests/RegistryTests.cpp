// The registry, matching on personalities, termination and power, on a kernel built in
// the test with classes of its own.
#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/kernel/IOUserClient.h"
#include "platform/kernel/Kernel.h"
#include "platform/kernel/OSArray.h"
#include "platform/kernel/OSBoolean.h"
#include "platform/kernel/OSNumber.h"
#include "platform/kernel/OSString.h"
#include "platform/kernel/ServiceMatcher.h"

#include <gtest/gtest.h>

namespace kernel {

namespace {

std::mutex gEventsMutex;
std::vector<std::string> gEvents;

void record(const IOService* service, const char* event) {
    std::lock_guard lock(gEventsMutex);
    gEvents.push_back(service->getName() + ":" + event);
}

std::vector<std::string> takeEvents() {
    std::lock_guard lock(gEventsMutex);
    return std::exchange(gEvents, {});
}

bool flag(const IOService* service, const char* key) {
    return service->getProperty(key) == kOSBooleanTrue;
}

} // namespace

class RegistryProvider : public IOService {
    OSDeclareDefaultStructors(RegistryProvider);
};
OSDefineMetaClassAndStructors(RegistryProvider, IOService);

class RegistryDriver : public IOService {
    OSDeclareDefaultStructors(RegistryDriver);

public:
    using super = IOService;
    IOService* probe(IOService* provider, int32_t* score) override {
        record(this, "probe");
        return flag(this, "RejectProbe") ? nullptr : super::probe(provider, score);
    }
    bool start(IOService* provider) override {
        record(this, "start");
        return !flag(this, "FailStart") && super::start(provider);
    }
    void stop(IOService* provider) override {
        record(this, "stop");
        super::stop(provider);
    }
    bool willTerminate(IOService* provider, uint32_t options) override {
        record(this, "willTerminate");
        return super::willTerminate(provider, options);
    }
    bool didTerminate(IOService* provider, uint32_t options, bool* defer) override {
        record(this, "didTerminate");
        return super::didTerminate(provider, options, defer);
    }
};
OSDefineMetaClassAndStructors(RegistryDriver, IOService);

class RegistryUserClient : public IOUserClient {
    OSDeclareDefaultStructors(RegistryUserClient);

public:
    using super = IOUserClient;
    bool didTerminate(IOService* provider, uint32_t options, bool* defer) override {
        record(this, "didTerminate");
        return super::didTerminate(provider, options, defer);
    }
};
OSDefineMetaClassAndStructors(RegistryUserClient, IOUserClient);

namespace {

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::installFakeClock();
        kernel = std::make_unique<Kernel>(KernelConfig{"Macmini7,1", "C07TEST", "10.12.6", true});
        takeEvents();
    }
    void TearDown() override {
        kernel.reset();
        kernel::testing::clearAttachFailures();
    }

    template <typename T> OSPtr<T> make(const char* name, IOService* parent, const char* location = nullptr) {
        auto service = adoptRetained(new T);
        service->init(nullptr);
        service->setName(name);
        if (location) service->setLocation(location);
        if (parent) {
            EXPECT_TRUE(service->attach(parent));
        }
        return service;
    }

    OSPtr<OSDictionary> personality(const char* providerClass, const char* category = nullptr,
                                    int score = 0) {
        auto p = adoptRetained(OSDictionary::withCapacity(4));
        p->setObject("IOClass", adoptRetained(OSString::withCString("RegistryDriver")).get());
        p->setObject("IOProviderClass", adoptRetained(OSString::withCString(providerClass)).get());
        if (category) p->setObject("IOMatchCategory", adoptRetained(OSString::withCString(category)).get());
        if (score) p->setObject("IOProbeScore", adoptRetained(OSNumber::withNumber(score, 32)).get());
        return p;
    }

    void offer(std::vector<OSPtr<OSDictionary>> personalities) {
        kernel->catalogue().addPersonalities("com.tessel.test.registry", personalities);
        kernel->matcher().queueRematchAll();
        kernel->waitQuiet();
    }

    std::vector<std::string> childNames(IORegistryEntry* entry) {
        std::vector<std::string> names;
        for (auto& child : entry->copyChildEntries())
            names.push_back(child->getName());
        return names;
    }

    std::unique_ptr<Kernel> kernel;
};

TEST_F(RegistryTest, TheDefaultTreeAndItsPaths) {
    IORegistryEntry* root = kernel->root();
    EXPECT_EQ(root->getName(), "Root");
    EXPECT_FALSE(root->getPath());
    IOService* expert = kernel->platformExpert();
    EXPECT_EQ(expert->getName(), "Macmini7,1");
    EXPECT_EQ(expert->getPath(), "IOService:/");
    EXPECT_TRUE(OSDynamicCast(OSString, expert->getProperty("IOPlatformSerialNumber"))->isEqualTo("C07TEST"));
    EXPECT_EQ(kernel->resources()->getPath(), "IOService:/IOResources");
    EXPECT_TRUE(kernel->resources()->getProperty("IOKit"));
    auto display = IORegistryEntry::fromPath("IOService:/BuiltInFramebuffer@0/display0");
    ASSERT_TRUE(display);
    EXPECT_STREQ(display->getClassName(), "IODisplayConnect");
    EXPECT_EQ(kernel->matchingServices("IODisplayConnect").size(), 1u);
    EXPECT_EQ(IORegistryEntry::fromPath("IOService:/").get(), expert);
    EXPECT_EQ(IORegistryEntry::fromPath("IOService:/BuiltInFramebuffer").get(), display->getParentEntry());
    EXPECT_FALSE(IORegistryEntry::fromPath("IOService:/BuiltInFramebuffer@1"));
    EXPECT_FALSE(IORegistryEntry::fromPath("IOService:/IOResources/"));
    EXPECT_FALSE(IORegistryEntry::fromPath("IOService:/IOResources//x"));
    EXPECT_FALSE(IORegistryEntry::fromPath("IODeviceTree:/"));
    EXPECT_FALSE(IORegistryEntry::fromPath("IOService:/Nothing"));
}

TEST_F(RegistryTest, NamesAndPathsHaveLimitsAndAreNeverCut) {
    auto entry = make<IOService>("short", kernel->resources());
    EXPECT_FALSE(entry->setName(std::string(128, 'n')));
    EXPECT_EQ(entry->getName(), "short");
    EXPECT_TRUE(entry->setName(std::string(127, 'n')));
    OSPtr<IOService> deep = entry;
    std::vector<OSPtr<IOService>> chain;
    for (int i = 0; i < 4; ++i) {
        chain.push_back(make<IOService>(std::string(127, 'a' + i).c_str(), deep.get()));
        deep = chain.back();
    }
    EXPECT_FALSE(deep->getPath()) << "over 511 bytes";
    EXPECT_TRUE(chain[1]->getPath());
    EXPECT_FALSE(IORegistryEntry::fromPath("IOService:/" + std::string(600, 'x')));
}

TEST_F(RegistryTest, ChildrenKeepAttachOrderAndADetachedEntryHasNoPath) {
    IOService* resources = kernel->resources();
    auto a = make<IOService>("a", resources);
    auto b = make<IOService>("b", resources);
    auto c = make<IOService>("c", resources);
    b->detach(resources);
    b->detach(resources);
    EXPECT_FALSE(b->getPath());
    EXPECT_TRUE(b->attach(resources));
    // The built-in HID system is the first child of the resources.
    EXPECT_EQ(childNames(resources), (std::vector<std::string>{"IOHIDSystem", "a", "c", "b"}));
    EXPECT_FALSE(a->attach(b.get())) << "one provider at a time";
}

TEST_F(RegistryTest, MatchingSeesRegisteredProvidersOnlyAndFollowsTheRules) {
    auto provider = make<RegistryProvider>("provider", kernel->resources());
    auto compatible = adoptRetained(OSArray::withCapacity(2));
    compatible->setObject(adoptRetained(OSString::withCString("foo")).get());
    compatible->setObject(adoptRetained(OSString::withCString("bar")).get());
    provider->setProperty("compatible", compatible.get());
    auto byName = personality("IOService");
    byName->setObject("IONameMatch", adoptRetained(OSString::withCString("bar")).get());
    auto wrongName = personality("RegistryProvider", "other");
    wrongName->setObject("IONameMatch", adoptRetained(OSString::withCString("baz")).get());
    auto noResource = personality("RegistryProvider", "third");
    noResource->setObject("IOResourceMatch", adoptRetained(OSString::withCString("NoSuchResource")).get());
    offer({byName, wrongName, noResource});
    EXPECT_TRUE(childNames(provider.get()).empty()) << "not registered yet";
    provider->registerService();
    kernel->waitQuiet();
    EXPECT_EQ(childNames(provider.get()), std::vector<std::string>{"RegistryDriver"});
    EXPECT_EQ(takeEvents(), (std::vector<std::string>{"RegistryDriver:probe", "RegistryDriver:start"}));
    kernel->matcher().queueRematchAll();
    kernel->waitQuiet();
    EXPECT_EQ(childNames(provider.get()).size(), 1u) << "its category is taken";
}

TEST_F(RegistryTest, ProbeScoreRanksWithinACategoryAndEachCategoryGetsADriver) {
    auto provider = make<RegistryProvider>("provider", kernel->resources());
    provider->registerService();
    kernel->waitQuiet();
    auto low = personality("RegistryProvider", nullptr, 1);
    low->setObject("Tag", adoptRetained(OSString::withCString("low")).get());
    auto high = personality("RegistryProvider", nullptr, 5);
    high->setObject("Tag", adoptRetained(OSString::withCString("high")).get());
    auto own = personality("RegistryProvider", "own");
    own->setObject("Tag", adoptRetained(OSString::withCString("own")).get());
    offer({low, high, own});
    std::vector<std::string> tags;
    for (auto& child : provider->copyChildEntries()) {
        tags.push_back(OSDynamicCast(OSString, child->getProperty("Tag"))->string());
    }
    EXPECT_EQ(tags, (std::vector<std::string>{"high", "own"}));
}

TEST_F(RegistryTest, RejectedOrFailedDriversAreDetachedAndFreed) {
    auto provider = make<RegistryProvider>("provider", kernel->resources());
    provider->registerService();
    kernel->waitQuiet();
    const OSMetaClass* meta = OSMetaClass::getMetaClassWithName("RegistryDriver");
    uint32_t before = meta->getInstanceCount();
    auto reject = personality("RegistryProvider", "reject");
    reject->setObject("RejectProbe", kOSBooleanTrue);
    auto fail = personality("RegistryProvider", "fail");
    fail->setObject("FailStart", kOSBooleanTrue);
    offer({reject, fail});
    EXPECT_TRUE(childNames(provider.get()).empty());
    EXPECT_EQ(meta->getInstanceCount(), before);
    EXPECT_EQ(takeEvents(), (std::vector<std::string>{"RegistryDriver:probe", "RegistryDriver:probe",
                                                      "RegistryDriver:start"}));
}

TEST_F(RegistryTest, AnAttachMadeToFailLeavesTheProviderWithoutADriver) {
    auto provider = make<RegistryProvider>("provider", kernel->resources());
    kernel::testing::failNthAttach("RegistryDriver", 1);
    provider->registerService();
    kernel->waitQuiet();
    offer({personality("RegistryProvider")});
    EXPECT_TRUE(childNames(provider.get()).empty());
    kernel->matcher().queueRematchAll();
    kernel->waitQuiet();
    EXPECT_EQ(childNames(provider.get()).size(), 1u) << "only the first attach fails";
}

TEST_F(RegistryTest, TerminationTellsUserClientsFirstAndStopsChildrenFirst) {
    auto provider = make<RegistryProvider>("provider", kernel->resources());
    provider->registerService();
    kernel->waitQuiet();
    offer({personality("RegistryProvider")});
    OSPtr<IORegistryEntry> driverEntry = provider->copyChildEntries().at(0);
    auto* driver = OSDynamicCast(IOService, driverEntry.get());
    auto child = make<RegistryDriver>("child", driver);
    child->markStarted(driver);
    auto client = make<RegistryUserClient>("client", driver);
    takeEvents();
    driver->terminate();
    EXPECT_TRUE(driver->isInactive()) << "inactive at once";
    EXPECT_FALSE(driver->open(client.get()));
    kernel->waitQuiet();
    EXPECT_EQ(takeEvents(),
              (std::vector<std::string>{"client:didTerminate", "child:willTerminate", "child:didTerminate",
                                        "child:stop", "RegistryDriver:stop"}));
    EXPECT_TRUE(childNames(provider.get()).empty());
    EXPECT_TRUE(child->isInactive());
    EXPECT_FALSE(child->getParentEntry());
}

TEST_F(RegistryTest, MatchingServicesAreRegisteredOnesInDepthFirstOrder) {
    auto first = make<RegistryProvider>("first", kernel->resources());
    auto inner = make<RegistryProvider>("inner", first.get());
    auto second = make<RegistryProvider>("second", kernel->resources());
    auto hidden = make<RegistryProvider>("hidden", kernel->resources());
    second->registerService();
    first->registerService();
    inner->registerService();
    kernel->waitQuiet();
    std::vector<std::string> names;
    for (auto& s : kernel->matchingServices("RegistryProvider"))
        names.push_back(s->getName());
    EXPECT_EQ(names, (std::vector<std::string>{"first", "inner", "second"}));
    inner->terminate();
    kernel->waitQuiet();
    EXPECT_EQ(kernel->matchingServices("RegistryProvider").size(), 2u);
}

TEST_F(RegistryTest, OpenIsExclusive) {
    auto service = make<IOService>("service", kernel->resources());
    auto a = make<IOService>("a", nullptr);
    auto b = make<IOService>("b", nullptr);
    EXPECT_FALSE(service->isOpen());
    EXPECT_TRUE(service->open(a.get()));
    EXPECT_TRUE(service->open(a.get()));
    EXPECT_FALSE(service->open(b.get()));
    EXPECT_TRUE(service->isOpen());
    EXPECT_TRUE(service->isOpen(a.get()));
    service->close(b.get());
    EXPECT_TRUE(service->isOpen(a.get()));
    service->close(a.get());
    EXPECT_TRUE(service->open(b.get()));
}

TEST_F(RegistryTest, PowerDriverRegistrationIsChecked) {
    auto service = make<IOService>("service", kernel->resources());
    IOPMPowerState states[2] = {{1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                                {1, 0x8000, 2, 2, 0, 0, 0, 0, 0, 0, 0, 0}};
    EXPECT_EQ(service->registerPowerDriver(service.get(), states, 0), kIOReturnBadArgument);
    states[1].version = 2;
    EXPECT_EQ(service->registerPowerDriver(service.get(), states, 2), kIOReturnBadArgument);
    states[1].version = 1;
    EXPECT_EQ(service->changePowerStateTo(0), kIOReturnBadArgument) << "no states yet";
    ASSERT_EQ(service->registerPowerDriver(service.get(), states, 2), kIOReturnSuccess);
    EXPECT_EQ(service->temporaryPowerClampOn(), kIOReturnSuccess);
    EXPECT_EQ(service->getPowerState(), 1u);
    EXPECT_EQ(service->changePowerStateTo(0), kIOReturnSuccess);
    EXPECT_EQ(service->changePowerStateTo(2), kIOReturnBadArgument);
    EXPECT_EQ(service->getPowerState(), 0u);
}

} // namespace
} // namespace kernel
