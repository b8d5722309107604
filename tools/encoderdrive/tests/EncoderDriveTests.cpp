// encoder_drive against a private platformd with both kexts: a screen-server stand-in enables
// framebuffer 2 at 1024 × 768, and the drive program runs each encoder on that display.
#include "platform/daemon/testing/PrivatePlatformd.h"
#include "platform/windowserver/WindowServerProtocol.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using platformd::testing::ChildProcess;
using platformd::testing::PlatformdTest;
using platformd::testing::runProgram;

const std::string kHelper = IOKIT_HELPER_PATH;
const std::string kDrive = ENCODER_DRIVE_PATH;
constexpr double kDriveLimit = 120;

class EncoderDrive : public PlatformdTest {
  protected:
    void SetUp() override {
        PlatformdTest::SetUp();
        // The stand-in reads its commands from a fifo; mode 1 is 1024 × 768.
        m_fifo = m_platformd->root() + "/helper.fifo";
        ASSERT_EQ(::mkfifo(m_fifo.c_str(), 0600), 0);
        m_commands = ::open(m_fifo.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(m_commands, 0);
        std::vector<std::string> argv{kHelper, m_fifo, "2"};
        for (const auto& mode : modes())
            argv.push_back(mode);
        ASSERT_TRUE(m_helper.start(argv, m_platformd->root() + "/helper.out"));
        auto added = platformd::testing::waitForEvent(std::string(windowserver::eventKind::displayAdded),
                                                      cf::Dictionary{{"id", int64_t(0x102)}}, 30);
        ASSERT_TRUE(added);
    }
    void TearDown() override {
        if (m_commands >= 0) {
            const std::string exitLine = "exit\n";
            EXPECT_EQ(::write(m_commands, exitLine.data(), exitLine.size()), ssize_t(exitLine.size()));
            m_helper.wait(10);
            ::close(m_commands);
        }
        PlatformdTest::TearDown();
    }

    // The display's modes, the first its size.
    virtual std::vector<std::string> modes() const { return {"1", "34"}; }

    // Runs h264 and answers its frames, key frames and PSNR after checking the line's form and size.
    void expectH264(const std::string& size) {
        auto result = runProgram({kDrive, "--seconds", "2", "h264"}, kDriveLimit);
        ASSERT_EQ(result.status, 0) << result.out << result.err;
        std::printf("%s", result.out.c_str());
        unsigned frames = 0, keyFrames = 0;
        char sized[32] = {};
        double psnr = 0;
        ASSERT_EQ(std::sscanf(result.out.c_str(), "h264: frames %u keyframes %u size %31s psnr %lf dB",
                              &frames, &keyFrames, sized, &psnr),
                  4)
            << result.out;
        EXPECT_EQ(sized, size);
        EXPECT_GE(frames, 10u);
        EXPECT_GE(keyFrames, 1u);
        EXPECT_LT(keyFrames, frames);
        EXPECT_GE(psnr, 30.0);
    }

    std::string m_fifo;
    int m_commands = -1;
    ChildProcess m_helper;
};

TEST_F(EncoderDrive, VellRebuildsTheVirtualDisplay) {
    auto result = runProgram({kDrive, "--seconds", "2", "vell"}, kDriveLimit);
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    std::printf("%s", result.out.c_str());
    unsigned updates = 0, records = 0, hq = 0, lq = 0, squeezed = 0, copies = 0, dummies = 0;
    double psnr = 0;
    char end = 0;
    ASSERT_EQ(
        std::sscanf(result.out.c_str(),
                    "vell: updates %u records %u (hq %u lq %u squeezed %u copy %u dummy %u) psnr %lf dB%c",
                    &updates, &records, &hq, &lq, &squeezed, &copies, &dummies, &psnr, &end),
        9)
        << result.out;
    EXPECT_EQ(end, '\n');
    EXPECT_GE(updates, 10u); // a request each thirtieth of a second; fewer on a loaded machine
    EXPECT_EQ(records, hq + lq + squeezed + copies + dummies);
    EXPECT_GT(hq, 0u);     // the first frame and the cooled areas
    EXPECT_GT(copies, 0u); // the window's moves
    EXPECT_GE(psnr, 35.0);
}

TEST_F(EncoderDrive, VellOnANamedDisplay) {
    auto result = runProgram({kDrive, "--display", "0x102", "--seconds", "1", "vell"}, kDriveLimit);
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.out.rfind("vell: updates ", 0), 0u) << result.out;
}

TEST_F(EncoderDrive, TheoraPacesAtThirtyAndWritesNothing) {
    auto result = runProgram({kDrive, "--seconds", "2", "theora"}, kDriveLimit);
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    std::printf("%s", result.out.c_str());
    unsigned requests = 0;
    char tail[32] = {};
    ASSERT_EQ(
        std::sscanf(result.out.c_str(), "theora: requests %u in 2 s, updates %31[^\n]", &requests, tail), 2)
        << result.out;
    EXPECT_STREQ(tail, "0");
    EXPECT_GT(requests, 0u);
    EXPECT_LE(requests, 61u);
}

TEST_F(EncoderDrive, H264DecodesTheVirtualDisplay) {
    expectH264("1024x768");
}

class EncoderDriveOddSize : public EncoderDrive {
  protected:
    std::vector<std::string> modes() const override { return {"349"}; } // 840 × 525
};

TEST_F(EncoderDriveOddSize, H264DecodesAtTheDisplaySize) {
    expectH264("840x525");
}

// The RTP encoder through an outbound RTP socket: every frame reaches both receivers, the
// picture rebuilt once the raster went round matches the display, the close brings two BYEs.
TEST_F(EncoderDrive, RtpRebuildsTheVirtualDisplayAtBothReceivers) {
    auto result = runProgram({kDrive, "--seconds", "2", "rtp"}, kDriveLimit);
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    std::printf("%s", result.out.c_str());
    unsigned frames = 0, packets = 0, receivers = 0, byes = 0;
    double psnr = 0;
    char end = 0;
    ASSERT_EQ(std::sscanf(result.out.c_str(), "rtp: frames %u packets %u receivers %u psnr %lf dB bye %u%c",
                          &frames, &packets, &receivers, &psnr, &byes, &end),
              6)
        << result.out;
    EXPECT_EQ(end, '\n');
    EXPECT_GT(frames, 30u);
    EXPECT_GE(packets, frames);
    EXPECT_EQ(receivers, 2u);
    EXPECT_GE(psnr, 30.0);
    EXPECT_EQ(byes, 2u);
}

// The audio bridge on the stand-in's HAL unit: whole buffers at 44.1 kHz, the signal in the ring.
TEST_F(EncoderDrive, AudioCountsWholeBuffersAndFindsTheSignalInTheRing) {
    auto result = runProgram({kDrive, "--seconds", "2", "audio"}, kDriveLimit);
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    std::printf("%s", result.out.c_str());
    unsigned long long frames = 0, wraps = 0;
    char signal[16] = {};
    ASSERT_EQ(
        std::sscanf(result.out.c_str(), "audio: frames %llu signal %15s wraps %llu", &frames, signal, &wraps),
        3)
        << result.out;
    EXPECT_STREQ(signal, "ok");
    EXPECT_EQ(frames % 512, 0u);
    EXPECT_NEAR(double(frames), 88200.0, 0.02 * 88200.0);
    EXPECT_EQ(wraps, frames * 4 / 131072);
}

TEST_F(EncoderDrive, RefusesWhatItCannotDrive) {
    auto absent = runProgram({kDrive, "--display", "0x999", "--seconds", "1", "vell"}, kDriveLimit);
    EXPECT_EQ(absent.status, 1);
    EXPECT_NE(absent.out.find("is not active"), std::string::npos) << absent.out;
    EXPECT_EQ(runProgram({kDrive, "mpeg"}, kDriveLimit).status, 2);
    EXPECT_EQ(runProgram({kDrive, "rtp", "audio"}, kDriveLimit).status, 2);
    EXPECT_EQ(runProgram({kDrive, "--seconds", "-1", "vell"}, kDriveLimit).status, 2);
}

} // namespace
