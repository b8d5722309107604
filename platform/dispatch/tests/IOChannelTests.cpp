#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/Testing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace dispatch;

namespace {

dispatch_time_t bound() {
    return dispatch_time(DISPATCH_TIME_NOW, 20 * NSEC_PER_SEC);
}

struct Pair {
    int a = -1, b = -1;
    Pair() {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        a = fds[0];
        b = fds[1];
    }
    ~Pair() {
        if (a >= 0) ::close(a);
        if (b >= 0) ::close(b);
    }
};

void writeAll(int fd, const std::string& s) {
    ASSERT_EQ(::write(fd, s.data(), s.size()), static_cast<ssize_t>(s.size()));
}

// Gathers one read operation's deliveries and signals at its end.
struct ReadResult {
    std::string bytes;
    int error = -1;
    int partials = 0;
    dispatch_semaphore_t done = dispatch_semaphore_create(0);
    dispatch_semaphore_t partial = dispatch_semaphore_create(0);

    dispatch_io_handler_t handler() {
        return [this](bool isDone, dispatch_data_t data, int err) {
            auto copy = data ? data->copyBytes() : std::vector<uint8_t>();
            bytes.append(copy.begin(), copy.end());
            if (!isDone) {
                ++partials;
                dispatch_semaphore_signal(partial);
                return;
            }
            error = err;
            dispatch_semaphore_signal(done);
        };
    }
    bool wait() { return dispatch_semaphore_wait(done, bound()) == 0; }
};

} // namespace

TEST(IOChannel, ReadsTakeOnlyWhatTheyNeedAndLeaveTheRestInTheDescriptor) {
    Pair p;
    auto q = dispatch_queue_create("test.io", DISPATCH_QUEUE_SERIAL);
    auto cleaned = dispatch_semaphore_create(0);
    auto io = dispatch_io_create(DISPATCH_IO_STREAM, p.a, q, [&](int error) {
        EXPECT_EQ(error, 0);
        dispatch_semaphore_signal(cleaned);
    });
    ASSERT_TRUE(io);
    writeAll(p.b, "ABCDefghijklmnopREST");
    ReadResult first, second;
    dispatch_io_read(io, 0, 4, q, first.handler());
    ASSERT_TRUE(first.wait());
    dispatch_io_read(io, 0, 12, q, second.handler());
    ASSERT_TRUE(second.wait());
    EXPECT_EQ(first.bytes, "ABCD");
    EXPECT_EQ(second.bytes, "efghijklmnop");
    EXPECT_EQ(first.error, 0);
    EXPECT_EQ(second.error, 0);
    dispatch_io_close(io, 0);
    io.reset();
    ASSERT_EQ(dispatch_semaphore_wait(cleaned, bound()), 0);
    char rest[8] = {};
    EXPECT_EQ(::read(p.a, rest, sizeof rest), 4);
    EXPECT_EQ(std::string(rest, 4), "REST");
}

TEST(IOChannel, AReadGathersPiecesAndEndsCleanlyAtTheEndOfTheStream) {
    Pair p;
    auto q = dispatch_queue_create("test.io", DISPATCH_QUEUE_SERIAL);
    auto io = dispatch_io_create(DISPATCH_IO_STREAM, p.a, q, [](int) {});
    ReadResult r;
    dispatch_io_read(io, 0, 10, q, r.handler());
    writeAll(p.b, "abc");
    ASSERT_EQ(dispatch_semaphore_wait(r.partial, bound()), 0);
    writeAll(p.b, "de");
    ::shutdown(p.b, SHUT_WR);
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(r.bytes, "abcde");
    EXPECT_GE(r.partials, 2);
    EXPECT_EQ(r.error, 0); // end of stream: done, empty, no error
    dispatch_io_close(io, DISPATCH_IO_STOP);
}

TEST(IOChannel, WritesGoOutWholeInCallOrderNeverInterleaved) {
    Pair p;
    auto q = dispatch_queue_create("test.io", DISPATCH_QUEUE_SERIAL);
    auto io = dispatch_io_create(DISPATCH_IO_STREAM, p.a, q, [](int) {});
    constexpr int kUnits = 40;
    constexpr size_t kUnitSize = 64 * 1024; // larger than the socket buffer: each write blocks part-way
    std::atomic<int> completed{0};
    auto allDone = dispatch_semaphore_create(0);
    for (int i = 0; i < kUnits; ++i) {
        std::vector<uint8_t> unit(kUnitSize, static_cast<uint8_t>(i));
        dispatch_io_write(io, 0, dispatch_data_create_with_bytes(std::move(unit)), q,
                          [&](bool done, dispatch_data_t rest, int error) {
                              EXPECT_TRUE(done);
                              EXPECT_EQ(error, 0);
                              EXPECT_FALSE(rest);
                              if (++completed == kUnits) dispatch_semaphore_signal(allDone);
                          });
    }
    std::vector<uint8_t> received;
    std::vector<uint8_t> buffer(32 * 1024);
    while (received.size() < kUnits * kUnitSize) {
        ssize_t n = ::read(p.b, buffer.data(), buffer.size());
        ASSERT_GT(n, 0);
        received.insert(received.end(), buffer.begin(), buffer.begin() + n);
    }
    ASSERT_EQ(dispatch_semaphore_wait(allDone, bound()), 0);
    for (int i = 0; i < kUnits; ++i)
        for (size_t j = 0; j < kUnitSize; j += 4096)
            ASSERT_EQ(received[i * kUnitSize + j], static_cast<uint8_t>(i)) << "unit " << i << " byte " << j;
    dispatch_io_close(io, 0);
}

TEST(IOChannel, StopEndsPendingOperationsWithECANCELEDAndThenCleansUpOnce) {
    Pair p;
    auto q = dispatch_queue_create("test.io", DISPATCH_QUEUE_SERIAL);
    std::atomic<int> cleanups{0};
    auto cleaned = dispatch_semaphore_create(0);
    auto io = dispatch_io_create(DISPATCH_IO_STREAM, p.a, q, [&](int) {
        ++cleanups;
        dispatch_semaphore_signal(cleaned);
    });
    ReadResult pending, queued;
    dispatch_io_read(io, 0, 16, q, pending.handler());
    dispatch_io_read(io, 0, 16, q, queued.handler());
    dispatch_io_close(io, DISPATCH_IO_STOP);
    ASSERT_TRUE(pending.wait());
    ASSERT_TRUE(queued.wait());
    EXPECT_EQ(pending.error, ECANCELED);
    EXPECT_EQ(queued.error, ECANCELED);
    ReadResult late;
    dispatch_io_read(io, 0, 1, q, late.handler());
    ASSERT_TRUE(late.wait());
    EXPECT_EQ(late.error, ECANCELED);
    dispatch_io_close(io, DISPATCH_IO_STOP);
    io.reset();
    ASSERT_EQ(dispatch_semaphore_wait(cleaned, bound()), 0);
    drain(q);
    EXPECT_EQ(cleanups.load(), 1);
}

TEST(IOChannel, CloseWithoutStopLetsAPendingReadFinish) {
    Pair p;
    auto q = dispatch_queue_create("test.io", DISPATCH_QUEUE_SERIAL);
    auto cleaned = dispatch_semaphore_create(0);
    std::atomic<bool> readDone{false};
    std::atomic<bool> cleanedBeforeRead{false};
    auto io = dispatch_io_create(DISPATCH_IO_STREAM, p.a, q, [&](int) {
        cleanedBeforeRead = !readDone.load();
        dispatch_semaphore_signal(cleaned);
    });
    ReadResult r;
    dispatch_io_read(io, 0, 3, q, [&, h = r.handler()](bool done, dispatch_data_t d, int e) {
        if (done) readDone = true;
        h(done, d, e);
    });
    dispatch_io_close(io, 0);
    writeAll(p.b, "xyz");
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(r.bytes, "xyz");
    ASSERT_EQ(dispatch_semaphore_wait(cleaned, bound()), 0);
    EXPECT_FALSE(cleanedBeforeRead.load());
}

TEST(IOChannel, DataConcatenatesAndMapsContiguously) {
    auto a = dispatch_data_create("abc", 3, nullptr, nullptr);
    bool freed = false;
    static const char kBorrowed[] = "defg";
    auto b = dispatch_data_create(kBorrowed, 4, nullptr, [&] { freed = true; });
    auto both = dispatch_data_create_concat(a, b);
    b.reset();
    EXPECT_FALSE(freed); // the concatenation still uses the borrowed bytes
    const void* bytes = nullptr;
    size_t size = 0;
    auto map = dispatch_data_create_map(both, &bytes, &size);
    ASSERT_EQ(size, 7u);
    EXPECT_EQ(std::string(static_cast<const char*>(bytes), size), "abcdefg");
    both.reset();
    map.reset();
    EXPECT_TRUE(freed);
    EXPECT_EQ(dispatch_data_get_size(dispatch_data_empty()), 0u);
}

TEST(ReadSource, FiresWhileReadableAndRunsItsCancelHandlerAfterTheLastEvent) {
    Pair p;
    auto q = dispatch_queue_create("test.source", DISPATCH_QUEUE_SERIAL);
    auto source = dispatch_source_create(DISPATCH_SOURCE_TYPE_READ, static_cast<uintptr_t>(p.a), 0, q);
    auto fired = dispatch_semaphore_create(0);
    auto cancelled = dispatch_semaphore_create(0);
    std::string got;
    unsigned long estimate = 0;
    dispatch_source_set_event_handler(source, [&] {
        estimate = dispatch_source_get_data(source);
        char buffer[64];
        ssize_t n = ::read(p.a, buffer, sizeof buffer);
        if (n > 0) got.append(buffer, static_cast<size_t>(n));
        dispatch_semaphore_signal(fired);
    });
    dispatch_source_set_cancel_handler(source, [&] { dispatch_semaphore_signal(cancelled); });
    writeAll(p.b, "hello");
    dispatch_resume(source);
    ASSERT_EQ(dispatch_semaphore_wait(fired, bound()), 0);
    EXPECT_EQ(estimate, 5u);
    writeAll(p.b, "!");
    ASSERT_EQ(dispatch_semaphore_wait(fired, bound()), 0);
    dispatch_source_cancel(source);
    ASSERT_EQ(dispatch_semaphore_wait(cancelled, bound()), 0);
    drain(q);
    EXPECT_EQ(got, "hello!");
}
