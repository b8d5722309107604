// The composition pool: every task of a batch runs once, side by side, and all are done when
// the batch returns.
#include "platform/windowserver/ComposePool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

namespace windowserver {

TEST(ComposePool, EveryTaskRunsOnceAndAllAreDoneOnReturn) {
    ComposePool pool(3);
    for (size_t round = 1; round <= 50; ++round) {
        const size_t count = 1 + round % 6;
        std::vector<int> runs(count, 0); // written unlocked: the join must order them
        std::vector<ComposePool::Task> tasks;
        for (size_t i = 0; i < count; ++i)
            tasks.push_back([&runs, i] { ++runs[i]; });
        pool.run(tasks);
        for (size_t i = 0; i < count; ++i)
            ASSERT_EQ(runs[i], 1) << "round " << round << ", task " << i;
    }
    EXPECT_LE(pool.threads(), 3u);
}

TEST(ComposePool, TasksRunSideBySideAndALoneTaskStaysOnTheCaller) {
    ComposePool pool(3);
    const auto caller = std::this_thread::get_id();
    std::thread::id ranOn;
    pool.run({[&] { ranOn = std::this_thread::get_id(); }});
    EXPECT_EQ(ranOn, caller);
    EXPECT_EQ(pool.threads(), 0u);

    // Four tasks that each wait for all four to have begun: only concurrency ends them.
    std::atomic<int> begun{0};
    std::mutex m;
    std::set<std::thread::id> threads;
    std::vector<ComposePool::Task> tasks(4, [&] {
        {
            std::lock_guard lock(m);
            threads.insert(std::this_thread::get_id());
        }
        begun.fetch_add(1);
        while (begun.load() < 4)
            std::this_thread::yield();
    });
    pool.run(tasks);
    EXPECT_EQ(begun.load(), 4);
    EXPECT_EQ(threads.size(), 4u);
}

} // namespace windowserver
