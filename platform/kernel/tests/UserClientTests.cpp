// A process's handles and its calls into user clients.
#include "platform/core/Clock.h"
#include "platform/kernel/Kernel.h"
#include "platform/kernel/UserTask.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace kernel {

namespace {
std::atomic<int> gHandlerRuns{0};
std::atomic<int> gCloses{0};
std::atomic<int> gDeaths{0};
std::atomic<bool> gGateHeld{false};
std::atomic<int> gTerminations{0};

// Lets a test hold an open inside newUserClient, before its client is attached.
struct OpenInFlight {
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool released = false;
};
OpenInFlight* gOpenInFlight = nullptr;
} // namespace

class CallTestUserClient : public IOUserClient {
    OSDeclareDefaultStructors(CallTestUserClient);

public:
    using super = IOUserClient;

    static const IOExternalMethodDispatch sMethods[3];

    IOReturn externalMethod(uint32_t selector, IOExternalMethodArguments* arguments,
                            const IOExternalMethodDispatch* dispatch, OSObject* target,
                            void* reference) override {
        if (selector < 3) dispatch = &sMethods[selector];
        return super::externalMethod(selector, arguments, dispatch, target, reference);
    }
    IOReturn clientClose() override {
        ++gCloses;
        if (IOService* provider = getProvider()) detach(provider);
        return kIOReturnSuccess;
    }
    IOReturn clientDied() override {
        ++gDeaths;
        return super::clientDied();
    }
    bool didTerminate(IOService* provider, uint32_t options, bool* defer) override {
        ++gTerminations;
        return super::didTerminate(provider, options, defer);
    }

    // Selector 0: two inputs, their sum and difference out.
    static IOReturn sSum(OSObject* target, void*, IOExternalMethodArguments* a) {
        ++gHandlerRuns;
        auto* client = OSDynamicCast(CallTestUserClient, target);
        IOService* provider = client ? client->getProvider() : nullptr;
        // The caller's thread holds the provider's gate, so another thread cannot take it.
        if (provider) {
            std::thread probe([&] {
                bool got = provider->gate().try_lock();
                if (got) provider->gate().unlock();
                gGateHeld = !got;
            });
            probe.join();
        }
        const uint64_t results[2] = {a->scalarInput[0] + a->scalarInput[1],
                                     a->scalarInput[0] - a->scalarInput[1]};
        for (uint32_t i = 0; i < a->scalarOutputCount; ++i)
            a->scalarOutput[i] = results[i];
        return kIOReturnSuccess;
    }
    // Selector 1: any number of inputs, their count out.
    static IOReturn sCount(OSObject*, void*, IOExternalMethodArguments* a) {
        ++gHandlerRuns;
        if (a->scalarOutputCount) a->scalarOutput[0] = a->scalarInputCount;
        return kIOReturnSuccess;
    }
};
OSDefineMetaClassAndStructors(CallTestUserClient, IOUserClient);

const IOExternalMethodDispatch CallTestUserClient::sMethods[3] = {
    {&CallTestUserClient::sSum, 2, 0, 2, 0},
    {&CallTestUserClient::sCount, kIOUCVariableStructureSize, 0, 1, 0},
    {nullptr, 0, 0, 0, 0},
};

class CallTestService : public IOService {
    OSDeclareDefaultStructors(CallTestService);

public:
    IOReturn newUserClient(task_t task, void* token, uint32_t type, IOUserClient** handler) override {
        if (type == 8 && gOpenInFlight) {
            std::unique_lock lock(gOpenInFlight->mutex);
            gOpenInFlight->entered = true;
            gOpenInFlight->changed.notify_all();
            gOpenInFlight->changed.wait(lock, [] { return gOpenInFlight->released; });
        } else if (type != 7) {
            return IOService::newUserClient(task, token, type, handler);
        }
        auto* client = new CallTestUserClient;
        if (!client->initWithTask(task, token, type) || !client->attach(this)) {
            client->release();
            return kIOReturnError;
        }
        *handler = client;
        return kIOReturnSuccess;
    }
};
OSDefineMetaClassAndStructors(CallTestService, IOService);

namespace {

class UserClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::installFakeClock();
        kernel = std::make_unique<Kernel>();
        service = adoptRetained(new CallTestService);
        service->init(nullptr);
        service->setName("CallTest");
        service->setLocation("5");
        service->attach(kernel->resources());
        service->registerService();
        kernel->waitQuiet();
        task = std::make_unique<UserTask>(*kernel, 100);
        gHandlerRuns = gCloses = gDeaths = gTerminations = 0;
    }
    void TearDown() override {
        task.reset();
        service.reset();
        kernel.reset();
    }

    io_handle_t open() {
        io_handle_t entry = task->entryFromPath("IOService:/IOResources/CallTest@5");
        io_handle_t connection = 0;
        EXPECT_EQ(task->serviceOpen(entry, 7, &connection), kIOReturnSuccess);
        task->objectRelease(entry);
        return connection;
    }

    std::unique_ptr<Kernel> kernel;
    OSPtr<CallTestService> service;
    std::unique_ptr<UserTask> task;
};

TEST_F(UserClientTest, CountsAreCheckedBeforeTheHandlerRuns) {
    io_handle_t c = open();
    uint64_t in[2] = {7, 3};
    uint64_t out[4] = {9, 9, 9, 9};
    uint32_t outCount = 2;
    ASSERT_EQ(task->callScalarMethod(c, 0, in, 2, out, &outCount), kIOReturnSuccess);
    EXPECT_EQ(outCount, 2u);
    EXPECT_EQ(out[0], 10u);
    EXPECT_EQ(out[1], 4u);
    EXPECT_TRUE(gGateHeld) << "the call runs under its provider's gate";
    outCount = 1;
    ASSERT_EQ(task->callScalarMethod(c, 0, in, 2, out, &outCount), kIOReturnSuccess);
    EXPECT_EQ(outCount, 1u) << "fewer outputs are filled in order";
    outCount = 3;
    EXPECT_EQ(task->callScalarMethod(c, 0, in, 2, out, &outCount), kIOReturnBadArgument);
    EXPECT_EQ(task->callScalarMethod(c, 0, in, 1, nullptr, nullptr), kIOReturnBadArgument);
    EXPECT_EQ(gHandlerRuns, 2);
    EXPECT_EQ(task->callScalarMethod(c, 2, nullptr, 0, nullptr, nullptr), kIOReturnUnsupported);
    EXPECT_EQ(task->callScalarMethod(c, 9, nullptr, 0, nullptr, nullptr), kIOReturnUnsupported);
}

TEST_F(UserClientTest, VariableInputsUpToTheLimitAndOutputsAreZeroedFirst) {
    io_handle_t c = open();
    std::vector<uint64_t> in(1024, 1);
    uint64_t out[16];
    std::fill(std::begin(out), std::end(out), 0xFF);
    uint32_t outCount = 1;
    ASSERT_EQ(task->callScalarMethod(c, 1, in.data(), 1024, out, &outCount), kIOReturnSuccess);
    EXPECT_EQ(out[0], 1024u);
    in.push_back(1);
    EXPECT_EQ(task->callScalarMethod(c, 1, in.data(), 1025, out, &outCount), kIOReturnBadArgument);
    outCount = 17;
    EXPECT_EQ(task->callScalarMethod(c, 1, in.data(), 1, out, &outCount), kIOReturnBadArgument);
    EXPECT_EQ(outCount, 0u);
    outCount = 1;
    EXPECT_EQ(task->callScalarMethod(c, 1, nullptr, 3, out, &outCount), kIOReturnBadArgument);
}

TEST_F(UserClientTest, HandlesAreNewNonZeroAndNeverReused) {
    io_handle_t a = task->entryFromPath("IOService:/IOResources");
    io_handle_t b = task->entryFromPath("IOService:/IOResources");
    EXPECT_NE(a, 0u);
    EXPECT_NE(a, b);
    EXPECT_EQ(task->liveHandleCount(), 2u);
    EXPECT_EQ(task->objectRelease(a), kIOReturnSuccess);
    EXPECT_EQ(task->objectRelease(a), kIOReturnBadArgument);
    EXPECT_EQ(task->objectRelease(0), kIOReturnSuccess);
    std::string name;
    EXPECT_EQ(task->getName(a, &name), kIOReturnBadArgument);
    io_handle_t c = task->entryFromPath("IOService:/IOResources");
    EXPECT_GT(c, b);
    EXPECT_EQ(task->entryFromPath("IOService:/Missing"), 0u);
    io_handle_t connection = open();
    EXPECT_EQ(task->getName(connection, &name), kIOReturnBadArgument) << "a connection is not an entry";
    EXPECT_EQ(task->callScalarMethod(c, 1, nullptr, 0, nullptr, nullptr), kIOReturnBadArgument);
    EXPECT_EQ(task->objectRelease(connection), kIOReturnBadArgument);
    EXPECT_EQ(task->serviceClose(c), kIOReturnBadArgument);
}

TEST_F(UserClientTest, CloseAndDeathReachTheClient) {
    io_handle_t first = open();
    EXPECT_EQ(task->serviceClose(first), kIOReturnSuccess);
    EXPECT_EQ(gCloses, 1);
    EXPECT_EQ(task->serviceClose(first), kIOReturnBadArgument);
    EXPECT_EQ(task->callScalarMethod(first, 1, nullptr, 0, nullptr, nullptr), kIOReturnBadArgument);
    open();
    open();
    task->entryFromPath("IOService:/");
    task->processDied();
    EXPECT_EQ(gDeaths, 2);
    EXPECT_EQ(gCloses, 3) << "the base clientDied closes";
    EXPECT_EQ(task->liveHandleCount(), 0u);
    EXPECT_TRUE(service->copyChildEntries().empty());
}

TEST_F(UserClientTest, TerminationTellsAClientAttachedByAnOpenInFlight) {
    OpenInFlight inFlight;
    gOpenInFlight = &inFlight;
    io_handle_t entry = task->entryFromPath("IOService:/IOResources/CallTest@5");
    io_handle_t connection = 0;
    IOReturn result = kIOReturnError;
    std::thread opener([&] { result = task->serviceOpen(entry, 8, &connection); });
    {
        std::unique_lock lock(inFlight.mutex);
        inFlight.changed.wait(lock, [&] { return inFlight.entered; });
    }
    service->terminate();
    {
        std::lock_guard lock(inFlight.mutex);
        inFlight.released = true;
    }
    inFlight.changed.notify_all();
    opener.join();
    kernel->waitQuiet();
    gOpenInFlight = nullptr;
    ASSERT_EQ(result, kIOReturnSuccess) << "the open was past its check when the termination came";
    EXPECT_EQ(gTerminations, 1) << "a client attached before the termination took its clients is told";
    EXPECT_TRUE(service->copyChildEntries().empty());
    io_handle_t late = 0;
    EXPECT_EQ(task->serviceOpen(entry, 7, &late), kIOReturnNotAttached);
    EXPECT_EQ(late, 0u);
    EXPECT_EQ(task->serviceClose(connection), kIOReturnSuccess);
}

TEST_F(UserClientTest, RegistryQueriesThroughHandles) {
    io_handle_t entry = task->entryFromPath("IOService:/IOResources/CallTest@5");
    std::string text;
    ASSERT_EQ(task->getName(entry, &text), kIOReturnSuccess);
    EXPECT_EQ(text, "CallTest");
    ASSERT_EQ(task->getLocation(entry, &text), kIOReturnSuccess);
    EXPECT_EQ(text, "5");
    ASSERT_EQ(task->getPath(entry, "IOService", &text), kIOReturnSuccess);
    EXPECT_EQ(text, "IOService:/IOResources/CallTest@5");
    EXPECT_EQ(task->getPath(entry, "IODeviceTree", &text), kIOReturnBadArgument);
    ASSERT_EQ(task->getClass(entry, &text), kIOReturnSuccess);
    EXPECT_EQ(text, "CallTestService");
    io_handle_t resources = task->entryFromPath("IOService:/IOResources");
    EXPECT_EQ(task->getLocation(resources, &text), kIOReturnNotFound);
    auto unregistered = adoptRetained(new IOService);
    unregistered->init(nullptr);
    unregistered->attach(kernel->resources());
    io_handle_t children = 0;
    ASSERT_EQ(task->getChildIterator(resources, "IOService", &children), kIOReturnSuccess);
    std::vector<std::string> names;
    while (io_handle_t child = task->iteratorNext(children)) {
        task->getName(child, &text);
        names.push_back(text);
        task->objectRelease(child);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"IOHIDSystem", "CallTest", "IOService"}))
        << "unregistered entries included";
    io_handle_t matching = 0;
    ASSERT_EQ(task->getMatchingServices("CallTestService", &matching), kIOReturnSuccess);
    io_handle_t found = task->iteratorNext(matching);
    EXPECT_NE(found, 0u);
    EXPECT_EQ(task->iteratorNext(matching), 0u);
    ASSERT_EQ(task->getMatchingServices("NoSuchClass", &matching), kIOReturnSuccess);
    EXPECT_EQ(task->iteratorNext(matching), 0u);
    unregistered->detach(kernel->resources());
}

} // namespace
} // namespace kernel
