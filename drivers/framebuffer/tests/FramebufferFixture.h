// Boots a kernel with both kexts and the fake window server, on the fake clock.
#pragma once

#include "FakeWindowServer.h"
#include "platform/core/Log.h"
#include "platform/kernel/UserTask.h"

#include <gtest/gtest.h>

#include <initializer_list>

namespace drivers::testing {

inline const std::string kVideoCardKext = std::string(TESSEL_KEXT_DIR) + "/QNVideoCard.kext";
inline const std::string kFramebufferKext = std::string(TESSEL_KEXT_DIR) + "/QNFramebuffer.kext";

inline std::string framebufferPath(int index) {
    return "IOService:/IOResources/QNExGFX/Quenby Virtual Display@" + std::to_string(index) +
           "/QNExFramebuffer@" + std::to_string(index);
}

class FramebufferTest : public ::testing::Test {
protected:
    void SetUp() override {
        clock = &platform::installFakeClock();
        kernel = std::make_unique<Kernel>();
        windowServer = std::make_unique<FakeWindowServer>(*kernel);
        kernel->loadKexts({kVideoCardKext, kFramebufferKext});
        kernel->waitQuiet();
        task = std::make_unique<UserTask>(*kernel, 4242, "com.quenby.TesselHelper");
    }

    void TearDown() override {
        task.reset();
        kernel->shutdown();
        windowServer.reset();
        kernel.reset();
        EXPECT_FALSE(log.contains("still has")) << "an object of a kext outlived it";
    }

    // The display at index i after the window server's boot sequence.
    FakeDisplay& booted(int index) {
        auto display = windowServer->display(std::to_string(index));
        EXPECT_TRUE(display);
        EXPECT_EQ(windowServer->boot(*display), kIOReturnSuccess);
        m_keep.push_back(display);
        return *display;
    }

    io_handle_t openUserClient(int index, IOReturn* result = nullptr) {
        io_handle_t service = task->entryFromPath(framebufferPath(index));
        io_handle_t connection = 0;
        IOReturn r = task->serviceOpen(service, 0x1000, &connection);
        task->objectRelease(service);
        if (result) *result = r;
        return connection;
    }

    IOReturn call(io_handle_t connection, uint32_t selector, std::vector<uint64_t> inputs = {},
                  std::vector<uint64_t>* outputs = nullptr, uint32_t outputCount = 0) {
        std::vector<uint64_t> out(outputCount, 0xDEADBEEF);
        uint32_t count = outputCount;
        IOReturn r = task->callScalarMethod(connection, selector, inputs.data(),
                                            static_cast<uint32_t>(inputs.size()), out.data(), &count);
        out.resize(count);
        if (outputs) *outputs = out;
        return r;
    }

    // Selectors 10 and 11 as the screen server sends them, then 8 with the modes.
    IOReturn enable(io_handle_t connection, std::vector<uint64_t> modes) {
        EXPECT_EQ(call(connection, 10, {16666}), kIOReturnSuccess);
        EXPECT_EQ(call(connection, 11, {250000}), kIOReturnSuccess);
        return call(connection, 8, std::move(modes));
    }

    platform::LogCapture log{true};
    platform::FakeClock* clock = nullptr;
    std::unique_ptr<Kernel> kernel;
    std::unique_ptr<FakeWindowServer> windowServer;
    std::unique_ptr<UserTask> task;

private:
    std::vector<std::shared_ptr<FakeDisplay>> m_keep;
};

} // namespace drivers::testing
