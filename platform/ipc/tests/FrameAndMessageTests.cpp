// Framing and message parsing: what crosses the socket, and every way a peer can get it wrong.
#include "platform/ipc/FrameIO.h"
#include "platform/ipc/Message.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

struct SocketPair {
    ipc::UniqueFd a, b;
    SocketPair() {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        a.reset(fds[0]);
        b.reset(fds[1]);
    }
    void sendRaw(const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(::send(a.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
};

std::vector<uint8_t> encoded(const cf::Value& message) {
    std::string why;
    auto bytes = ipc::encodeMessage(message, why);
    EXPECT_TRUE(bytes) << why;
    return bytes.value_or(std::vector<uint8_t>{});
}

TEST(FrameIO, CarriesBytesAndDescriptorsWhole) {
    SocketPair s;
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    std::vector<uint8_t> big(3 * 1024 * 1024 + 17);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(i * 31);
    std::thread writer([&] { EXPECT_TRUE(ipc::writeFrame(s.a.get(), big, {pipeFds[1]})); });
    ipc::Frame frame;
    ASSERT_EQ(ipc::readFrame(s.b.get(), frame), ipc::ReadResult::Ok);
    writer.join();
    EXPECT_EQ(frame.bytes, big);
    ASSERT_EQ(frame.fds.size(), 1u);
    EXPECT_TRUE(::fcntl(frame.fds[0].get(), F_GETFD) & FD_CLOEXEC);
    // The received descriptor is the pipe's write end.
    ASSERT_EQ(::write(frame.fds[0].get(), "x", 1), 1);
    char c = 0;
    EXPECT_EQ(::read(pipeFds[0], &c, 1), 1);
    EXPECT_EQ(c, 'x');
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}

TEST(FrameIO, ReportsEachWayAStreamEnds) {
    {
        SocketPair s;
        s.a.reset();
        ipc::Frame f;
        EXPECT_EQ(ipc::readFrame(s.b.get(), f), ipc::ReadResult::Closed);
    }
    {
        SocketPair s;
        s.sendRaw({8, 0, 0, 0, 'a', 'b'}); // 8 promised, 2 sent
        s.a.reset();
        ipc::Frame f;
        EXPECT_EQ(ipc::readFrame(s.b.get(), f), ipc::ReadResult::Truncated);
    }
    {
        SocketPair s;
        s.sendRaw({8, 0}); // inside the length itself
        s.a.reset();
        ipc::Frame f;
        EXPECT_EQ(ipc::readFrame(s.b.get(), f), ipc::ReadResult::Truncated);
    }
    {
        SocketPair s;
        s.sendRaw({0x01, 0x00, 0x00, 0x01}); // 16 MiB + 1
        ipc::Frame f;
        EXPECT_EQ(ipc::readFrame(s.b.get(), f), ipc::ReadResult::Oversized);
        EXPECT_TRUE(f.bytes.empty()) << "nothing may be allocated for a refused length";
    }
    {
        SocketPair s;
        s.sendRaw({0, 0, 0, 0});
        ipc::Frame f;
        EXPECT_EQ(ipc::readFrame(s.b.get(), f), ipc::ReadResult::Empty);
    }
}

TEST(FrameIO, RefusesToWriteWhatCouldNeverBeRead) {
    SocketPair s;
    std::vector<uint8_t> tooBig(ipc::kMaxMessageBytes + 1);
    EXPECT_FALSE(ipc::writeFrame(s.a.get(), tooBig));
    EXPECT_EQ(errno, EMSGSIZE);
    s.b.reset();
    EXPECT_FALSE(ipc::writeFrame(s.a.get(), {1, 2, 3})); // peer gone: EPIPE, no SIGPIPE
}

TEST(Messages, RoundTripKeepsBooleansApartFromNumbers) {
    cf::Value args = cf::Dictionary{{"flag", true}, {"one", 1}, {"text", "YES"}};
    ipc::Frame frame;
    frame.bytes = encoded(ipc::makeRequest("distnote.post", 7, args, 0));
    std::string why;
    auto message = ipc::decodeFrame(frame, why);
    ASSERT_TRUE(message) << why;
    ASSERT_EQ(ipc::kindOf(*message), ipc::MessageKind::Request);
    auto request = ipc::parseRequest(*message, frame, why);
    ASSERT_TRUE(request) << why;
    EXPECT_EQ(request->op, "distnote.post");
    EXPECT_EQ(request->id, 7);
    EXPECT_TRUE(request->args.find("flag")->isBoolean());
    EXPECT_TRUE(request->args.find("one")->isNumber());
    EXPECT_NE(*request->args.find("flag"), *request->args.find("one"));
}

TEST(Messages, FailuresCarryTheirErrorAcross) {
    auto error = platform::Error::withDescription(platform::PlatformErrorDomain, 3, "refused for a reason");
    ipc::Frame frame;
    frame.bytes = encoded(ipc::makeFailure(9, error));
    std::string why;
    auto message = ipc::decodeFrame(frame, why);
    ASSERT_TRUE(message);
    auto reply = ipc::parseReply(*message, frame, why);
    ASSERT_TRUE(reply) << why;
    EXPECT_FALSE(reply->ok);
    EXPECT_EQ(reply->error, error);
}

TEST(Messages, RefuseMalformedInput) {
    std::string why;
    ipc::Frame frame;
    frame.bytes = {'n', 'o', 't', ' ', 'a', ' ', 'p', 'l', 'i', 's', 't'};
    EXPECT_FALSE(ipc::decodeFrame(frame, why));
    frame.bytes = encoded(cf::Value(cf::Array{1, 2}));
    EXPECT_FALSE(ipc::decodeFrame(frame, why));
    EXPECT_EQ(why, "not a dictionary");

    // The declared descriptor count must be what arrived.
    frame.bytes = encoded(ipc::makeRequest("x", 1, cf::Value::emptyDictionary(), 2));
    EXPECT_FALSE(ipc::decodeFrame(frame, why));
    frame.bytes = encoded(cf::Dictionary{{"op", "x"}, {"id", 1}, {"fds", "two"}});
    EXPECT_FALSE(ipc::decodeFrame(frame, why));

    auto parse = [&](cf::Dictionary d) {
        ipc::Frame f;
        return ipc::parseRequest(cf::Value(std::move(d)), f, why).has_value();
    };
    EXPECT_FALSE(parse({{"op", "x"}}));                             // no id
    EXPECT_FALSE(parse({{"op", ""}, {"id", 1}}));                   // empty op
    EXPECT_FALSE(parse({{"op", "x"}, {"id", 1.5}}));                // id not an integer
    EXPECT_FALSE(parse({{"op", "x"}, {"id", 1}, {"args", "str"}})); // args not a dictionary
    EXPECT_TRUE(parse({{"op", "x"}, {"id", 1}}));

    ipc::Frame f;
    EXPECT_FALSE(ipc::parseReply(cf::Dictionary{{"id", 1}, {"ok", 1}}, f, why));     // ok must be a boolean
    EXPECT_FALSE(ipc::parseReply(cf::Dictionary{{"id", 1}, {"ok", false}}, f, why)); // failure without error
    EXPECT_FALSE(ipc::parseEvent(cf::Dictionary{{"topic", "t"}, {"body", 3}}, f, why));
}

} // namespace
