// The I/O Kit facade in-process: the registry, matching, handles and user-client calls against
// the real kernel and kexts on the fake clock, and every call's answer without a kernel.
#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/iokit/IOKitLib.h"
#include "platform/iokit/IOKitRequestServer.h"
#include "platform/iokit/InProcessKernel.h"
#include "platform/ipc/Connection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <numeric>

namespace iokit {

namespace {

const std::string kKextDir = TESSEL_KEXT_DIR;

std::string framebufferPath(int index) {
    return "IOService:/IOResources/QNExGFX/Quenby Virtual Display@" + std::to_string(index) +
           "/QNExFramebuffer@" + std::to_string(index);
}

// Counts the requests that reach the kernel.
class CountingTransport : public IOKitTransport {
  public:
    explicit CountingTransport(std::shared_ptr<IOKitTransport> inner) : m_inner(std::move(inner)) {}
    std::optional<cf::Value> request(std::string_view op, const cf::Value& args) override {
        ++count;
        return m_inner->request(op, args);
    }
    std::atomic<int> count{0};

  private:
    std::shared_ptr<IOKitTransport> m_inner;
};

std::string nameOf(io_object_t entry) {
    io_name_t name = {};
    EXPECT_EQ(IORegistryEntryGetNameInPlane(entry, kIOServicePlane, name), kIOReturnSuccess);
    return name;
}

std::string pathOf(io_object_t entry) {
    io_string_t path = {};
    EXPECT_EQ(IORegistryEntryGetPath(entry, kIOServicePlane, path), kIOReturnSuccess);
    return path;
}

} // namespace

class IOKitFacade : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::installFakeClock();
        InProcessKernelOptions options;
        options.kexts = {kKextDir + "/QNVideoCard.kext", kKextDir + "/QNFramebuffer.kext"};
        m_kernel = std::make_shared<InProcessKernel>(options);
        m_kernel->install();
    }
    void TearDown() override {
        m_kernel->shutdown();
        EXPECT_FALSE(m_log.contains("still has"));
    }

    io_connect_t openFramebuffer(int index, IOReturn* result = nullptr) {
        io_service_t service = IORegistryEntryFromPath(kIOMasterPortDefault, framebufferPath(index).c_str());
        io_connect_t c = 123;
        IOReturn r = IOServiceOpen(service, mach_task_self(), 0x1000, &c);
        IOObjectRelease(service);
        if (result) *result = r;
        return c;
    }

    bool displayShown(uint32_t id) {
        m_kernel->windowServer()->sync();
        return m_kernel->windowServer()->display(id).has_value();
    }

    platform::LogCapture m_log{true};
    std::shared_ptr<InProcessKernel> m_kernel;
};

TEST(IOKitWithoutKernel, EveryCallAnswersTheIPCErrorAndFillsNothing) {
    platform::LogCapture quiet(true);
    ::setenv("PLATFORM_ROOT", "/tmp/no-such-root.iokit", 1);
    ipc::Connection::resetShared();
    IOKitSetTransport(nullptr);
    mach_port_t port = 0;
    EXPECT_EQ(IOMasterPort(0, &port), kIOReturnSuccess);
    EXPECT_NE(port, 0u);
    EXPECT_EQ(IORegistryGetRootEntry(port), 0u);
    EXPECT_EQ(IORegistryEntryFromPath(0, "IOService:/"), 0u);
    io_iterator_t iterator = 77;
    EXPECT_EQ(IOServiceGetMatchingServices(0, IOServiceMatching("IOService"), &iterator), kIOReturnIPCError);
    EXPECT_EQ(iterator, 0u);
    EXPECT_EQ(IOIteratorNext(5), 0u);
    EXPECT_EQ(IOObjectRelease(5), kIOReturnIPCError);
    EXPECT_EQ(IOObjectRelease(0), kIOReturnSuccess);
    io_name_t name = "untouched";
    EXPECT_EQ(IORegistryEntryGetNameInPlane(5, kIOServicePlane, name), kIOReturnIPCError);
    EXPECT_STREQ(name, "untouched");
    EXPECT_FALSE(IORegistryEntryCreateCFProperty(5, "IOKit"));
    EXPECT_FALSE(IOObjectCopySuperclassForClass("IOService"));
    io_connect_t c = 9;
    EXPECT_EQ(IOServiceOpen(5, mach_task_self(), 0x1000, &c), kIOReturnIPCError);
    EXPECT_EQ(c, 0u);
    uint64_t out[4] = {1, 2, 3, 4};
    uint32_t outCount = 4;
    EXPECT_EQ(IOConnectCallScalarMethod(5, 5, nullptr, 0, out, &outCount), kIOReturnIPCError);
    EXPECT_EQ(outCount, 0u);
    EXPECT_EQ(out[0], 1u);
    EXPECT_FALSE(IOKitLiveHandleCount());
}

TEST_F(IOKitFacade, TheRegistryReadsAsTheKernelBuiltIt) {
    io_registry_entry_t root = IORegistryGetRootEntry(kIOMasterPortDefault);
    ASSERT_NE(root, 0u);
    EXPECT_EQ(nameOf(root), "Root");
    io_name_t location = {};
    EXPECT_EQ(IORegistryEntryGetLocationInPlane(root, kIOServicePlane, location), kIOReturnNotFound);
    io_iterator_t children = 0;
    ASSERT_EQ(IORegistryEntryGetChildIterator(root, kIOServicePlane, &children), kIOReturnSuccess);
    io_object_t expert = IOIteratorNext(children);
    EXPECT_EQ(nameOf(expert), "Macmini7,1");
    EXPECT_EQ(pathOf(expert), "IOService:/");
    EXPECT_EQ(IORegistryEntryCreateCFProperty(expert, "IOPlatformSerialNumber"), cf::Value("C07STANDIN01"));
    EXPECT_EQ(IORegistryEntryGetChildIterator(root, "IODeviceTree", &children), kIOReturnBadArgument);
    EXPECT_EQ(IORegistryEntryGetNameInPlane(expert, "IODeviceTree", location), kIOReturnBadArgument);

    io_object_t gfx = IORegistryEntryFromPath(kIOMasterPortDefault, "IOService:/IOResources/QNExGFX");
    io_name_t className = {};
    ASSERT_EQ(IOObjectGetClass(gfx, className), kIOReturnSuccess);
    EXPECT_STREQ(className, "QNExVideo");
    std::vector<std::string> chain;
    for (auto c = IOObjectCopySuperclassForClass(className); c; c = IOObjectCopySuperclassForClass(*c))
        chain.push_back(*c);
    EXPECT_EQ(chain, (std::vector<std::string>{"IOService", "IORegistryEntry", "OSObject"}));
    EXPECT_FALSE(IOObjectCopySuperclassForClass("NoSuchClass"));

    for (int i = 0; i < 4; ++i) {
        std::string nub = "IOService:/IOResources/QNExGFX/Quenby Virtual Display@" + std::to_string(i);
        io_object_t display = IORegistryEntryFromPath(kIOMasterPortDefault, nub.c_str());
        auto number = IORegistryEntryCreateCFProperty(display, "displayNum");
        ASSERT_TRUE(number);
        EXPECT_EQ(number->numberType(), cf::kCFNumberSInt16Type);
        EXPECT_EQ(number->integerValue(), i);
        io_object_t framebuffer = IORegistryEntryFromPath(kIOMasterPortDefault, framebufferPath(i).c_str());
        EXPECT_EQ(IORegistryEntryCreateCFProperty(framebuffer, "IOAccelIndex"), number);
        EXPECT_FALSE(IORegistryEntryCreateCFProperty(framebuffer, "NoSuchKey"));
        IOObjectRelease(display);
        IOObjectRelease(framebuffer);
    }
    for (io_object_t h : {root, children, expert, gfx})
        EXPECT_EQ(IOObjectRelease(h), kIOReturnSuccess);
}

TEST_F(IOKitFacade, MatchingFindsRegisteredServicesByClassChainInRegistryOrder) {
    io_iterator_t iterator = 0;
    ASSERT_EQ(IOServiceGetMatchingServices(0, IOServiceMatching("IOFramebuffer"), &iterator),
              kIOReturnSuccess);
    std::vector<std::string> paths;
    while (io_object_t service = IOIteratorNext(iterator)) {
        paths.push_back(pathOf(service));
        IOObjectRelease(service);
    }
    EXPECT_EQ(paths, (std::vector<std::string>{framebufferPath(0), framebufferPath(1), framebufferPath(2),
                                               framebufferPath(3)}));
    IOObjectRelease(iterator);

    ASSERT_EQ(IOServiceGetMatchingServices(0, IOServiceMatching("NoSuchClass"), &iterator), kIOReturnSuccess);
    EXPECT_EQ(IOIteratorNext(iterator), 0u);
    IOObjectRelease(iterator);
    EXPECT_FALSE(IOServiceMatching(nullptr));
    EXPECT_EQ(IOServiceGetMatchingServices(0, std::nullopt, &iterator), kIOReturnBadArgument);
    auto twoKeys = IOServiceMatching("IOService")->setting("IONameMatch", cf::Value("x"));
    EXPECT_EQ(IOServiceGetMatchingServices(0, twoKeys, &iterator), kIOReturnUnsupported);
    EXPECT_EQ(IOServiceGetMatchingServices(12345, IOServiceMatching("IOService"), &iterator),
              kIOReturnBadArgument);
}

TEST_F(IOKitFacade, HandlesAreNewEachTimeAndDeadOnceReleased) {
    uint64_t before = IOKitLiveHandleCount().value_or(99);
    io_object_t a = IORegistryEntryFromPath(0, "IOService:/IOResources");
    io_object_t b = IORegistryEntryFromPath(0, "IOService:/IOResources");
    EXPECT_NE(a, 0u);
    EXPECT_NE(a, b);
    EXPECT_EQ(IOKitLiveHandleCount(), before + 2);
    EXPECT_EQ(IOObjectRelease(a), kIOReturnSuccess);
    io_name_t name = {};
    EXPECT_EQ(IORegistryEntryGetNameInPlane(a, kIOServicePlane, name), kIOReturnBadArgument);
    EXPECT_EQ(IOObjectRelease(a), kIOReturnBadArgument);
    EXPECT_EQ(IORegistryEntryGetNameInPlane(0, kIOServicePlane, name), kIOReturnBadArgument);
    EXPECT_EQ(IOIteratorNext(b), 0u) << "an entry is no iterator";
    EXPECT_EQ(IOServiceClose(b), kIOReturnBadArgument) << "an entry is no connection";
    io_object_t c = IORegistryEntryFromPath(0, "IOService:/IOResources");
    EXPECT_GT(c, b) << "handles are never reused";
    EXPECT_EQ(IORegistryEntryFromPath(0, "IOService:/NoSuchEntry"), 0u);
    EXPECT_EQ(IORegistryEntryFromPath(0, std::string(600, 'x').c_str()), 0u);
    IOObjectRelease(b);
    IOObjectRelease(c);
    EXPECT_EQ(IOKitLiveHandleCount(), before);
}

TEST_F(IOKitFacade, ScalarCallsCarryLongModeListsAndRefuseOversizedOnesAtOnce) {
    auto counting = std::make_shared<CountingTransport>(m_kernel);
    IOKitSetTransport(counting);
    IOReturn r;
    io_connect_t c = openFramebuffer(1, &r);
    ASSERT_EQ(r, kIOReturnSuccess);
    ASSERT_NE(c, 0u);
    int requests = counting->count;
    std::vector<uint64_t> ids(kIOMaxScalarInputCount + 1, 1);
    uint32_t outCount = 3;
    uint64_t out[kIOMaxScalarOutputCount + 1] = {};
    EXPECT_EQ(IOConnectCallScalarMethod(c, 8, ids.data(), kIOMaxScalarInputCount + 1, nullptr, nullptr),
              kIOReturnBadArgument);
    outCount = kIOMaxScalarOutputCount + 1;
    EXPECT_EQ(IOConnectCallScalarMethod(c, 5, nullptr, 0, out, &outCount), kIOReturnBadArgument);
    EXPECT_EQ(outCount, 0u);
    EXPECT_EQ(counting->count, requests) << "refused without a round trip";

    // One id per mode of the whole table, and one more.
    std::vector<uint64_t> modes(443);
    std::iota(modes.begin(), modes.end() - 1, 1);
    modes.back() = 1;
    EXPECT_EQ(IOConnectCallScalarMethod(c, 8, modes.data(), 443, nullptr, nullptr), kIOReturnSuccess);
    EXPECT_TRUE(displayShown(0x101));
    outCount = 2;
    EXPECT_EQ(IOConnectCallScalarMethod(c, 5, nullptr, 0, out, &outCount), kIOReturnSuccess);
    EXPECT_EQ(outCount, 2u);
    outCount = 5;
    EXPECT_EQ(IOConnectCallScalarMethod(c, 5, nullptr, 0, out, &outCount), kIOReturnBadArgument)
        << "at most 4";
    EXPECT_EQ(IOConnectCallScalarMethod(c, 12, nullptr, 0, nullptr, nullptr), kIOReturnUnsupported);
    EXPECT_EQ(IOServiceClose(c), kIOReturnSuccess);
    EXPECT_FALSE(displayShown(0x101));
    EXPECT_EQ(IOServiceClose(c), kIOReturnBadArgument);
    EXPECT_EQ(IOConnectCallScalarMethod(c, 9, nullptr, 0, nullptr, nullptr), kIOReturnBadArgument);
}

TEST_F(IOKitFacade, AFramebufferTakesOneClientAtATimeAndLosesItWithItsProcess) {
    IOReturn r;
    io_connect_t c = openFramebuffer(2, &r);
    ASSERT_EQ(r, kIOReturnSuccess);
    kernel::UserTask other(m_kernel->kernel(), 999);
    kernel::io_handle_t service = other.entryFromPath(framebufferPath(2));
    kernel::io_handle_t refused = 7;
    EXPECT_EQ(other.serviceOpen(service, 0x1000, &refused), kIOReturnExclusiveAccess);
    EXPECT_EQ(refused, 0u);
    EXPECT_EQ(openFramebuffer(2, &r), 0u);
    EXPECT_EQ(r, kIOReturnExclusiveAccess);

    uint64_t mode = 1;
    ASSERT_EQ(IOConnectCallScalarMethod(c, 8, &mode, 1, nullptr, nullptr), kIOReturnSuccess);
    EXPECT_TRUE(displayShown(0x102));
    m_kernel->processDied();
    EXPECT_FALSE(displayShown(0x102));
    kernel::io_handle_t now = 0;
    EXPECT_EQ(other.serviceOpen(service, 0x1000, &now), kIOReturnSuccess) << "free again";
    EXPECT_EQ(other.serviceClose(now), kIOReturnSuccess);
    other.objectRelease(service);
}

TEST_F(IOKitFacade, MalformedRequestsAreRefusedBeforeReachingTheKernel) {
    kernel::UserTask& task = m_kernel->task();
    auto refused = [&](std::string_view op, cf::Dictionary args) {
        std::string why;
        bool answered = IOKitRequestServer::serve(task, op, cf::Value(std::move(args)), why).has_value();
        return !answered && !why.empty();
    };
    EXPECT_TRUE(refused("iokit.release", {{"object", "1"}}));
    EXPECT_TRUE(refused("iokit.release", {{"object", -1}}));
    EXPECT_TRUE(refused("iokit.release", {{"object", int64_t(1) << 32}}));
    EXPECT_TRUE(refused("iokit.release", {}));
    EXPECT_TRUE(refused("iokit.fromPath", {{"path", std::string(5000, 'a')}}));
    EXPECT_TRUE(refused(
        "iokit.callScalar",
        {{"connection", 1}, {"selector", 8}, {"input", cf::Value(cf::Bytes(1025 * 8))}, {"outputCount", 0}}));
    EXPECT_TRUE(refused("iokit.noSuchRequest", {}));
    std::string why;
    EXPECT_FALSE(IOKitRequestServer::serve(task, "iokit.root", cf::Value(cf::Array{}), why));
    // Well-formed but wrong: answered with a status, never a crash.
    auto ragged = IOKitRequestServer::serve(
        task, "iokit.callScalar",
        cf::Value(cf::Dictionary{
            {"connection", 1}, {"selector", 8}, {"input", cf::Value(cf::Bytes(12))}, {"outputCount", 0}}),
        why);
    ASSERT_TRUE(ragged);
    EXPECT_EQ(ragged->objectForKey("status"), cf::Value(kIOReturnBadArgument));
}

} // namespace iokit
