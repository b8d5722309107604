// The video card's own operations, built into the test (no kext is loaded here).
#include "drivers/videocard/QNExVideo.h"
#include "drivers/videocard/QNExVideoUserClient.h"
#include "platform/core/Clock.h"
#include "platform/kernel/IOWorkLoop.h"
#include "platform/kernel/Kernel.h"
#include "platform/kernel/OSArray.h"
#include "platform/kernel/OSString.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

namespace drivers {
namespace {

using namespace kernel;

OSPtr<QNExVideo> newVideo() {
    auto video = adoptRetained(new QNExVideo);
    video->init(nullptr);
    return video;
}

TEST(QNExVideoClass, IncompatibleModelsCountOnlyFromKernelMajorVersion11) {
    platform::installFakeClock();
    for (auto [productVersion, expected] :
         {std::pair{"10.6.4", true}, {"10.7.0", false}, {"10.12.6", false}}) {
        Kernel kernel({"MacBookPro6,2", "C0SERIAL", productVersion, true});
        auto video = newVideo();
        EXPECT_TRUE(video->isCompatible(video.get(), nullptr)) << "no list, no objection";
        auto models = adoptRetained(OSArray::withCapacity(2));
        models->setObject(adoptRetained(OSString::withCString("iMac1,1")).get());
        models->setObject(adoptRetained(OSString::withCString("MacBookPro6,2")).get());
        video->setProperty("incompatibleModels", models.get());
        EXPECT_EQ(video->isCompatible(video.get(), nullptr), expected) << productVersion;
    }
}

TEST(QNExVideoClass, ConcurrentCallersShareOneWorkLoop) {
    platform::installFakeClock();
    auto video = newVideo();
    std::vector<IOWorkLoop*> loops(8);
    std::vector<std::thread> threads;
    for (auto& slot : loops)
        threads.emplace_back([&slot, &video] { slot = video->getWorkLoop(); });
    for (auto& t : threads)
        t.join();
    EXPECT_NE(loops[0], nullptr);
    EXPECT_EQ(std::set<IOWorkLoop*>(loops.begin(), loops.end()).size(), 1u);
    video.reset();
    IOWorkLoop::reapRetiredThreads();
}

TEST(QNExVideoClass, TheUserClientOpensItsCardForItselfAloneAndClosesIt) {
    platform::installFakeClock();
    auto video = newVideo();
    int owner = 0;
    const auto task = reinterpret_cast<task_t>(&owner);
    auto refused = adoptRetained(new QNExVideoUserClient);
    EXPECT_FALSE(refused->initWithTask(nullptr, nullptr, 0, nullptr)) << "no owning task";

    auto first = adoptRetained(new QNExVideoUserClient);
    ASSERT_TRUE(first->initWithTask(task, nullptr, 0, nullptr));
    EXPECT_EQ(first->open(), kIOReturnNotAttached) << "not started on a card yet";
    EXPECT_EQ(first->close(), kIOReturnNotAttached);
    ASSERT_TRUE(first->start(video.get()));
    auto second = adoptRetained(new QNExVideoUserClient);
    ASSERT_TRUE(second->initWithTask(task, nullptr, 0, nullptr));
    ASSERT_TRUE(second->start(video.get()));

    EXPECT_EQ(first->open(), kIOReturnSuccess);
    EXPECT_TRUE(video->isOpen(first.get()));
    EXPECT_EQ(first->open(), kIOReturnSuccess) << "opening again for the same client";
    EXPECT_EQ(second->open(), kIOReturnExclusiveAccess);
    EXPECT_EQ(second->close(), kIOReturnSuccess);
    EXPECT_TRUE(video->isOpen(first.get())) << "another client's close leaves the card open";
    EXPECT_EQ(first->close(), kIOReturnSuccess);
    EXPECT_FALSE(video->isOpen(nullptr));
    EXPECT_EQ(first->close(), kIOReturnSuccess) << "closing a closed card";
    EXPECT_EQ(second->open(), kIOReturnSuccess);
    EXPECT_TRUE(video->isOpen(second.get()));
    second->close();
    first->stop(video.get());
    second->stop(video.get());
}

} // namespace
} // namespace drivers
