// The I/O Kit facade against a private platformd hosting the kernel with the build's kexts:
// the registry read from this process, a separate screen-server process showing and removing
// a display, the kext manager's list, and a platformd booted without kexts.
#include "platform/daemon/testing/PrivatePlatformd.h"
#include "platform/iokit/IOKitFastCall.h"
#include "platform/iokit/IOKitLib.h"
#include "platform/iokit/IOKitTransport.h"
#include "platform/iokit/tests/FramebufferHelperProcess.h"
#include "platform/ipc/Connection.h"
#include "platform/ipc/Protocol.h"
#include "platform/services/KextManager.h"
#include "platform/windowserver/DisplayInfo.h"
#include "platform/windowserver/WindowServerProtocol.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <thread>
#include <vector>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace iokit {

namespace {

using platformd::testing::ChildProcess;
using platformd::testing::PlatformdTest;
using platformd::testing::readFile;
using platformd::testing::runProgram;

const std::string kGFXPath = "IOService:/IOResources/QNExGFX";
constexpr uint32_t kSerial2 = 0x99730002;

std::shared_ptr<ipc::Connection> connection() {
    auto c = ipc::Connection::shared();
    EXPECT_TRUE(c);
    return c;
}

// The first event-log entry of kind whose fields match, waited for in platformd.
std::optional<cf::Value> waitEvent(const std::string& kind, cf::Dictionary match, double timeout = 20) {
    return platformd::testing::waitForEvent(kind, std::move(match), timeout);
}

std::vector<windowserver::DisplayInfo> displays() {
    std::vector<windowserver::DisplayInfo> out;
    auto reply = connection()->request(windowserver::op::displays);
    const cf::Value* list = reply.ok && reply.result ? reply.result->find("displays") : nullptr;
    for (size_t i = 0; list && i < list->count(); ++i)
        if (auto d = windowserver::DisplayInfo::fromValue(*list->at(i))) out.push_back(*d);
    return out;
}

std::string nameOf(io_object_t entry) {
    io_name_t name = {};
    EXPECT_EQ(IORegistryEntryGetNameInPlane(entry, kIOServicePlane, name), kIOReturnSuccess);
    return name;
}

std::optional<int64_t> statusOf(const std::optional<cf::Value>& event) {
    if (!event) return std::nullopt;
    const cf::Value* status = event->find("status");
    return status ? status->storedInteger() : std::nullopt;
}

} // namespace

class IOKitIntegration : public PlatformdTest {};

TEST_F(IOKitIntegration, TheRegistryHoldsTheVideoCardItsFourNubsAndTheirFramebuffers) {
    uint64_t before = IOKitLiveHandleCount().value_or(99);
    io_object_t gfx = IORegistryEntryFromPath(kIOMasterPortDefault, kGFXPath.c_str());
    ASSERT_NE(gfx, 0u);
    io_name_t className = {};
    EXPECT_EQ(IOObjectGetClass(gfx, className), kIOReturnSuccess);
    EXPECT_STREQ(className, "QNExVideo");
    io_iterator_t nubs = 0;
    ASSERT_EQ(IORegistryEntryGetChildIterator(gfx, kIOServicePlane, &nubs), kIOReturnSuccess);
    int count = 0;
    while (io_object_t nub = IOIteratorNext(nubs)) {
        EXPECT_EQ(nameOf(nub), "Quenby Virtual Display");
        auto number = IORegistryEntryCreateCFProperty(nub, "displayNum");
        ASSERT_TRUE(number);
        EXPECT_EQ(number->integerValue(), count);
        io_name_t location = {};
        EXPECT_EQ(IORegistryEntryGetLocationInPlane(nub, kIOServicePlane, location), kIOReturnSuccess);
        EXPECT_EQ(std::string(location), std::to_string(count));
        io_iterator_t children = 0;
        ASSERT_EQ(IORegistryEntryGetChildIterator(nub, kIOServicePlane, &children), kIOReturnSuccess);
        io_object_t framebuffer = IOIteratorNext(children);
        EXPECT_EQ(nameOf(framebuffer), "QNExFramebuffer");
        EXPECT_EQ(IORegistryEntryCreateCFProperty(framebuffer, "IOAccelIndex"), number);
        for (io_object_t h : {framebuffer, children, nub})
            IOObjectRelease(h);
        ++count;
    }
    EXPECT_EQ(count, 4);
    IOObjectRelease(nubs);
    IOObjectRelease(gfx);
    EXPECT_EQ(IOKitLiveHandleCount(), before);
}

TEST_F(IOKitIntegration, AScreenServerProcessShowsADisplayAndSelectorThreeRemovesIt) {
    Helper helper(m_platformd->root(), 2, {"9", "1"});
    ASSERT_TRUE(helper.started);
    auto enabled = waitEvent("iokit-helper", {{"step", "enabled"}});
    ASSERT_TRUE(enabled) << helper.output();
    EXPECT_EQ(statusOf(enabled), kIOReturnSuccess);
    ASSERT_TRUE(waitEvent("display-added", {{"serial", std::to_string(kSerial2)}}));

    auto shown = displays();
    ASSERT_EQ(shown.size(), 2u);
    const windowserver::DisplayInfo& d = shown[1];
    EXPECT_EQ(d.displayID, 0x102u);
    EXPECT_EQ(d.serialNumber, kSerial2);
    EXPECT_EQ(d.pixelsWide, 1280u);
    EXPECT_EQ(d.pixelsHigh, 720u);
    EXPECT_EQ(d.bounds.size.width, 1280);
    EXPECT_EQ(d.location.rfind("IOService:/IOResources/QNExGFX/Quenby Virtual Display@2/", 0), 0u)
        << d.location;

    // The framebuffer has its one client.
    io_service_t service = IORegistryEntryFromPath(0, (d.location).c_str());
    io_connect_t second = 1;
    EXPECT_EQ(IOServiceOpen(service, mach_task_self(), 0x1000, &second), kIOReturnExclusiveAccess);
    EXPECT_EQ(second, 0u);

    auto ctl = runProgram({platformd::testing::PrivatePlatformd::platformctlPath(), "displays"});
    EXPECT_EQ(ctl.status, 0) << ctl.err;
    EXPECT_NE(ctl.out.find("id=0x102 bounds=1440,0,1280,720 serial=0x99730002"), std::string::npos)
        << ctl.out;

    helper.send("disable");
    EXPECT_EQ(statusOf(waitEvent("iokit-helper", {{"step", "disabled"}})), kIOReturnSuccess);
    ASSERT_TRUE(waitEvent("display-removed", {{"id", std::to_string(0x102)}}));
    EXPECT_EQ(displays().size(), 1u);
    helper.send("exit");
    EXPECT_EQ(helper.process().wait(20), 0) << helper.output();
    IOObjectRelease(service);
}

TEST_F(IOKitIntegration, ScalarCallsTakeTheLeanChannelAndAnswerAsTheLongRoad) {
    const std::string path = "IOService:/IOResources/QNExGFX/Quenby Virtual Display@1/QNExFramebuffer@1";
    io_service_t service = IORegistryEntryFromPath(kIOMasterPortDefault, path.c_str());
    ASSERT_NE(service, 0u);
    io_connect_t client = 0;
    ASSERT_EQ(IOServiceOpen(service, mach_task_self(), 0x1000, &client), kIOReturnSuccess);
    IOObjectRelease(service);

    // The cursor query (selector 5) and a selector the driver lacks, on both roads.
    for (uint32_t selector : {5u, 40u}) {
        uint64_t lean[4] = {9, 9, 9, 9}, slow[4] = {9, 9, 9, 9};
        uint32_t leanCount = 4, slowCount = 0;
        const IOReturn leanStatus = IOConnectCallScalarMethod(client, selector, nullptr, 0, lean, &leanCount);
        const IOReturn slowStatus =
            IOKitCurrentTransport()->IOKitTransport::callScalarMethod(client, selector, nullptr, 0, 4, slow, &slowCount);
        EXPECT_EQ(leanStatus, slowStatus) << selector;
        ASSERT_EQ(leanCount, slowCount) << selector;
        // Position and visibility agree; the fourth output, "changed", is cleared by each read.
        for (uint32_t i = 0; i < leanCount && i < 3; ++i)
            EXPECT_EQ(lean[i], slow[i]) << selector;
        if (selector == 5) {
            EXPECT_EQ(leanStatus, kIOReturnSuccess);
        }
    }

    // The channel spoken directly: a call, then hostile bytes, each answered in turn.
    ipc::Reply reply = connection()->request(op::fastChannel);
    ASSERT_TRUE(reply.ok);
    ASSERT_EQ(reply.fds.size(), 1u);
    const int fd = reply.fds.front().get();
    auto exchange = [fd](const uint8_t* bytes, size_t length, uint32_t asked) {
        EXPECT_EQ(::send(fd, bytes, length, MSG_NOSIGNAL), ssize_t(length));
        fastcall::Message answer;
        ssize_t got = ::recv(fd, answer.data(), answer.size(), 0);
        return got > 0 ? fastcall::decodeResult(std::span<const uint8_t>(answer.data(), size_t(got)), asked)
                       : std::nullopt;
    };
    fastcall::ScalarCall call{client, 5, 0, 4, {}};
    fastcall::Message message;
    auto answer = exchange(message.data(), fastcall::encodeCall(call, message), 4);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, kIOReturnSuccess);
    EXPECT_EQ(answer->outputCount, 4u);
    const uint8_t garbage[5] = {0xDE, 0xAD, 0xBE, 0xEF, 0};
    answer = exchange(garbage, sizeof garbage, 0);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, kIOReturnBadArgument);
    call.connection = 0x7777; // no such connection of ours
    answer = exchange(message.data(), fastcall::encodeCall(call, message), 4);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, kIOReturnBadArgument);
    EXPECT_EQ(IOServiceClose(client), kIOReturnSuccess);
}

TEST_F(IOKitIntegration, ScalarCallsFromManyThreadsAtOnceEachGetTheirOwnAnswer) {
    // One user client per framebuffer, as the sessions' cursor loops use them.
    std::vector<io_connect_t> clients;
    for (int index = 0; index < 4; ++index) {
        const std::string path = "IOService:/IOResources/QNExGFX/Quenby Virtual Display@" +
                                 std::to_string(index) + "/QNExFramebuffer@" + std::to_string(index);
        io_service_t service = IORegistryEntryFromPath(kIOMasterPortDefault, path.c_str());
        ASSERT_NE(service, 0u);
        io_connect_t client = 0;
        ASSERT_EQ(IOServiceOpen(service, mach_task_self(), 0x1000, &client), kIOReturnSuccess);
        IOObjectRelease(service);
        clients.push_back(client);
    }
    // More threads than a process keeps channels: the cursor query answers success with four
    // outputs, a selector the driver lacks is unsupported; an answer reaching the wrong caller
    // would show.
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            const io_connect_t client = clients[size_t(t % 4)];
            const uint32_t selector = t < 4 ? 5u : 40u;
            for (int i = 0; i < 200; ++i) {
                uint64_t out[4] = {};
                uint32_t count = 4;
                const IOReturn status = IOConnectCallScalarMethod(client, selector, nullptr, 0, out, &count);
                const bool right =
                    selector == 5 ? status == kIOReturnSuccess && count == 4 : status == kIOReturnUnsupported;
                if (!right) ++wrong;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
    for (io_connect_t client : clients)
        EXPECT_EQ(IOServiceClose(client), kIOReturnSuccess);
}

TEST_F(IOKitIntegration, KillingTheScreenServerRemovesItsDisplayAndFreesTheFramebuffer) {
    Helper helper(m_platformd->root(), 2, {"1"});
    ASSERT_TRUE(helper.started);
    ASSERT_TRUE(waitEvent("display-added", {{"serial", std::to_string(kSerial2)}})) << helper.output();
    helper.process().signal(SIGKILL);
    EXPECT_EQ(helper.process().wait(20), 128 + SIGKILL);
    ASSERT_TRUE(waitEvent("display-removed", {{"serial", std::to_string(kSerial2)}}));
    EXPECT_EQ(displays().size(), 1u);

    io_service_t service =
        IORegistryEntryFromPath(0, "IOService:/IOResources/QNExGFX/Quenby Virtual Display@2/"
                                   "QNExFramebuffer@2");
    io_connect_t c = 0;
    EXPECT_EQ(IOServiceOpen(service, mach_task_self(), 0x1000, &c), kIOReturnSuccess) << "free again";
    EXPECT_EQ(IOServiceClose(c), kIOReturnSuccess);
    IOObjectRelease(service);
}

TEST_F(IOKitIntegration, TheKextManagerListsBothDrivers) {
    auto all = KextManagerCopyLoadedKextInfo(std::nullopt, std::nullopt);
    ASSERT_TRUE(all);
    for (const char* id : {"com.quenby.QNExVideo", "com.quenby.QNExFramebuffer"}) {
        const cf::Value* info = all->find(id);
        ASSERT_TRUE(info) << id;
        EXPECT_EQ(info->objectForKey("CFBundleIdentifier"), cf::Value(id));
        EXPECT_EQ(info->objectForKey("CFBundleVersion"), cf::Value("1.3.0"));
    }
    auto asked = KextManagerCopyLoadedKextInfo(
        cf::Value(cf::Array{"com.quenby.QNExVideo", "com.example.none"}), std::nullopt);
    ASSERT_TRUE(asked);
    EXPECT_EQ(asked->count(), 1u);
}

class IOKitWithoutKexts : public PlatformdTest {
  protected:
    std::vector<std::string> platformdArguments() const override { return {"--kexts", "none"}; }
};

TEST_F(IOKitWithoutKexts, NothingIsLoadedAndTheRegistryHasNoVideoCard) {
    auto all = KextManagerCopyLoadedKextInfo(std::nullopt, std::nullopt);
    ASSERT_TRUE(all);
    EXPECT_FALSE(all->find("com.quenby.QNExVideo"));
    EXPECT_FALSE(all->find("com.quenby.QNExFramebuffer"));
    EXPECT_EQ(IORegistryEntryFromPath(kIOMasterPortDefault, kGFXPath.c_str()), 0u);
    io_object_t resources = IORegistryEntryFromPath(kIOMasterPortDefault, "IOService:/IOResources");
    EXPECT_NE(resources, 0u) << "the kernel itself is there";
    IOObjectRelease(resources);
    io_iterator_t framebuffers = 0;
    ASSERT_EQ(IOServiceGetMatchingServices(0, IOServiceMatching("QNExFramebuffer"), &framebuffers),
              kIOReturnSuccess);
    EXPECT_EQ(IOIteratorNext(framebuffers), 0u);
    IOObjectRelease(framebuffers);
    EXPECT_EQ(displays().size(), 1u);
}

} // namespace iokit
