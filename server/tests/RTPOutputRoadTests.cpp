// The RTP output road between real processes: a private platformd, activation_road --rtp as the
// session's host, and the test's own receivers on 127.0.0.20 and 127.0.0.21.
#include "capture/tests/RTPReceiver.h"
#include "tools/encoderdrive/RTPPicture.h"

#include "platform/daemon/testing/PrivatePlatformd.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <turbojpeg.h>

extern char** environ;

namespace {

using capture::testing::RTPPacket;
using capture::testing::RTPReceiver;
using platformd::testing::PrivatePlatformd;
using platformd::testing::runProgram;

// Reassembles the next whole frame: from a packet with the marker to its last by the count.
std::optional<std::vector<uint8_t>> nextFrame(RTPReceiver& receiver) {
    for (int attempts = 0; attempts < 2000; ++attempts) {
        auto first = receiver.nextPacket();
        if (!first) return std::nullopt;
        if (!first->marker || first->payload.size() < 2 || first->payload[0] != 0) continue;
        const size_t count = first->payload[1];
        std::vector<uint8_t> frame(first->payload.begin() + 2, first->payload.end());
        bool whole = true;
        for (size_t i = 1; i < count && whole; ++i) {
            auto next = receiver.nextPacket();
            whole = next && next->payload.size() >= 2 && next->payload[0] == i &&
                    next->timestamp == first->timestamp;
            if (whole) frame.insert(frame.end(), next->payload.begin() + 2, next->payload.end());
        }
        if (whole) return frame;
    }
    return std::nullopt;
}

// Rectangle records of encoding 4 after the bracket whose JPEG decodes to the record's size.
size_t decodableRecords(const std::vector<uint8_t>& frame) {
    size_t found = 0;
    for (size_t at = 61; at + 15 <= frame.size(); ++at) {
        if (frame[at + 8] != 4 || frame[at + 13] != 0xFF || frame[at + 14] != 0xD8) continue;
        const uint16_t w = uint16_t(frame[at + 4] | frame[at + 5] << 8);
        const uint16_t h = uint16_t(frame[at + 6] | frame[at + 7] << 8);
        uint32_t length;
        std::memcpy(&length, frame.data() + at + 9, 4);
        if (at + 13 + length > frame.size()) continue;
        tjhandle decoder = tjInitDecompress();
        int jw = 0, jh = 0, sub = 0, cs = 0;
        const bool ok =
            tjDecompressHeader3(decoder, frame.data() + at + 13, length, &jw, &jh, &sub, &cs) == 0;
        tjDestroy(decoder);
        if (ok && jw == w && jh == h) ++found;
    }
    return found;
}

// The next whole frame as the receiver's packets bring it, in the packets' own form again (the
// drive program's reader puts frames together from whole datagrams).
std::optional<std::vector<uint8_t>> nextWholeFrame(capture::testing::UDPPort& port,
                                                   encoderdrive::RTPFrameAssembler& frames) {
    for (int attempts = 0; attempts < 2000; ++attempts) {
        auto datagram = port.receive();
        if (!datagram) return std::nullopt;
        if (auto frame = frames.take(datagram->data(), datagram->size())) return frame;
    }
    return std::nullopt;
}

// The session's display: the one of 1024 × 768 platformctl lists.
std::optional<std::string> roadDisplay() {
    auto listing = runProgram({PrivatePlatformd::platformctlPath(), "displays"});
    std::istringstream lines(listing.out);
    for (std::string line; listing.status == 0 && std::getline(lines, line);) {
        const size_t bounds = line.find(" bounds=");
        if (line.rfind("id=", 0) != 0 || bounds == std::string::npos) continue;
        const size_t size = line.find(",1024,768 ", bounds);
        if (size != std::string::npos && line.find(' ', bounds + 1) > size) return line.substr(3, bounds - 3);
    }
    return std::nullopt;
}

class RTPOutputRoad : public platformd::testing::PlatformdTest {
  protected:
    void TearDown() override {
        if (m_stdin >= 0) ::close(m_stdin);
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        if (HasFailure()) { // what the host said
            std::ifstream log(m_platformd->root() + "/var/log/activation_road.log");
            std::cerr << log.rdbuf();
            std::ifstream out(m_platformd->root() + "/var/log/activation_road.out");
            std::cerr << out.rdbuf();
        }
        PlatformdTest::TearDown();
    }
    bool startRoad() {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string log = m_platformd->root() + "/var/log/activation_road.log";
        int in[2];
        if (::pipe2(in, O_CLOEXEC) != 0) return false;
        posix_spawn_file_actions_adddup2(&actions, in[0], 0); // held open: its end is the host's end
        m_stdin = in[1];
        const std::string out = m_platformd->root() + "/var/log/activation_road.out";
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<std::string> arguments{ACTIVATION_ROAD_PATH, "--rtp", "2"};
        std::vector<char*> argv;
        for (auto& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        const int error = ::posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        return error == 0;
    }
    pid_t m_pid = -1;
    int m_stdin = -1;
};

} // namespace

TEST_F(RTPOutputRoad, FramesReachBothReceiversAndTheEndBringsTheBye) {
    RTPReceiver first("127.0.0.20"), second("127.0.0.21");
    ASSERT_TRUE(startRoad());
    for (RTPReceiver* receiver : {&first, &second}) {
        // What the session wrote before its first bracketed update goes out as a frame of its own,
        // and the first updates come before the encoder has its socket: frames are read until one
        // carries rectangle records.
        std::optional<std::vector<uint8_t>> frame;
        size_t records = 0;
        for (int i = 0; i < 200 && records == 0; ++i) {
            frame = nextFrame(*receiver);
            ASSERT_TRUE(frame.has_value());
            if (frame->size() >= 61 && (*frame)[0] == 0x79) records = decodableRecords(*frame);
        }
        EXPECT_GT(records, 0u);
        EXPECT_EQ((*frame)[1], 61);
        EXPECT_EQ((*frame)[2], 0);
        const uint8_t record[] = {1, 3, 0, 1, 1, 0, 0, 3, 0, 1, 0};
        EXPECT_EQ(std::memcmp(frame->data() + 3, record, sizeof record), 0);
        EXPECT_EQ((*frame)[50], 16); // the resolution message
    }
    ASSERT_EQ(::kill(m_pid, SIGTERM), 0);
    int status = -1;
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (RTPReceiver* receiver : {&first, &second}) {
        auto bye = receiver->nextReport([](const capture::testing::RTCPReport& r) { return r.bye; });
        ASSERT_TRUE(bye.has_value());
        EXPECT_EQ(bye->byeReason, "End transmission");
    }
}

// After a draw, the frames of the first receiver rebuild the display's picture: every frame
// opens with the block naming 1024 × 768, its records decode, and once the raster refresh has
// gone round the picture is the display's within JPEG error.
TEST_F(RTPOutputRoad, AfterADrawTheFramesRebuildTheDisplaysPicture) {
    RTPReceiver first("127.0.0.20"), second("127.0.0.21");
    ASSERT_TRUE(startRoad());
    encoderdrive::RTPFrameAssembler frames;
    encoderdrive::RTPPicture picture(1024, 768);
    // Frames before the session's first bracketed update carry no block.
    bool bracketed = false;
    for (int i = 0; i < 400 && !bracketed; ++i) {
        auto frame = nextWholeFrame(first.rtp, frames);
        ASSERT_TRUE(frame.has_value()) << "no frame";
        bracketed = frame->size() >= 3 && (*frame)[0] == 0x79 && (*frame)[1] == 61;
    }
    ASSERT_TRUE(bracketed);
    const auto display = roadDisplay();
    ASSERT_TRUE(display.has_value()) << "no display of 1024 x 768";
    auto drawn = runProgram({PrivatePlatformd::platformctlPath(), "draw", "display", *display, "photo", "7"});
    ASSERT_EQ(drawn.status, 0) << drawn.err;

    // The raster: eight interlaced passes over 24 bands of 32 rows, four rows a strip. A changed
    // area, sent at low quality, may land on strips already sent: a whole round after the last,
    // and the first strips, which may have been taken before the draw was composed, once more.
    // On a loaded machine the draw may reach the encoder after that round has begun; the picture
    // then still lacks it, and another round follows, up to four.
    constexpr size_t kStrips = 192;
    const std::string path = m_platformd->root() + "/display.bgrx";
    double psnr = 0;
    for (int round = 0; round < 4 && psnr < 30.0; ++round) {
        const size_t goal = round == 0 ? kStrips + 32 : picture.stripsSinceChange() + kStrips;
        while (picture.stripsSinceChange() < goal) {
            auto frame = nextWholeFrame(first.rtp, frames);
            ASSERT_TRUE(frame.has_value()) << "frames stopped after " << picture.frames();
            ASSERT_TRUE(picture.feedFrame(*frame)) << picture.error();
        }
        EXPECT_EQ(picture.width(), 1024);
        EXPECT_EQ(picture.height(), 768);

        auto read = runProgram({PrivatePlatformd::platformctlPath(), "read-display", *display, "--bgrx", path});
        ASSERT_EQ(read.status, 0) << read.err;
        std::ifstream in(path, std::ios::binary);
        const std::vector<uint8_t> shown((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ASSERT_EQ(shown.size(), 1024u * 768u * 4u);
        psnr = encoderdrive::psnr(picture.pixels().data(), 1024 * 4, shown.data(), 1024 * 4, 1024, 768);
        std::printf("rtp road: round %d frames %zu records %zu psnr %.2f dB\n", round + 1, picture.frames(),
                    picture.counts().records, psnr);
    }
    EXPECT_GE(psnr, 30.0);
}
