// The graphics multiplexer's control service: present only with a multiplexer, its selector
// table, and every call in the event log's order.
#include "platform/kernel/Kernel.h"
#include "platform/kernel/UserTask.h"

#include <gtest/gtest.h>

#include <mutex>

namespace kernel {

namespace {

struct Recorded {
    std::mutex mutex;
    std::vector<cf::Dictionary> calls;
};

void withMultiplexer(Kernel& kernel, std::optional<uint64_t> features, Recorded& recorded) {
    kernel.setEventRecorder([&recorded](std::string_view kind, std::string_view, cf::Dictionary fields) {
        ASSERT_EQ(kind, "graphics-control");
        std::lock_guard lock(recorded.mutex);
        recorded.calls.push_back(std::move(fields));
    });
    if (features) kernel.publishGraphicsControl(*features);
}

KernelConfig noDisplay() {
    KernelConfig config;
    config.builtInDisplay = false;
    return config;
}

io_handle_t firstMatch(UserTask& task, const char* className) {
    io_handle_t iterator = 0;
    if (task.getMatchingServices(className, &iterator) != kIOReturnSuccess) return 0;
    io_handle_t service = task.iteratorNext(iterator);
    task.objectRelease(iterator);
    return service;
}

} // namespace

TEST(AppleGraphicsControl, AnswersItsTableAndLogsEveryCallInOrder) {
    Recorded recorded;
    Kernel kernel(noDisplay());
    withMultiplexer(kernel, 4, recorded);
    {
        UserTask task(kernel, 4242);
        io_handle_t service = firstMatch(task, "AppleGraphicsControl");
        ASSERT_NE(service, 0u);
        io_handle_t c = 0;
        ASSERT_EQ(task.serviceOpen(service, 0, &c), kIOReturnSuccess);
        task.objectRelease(service);
        uint64_t out = 99;
        uint32_t outCount = 1;
        EXPECT_EQ(task.callScalarMethod(c, 0, nullptr, 0, nullptr, nullptr), kIOReturnSuccess);
        uint64_t feature[2] = {1, 0};
        EXPECT_EQ(task.callScalarMethod(c, 3, feature, 2, &out, &outCount), kIOReturnSuccess);
        EXPECT_EQ(out, 4u);
        uint64_t mux[3] = {1, 4, 7};
        EXPECT_EQ(task.callScalarMethod(c, 2, mux, 3, nullptr, nullptr), kIOReturnSuccess);
        uint64_t state[2] = {1, 4};
        EXPECT_EQ(task.callScalarMethod(c, 3, state, 2, &out, &outCount), kIOReturnSuccess);
        EXPECT_EQ(out, 7u);
        uint64_t unset[2] = {2, 2};
        EXPECT_EQ(task.callScalarMethod(c, 3, unset, 2, &out, &outCount), kIOReturnSuccess);
        EXPECT_EQ(out, 0u);
        // Wrong counts are refused, and still recorded.
        EXPECT_EQ(task.callScalarMethod(c, 2, mux, 2, nullptr, nullptr), kIOReturnBadArgument);
        EXPECT_EQ(task.callScalarMethod(c, 1, nullptr, 0, nullptr, nullptr), kIOReturnSuccess);
        EXPECT_EQ(task.serviceClose(c), kIOReturnSuccess);
        // Another type is not this service's.
        service = firstMatch(task, "AppleGraphicsControl");
        EXPECT_NE(task.serviceOpen(service, 1, &c), kIOReturnSuccess);
        task.objectRelease(service);
    }
    std::vector<uint32_t> selectors;
    for (auto& call : recorded.calls)
        selectors.push_back(uint32_t(call.at("selector").intValue()));
    EXPECT_EQ(selectors, (std::vector<uint32_t>{0, 3, 2, 3, 3, 2, 1}));
    EXPECT_EQ(recorded.calls[2].at("input"), cf::Value(cf::Array{int64_t(1), int64_t(4), int64_t(7)}));
    EXPECT_EQ(recorded.calls[1].at("output"), cf::Value(cf::Array{int64_t(4)}));
    EXPECT_EQ(recorded.calls[0].at("pid").intValue(), 4242);
    EXPECT_NE(recorded.calls[5].at("status").intValue(), 0);
    kernel.shutdown();
}

TEST(AppleGraphicsControl, IsAbsentWithoutAMultiplexer) {
    Recorded recorded;
    Kernel kernel(noDisplay());
    withMultiplexer(kernel, std::nullopt, recorded);
    {
        UserTask task(kernel, 4242);
        EXPECT_EQ(firstMatch(task, "AppleGraphicsControl"), 0u);
    }
    kernel.shutdown();
}

} // namespace kernel
