#include "input/CAStreamBasicDescription.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace coreaudio;
using input::CAStreamBasicDescription;

namespace {

bool parse(const std::string& text, AudioStreamBasicDescription& out, std::string* printed = nullptr) {
    ::testing::internal::CaptureStderr();
    bool ok = CAStreamBasicDescription::FromText(text.c_str(), out);
    std::string err = ::testing::internal::GetCapturedStderr();
    if (printed) *printed = err;
    return ok;
}

CAStreamBasicDescription bridgeFormat() {
    return CAStreamBasicDescription(44100.0, kAudioFormatLinearPCM, 4, 1, 4, 2, 16,
                                    kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked);
}

} // namespace

TEST(CAStreamBasicDescriptionTest, Constructors) {
    CAStreamBasicDescription zero;
    const unsigned char none[40] = {};
    EXPECT_EQ(std::memcmp(&zero, none, 40), 0);
    CAStreamBasicDescription f = bridgeFormat();
    EXPECT_EQ(f.mSampleRate, 44100.0);
    EXPECT_EQ(f.mFormatFlags, 0x0Cu);
    EXPECT_EQ(f.mBytesPerPacket, 4u);
    EXPECT_EQ(f.mChannelsPerFrame, 2u);
    EXPECT_EQ(f.mReserved, 0u);
    AudioStreamBasicDescription raw = f;
    raw.mReserved = 7;
    CAStreamBasicDescription copy(raw);
    EXPECT_EQ(std::memcmp(&copy, &raw, 40), 0);
}

TEST(CAStreamBasicDescriptionTest, FromTextPCMAndCodes) {
    AudioStreamBasicDescription d{};
    ASSERT_TRUE(parse("LEI16@44100,2", d));
    EXPECT_EQ(d.mFormatID, kAudioFormatLinearPCM);
    EXPECT_EQ(d.mSampleRate, 44100.0);
    EXPECT_EQ(d.mFormatFlags, kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked);
    EXPECT_EQ(d.mBitsPerChannel, 16u);
    EXPECT_EQ(d.mChannelsPerFrame, 2u);
    EXPECT_EQ(d.mBytesPerFrame, 4u);
    EXPECT_EQ(d.mBytesPerPacket, 4u);
    EXPECT_EQ(d.mFramesPerPacket, 1u);
    EXPECT_TRUE(CAStreamBasicDescription(d).IsEqual(bridgeFormat(), false));

    ASSERT_TRUE(parse("F32", d));
    EXPECT_EQ(d.mFormatFlags, kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked);
    EXPECT_EQ(d.mBitsPerChannel, 32u);
    EXPECT_EQ(d.mBytesPerFrame, 8u);
    EXPECT_EQ(d.mSampleRate, 0.0);

    ASSERT_TRUE(parse("-BEI24", d));
    EXPECT_EQ(d.mFormatFlags, kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked |
                                  kAudioFormatFlagIsBigEndian | kAudioFormatFlagIsNonMixable);
    EXPECT_EQ(d.mBytesPerFrame, 6u);

    ASSERT_TRUE(parse("aac", d));
    EXPECT_EQ(d.mFormatID, 0x61616320u); // 'aac '
    EXPECT_EQ(d.mChannelsPerFrame, 2u);

    ASSERT_TRUE(parse("I8.24:H4,1D", d));
    EXPECT_EQ(d.mBitsPerChannel, 32u);
    EXPECT_EQ((d.mFormatFlags & kLinearPCMFormatFlagsSampleFractionMask) >>
                  kLinearPCMFormatFlagsSampleFractionShift,
              24u);
    ASSERT_TRUE(parse("I24:H4,2", d));
    EXPECT_EQ(d.mFormatFlags, kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsAlignedHigh);
    EXPECT_EQ(d.mBytesPerFrame, 8u);
    ASSERT_TRUE(parse("\\x01b\\x7Fd@8000/2#1024", d));
    EXPECT_EQ(d.mFormatID, 0x01627F64u);
    EXPECT_EQ(d.mFormatFlags, 2u);
    EXPECT_EQ(d.mFramesPerPacket, 1024u);
}

TEST(CAStreamBasicDescriptionTest, FromTextRefusesBadTextWithTheSyntax) {
    AudioStreamBasicDescription d{};
    std::string printed;
    EXPECT_FALSE(parse("", d, &printed));
    EXPECT_NE(printed.find("Invalid format string: \n"), std::string::npos);
    EXPECT_NE(printed.find("Syntax of format strings is: \nformat[@sample_rate_hz][/format_flags]"),
              std::string::npos);
    EXPECT_NE(printed.find("(e.g. aac, alac).\n"), std::string::npos);

    EXPECT_FALSE(parse("I16.", d, &printed));
    EXPECT_EQ(printed.find("Expected fractional bits following '.'\n"), 0u);
    EXPECT_FALSE(parse("aac,2D", d, &printed));
    EXPECT_EQ(printed.find("non-interleaved flag invalid for non-PCM formats\n"), 0u);
    EXPECT_FALSE(parse("F32@44100x", d, &printed));
    EXPECT_EQ(printed.find("extra characters at end of format string: x\n"), 0u);
    EXPECT_FALSE(parse("abcde", d, &printed));
    for (const char* bad :
         {"\\x", "\\x4", "ab\\xg1", "I16/zz", "I16#", "I16,", "I99999999999", "F32@-5", "@44100"})
        EXPECT_FALSE(parse(bad, d)) << bad;
    EXPECT_FALSE(parse(std::string(1000, 'I'), d));
    EXPECT_FALSE(parse("I" + std::string(1000, '9'), d));
}

TEST(CAStreamBasicDescriptionTest, AsStringOfTheBridgeFormat) {
    char text[256];
    bridgeFormat().AsString(text, sizeof text);
    EXPECT_STREQ(text, " 2 ch,  44100 Hz, 'lpcm' (0x0000000C) 16-bit little-endian signed integer");
    CAStreamBasicDescription unpacked(48000, kAudioFormatLinearPCM, 8, 1, 8, 2, 24,
                                      kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsAlignedHigh |
                                          kAudioFormatFlagIsBigEndian);
    unpacked.AsString(text, sizeof text);
    EXPECT_STREQ(
        text, " 2 ch,  48000 Hz, 'lpcm' (0x00000016) 24-bit big-endian signed integer, unpacked in 4 bytes "
              "high-aligned");
    CAStreamBasicDescription alac(44100, CAStreamBasicDescription::kAudioFormatAppleLossless, 0, 4096, 0, 2,
                                  0, 3);
    alac.AsString(text, sizeof text);
    EXPECT_STREQ(text, " 2 ch,  44100 Hz, 'alac' (0x00000003) from 24-bit source, 4096 frames/packet");
    alac.mFormatFlags = 9;
    alac.AsString(text, sizeof text);
    EXPECT_STREQ(text,
                 " 2 ch,  44100 Hz, 'alac' (0x00000009) from UNKNOWN source bit depth, 4096 frames/packet");

    char small[8];
    bridgeFormat().AsString(small, sizeof small);
    EXPECT_STREQ(small, " 2 ch, ");
    char one[1] = {'x'};
    bridgeFormat().AsString(one, sizeof one);
    EXPECT_EQ(one[0], 0);
}

TEST(CAStreamBasicDescriptionTest, StringForOSType) {
    char text[16];
    EXPECT_STREQ(CAStreamBasicDescription::CAStringForOSType(kAudioFormatLinearPCM, text, sizeof text),
                 "'lpcm'");
    EXPECT_STREQ(CAStreamBasicDescription::CAStringForOSType(0x615C6364, text, sizeof text),
                 "0x615C6364"); // 'a\cd'
    EXPECT_STREQ(CAStreamBasicDescription::CAStringForOSType(0x00000001, text, sizeof text), "0x00000001");
    char small[4];
    EXPECT_STREQ(CAStreamBasicDescription::CAStringForOSType(kAudioFormatLinearPCM, small, sizeof small),
                 "'lp");
}

TEST(CAStreamBasicDescriptionTest, SimpleNames) {
    char text[128];
    CAStreamBasicDescription::GetSimpleName(bridgeFormat(), text, sizeof text, true, false);
    EXPECT_STREQ(text, "Mixable 2 Ch SInt16");
    CAStreamBasicDescription::GetSimpleName(bridgeFormat(), text, sizeof text, false, true);
    EXPECT_STREQ(text, "44100 Mixable 2 Channel 16 Bit Signed Integer");
    CAStreamBasicDescription be(0, kAudioFormatLinearPCM, 8, 1, 8, 2, 24,
                                kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsBigEndian |
                                    kAudioFormatFlagIsNonMixable);
    CAStreamBasicDescription::GetSimpleName(be, text, sizeof text, true);
    EXPECT_STREQ(text, "Unmixable 2 Ch Big Endian Low SInt24/SInt32");
    CAStreamBasicDescription::GetSimpleName(be, text, sizeof text, false);
    EXPECT_STREQ(text, "Unmixable 2 Channel 24 Bit Big Endian Low Aligned Signed Integer in 32 Bits");
    CAStreamBasicDescription ac3(48000, CAStreamBasicDescription::kAudioFormatAC3, 0, 1536, 0, 6, 0, 0);
    CAStreamBasicDescription::GetSimpleName(ac3, text, sizeof text, true, true);
    EXPECT_STREQ(text, "48000 AC-3");
    char small[6];
    CAStreamBasicDescription::GetSimpleName(bridgeFormat(), small, sizeof small, false);
    EXPECT_STREQ(small, "Mixab");
}

TEST(CAStreamBasicDescriptionTest, WildcardEquality) {
    CAStreamBasicDescription f = bridgeFormat();
    CAStreamBasicDescription wild;
    wild.mFormatID = kAudioFormatLinearPCM;
    wild.mChannelsPerFrame = 2;
    EXPECT_TRUE(f == wild);
    EXPECT_FALSE(f.IsEqual(wild, false));
    wild.mChannelsPerFrame = 1;
    EXPECT_FALSE(f == wild);
    // Packed does not change full-width samples.
    CAStreamBasicDescription unpackedFlag = f;
    unpackedFlag.mFormatFlags = kAudioFormatFlagIsSignedInteger;
    EXPECT_TRUE(f == unpackedFlag);
    unpackedFlag.mFormatFlags |= kAudioFormatFlagIsBigEndian;
    EXPECT_FALSE(f == unpackedFlag);
    // Non-interleaved does not change mono.
    CAStreamBasicDescription mono(44100, kAudioFormatLinearPCM, 2, 1, 2, 1, 16, 0x0C);
    CAStreamBasicDescription monoNI = mono;
    monoNI.mFormatFlags |= kAudioFormatFlagIsNonInterleaved;
    EXPECT_TRUE(mono == monoNI);
    EXPECT_TRUE(CAStreamBasicDescription() == f);
}

TEST(CAStreamBasicDescriptionTest, OrderingPutsPCMAndMixableFloatFirst) {
    CAStreamBasicDescription pcm = bridgeFormat();
    CAStreamBasicDescription aac(44100, 0x61616320, 0, 1024, 0, 2, 0, 0);
    EXPECT_TRUE(pcm < aac);
    EXPECT_FALSE(aac < pcm);
    CAStreamBasicDescription floats(44100, kAudioFormatLinearPCM, 8, 1, 8, 2, 32, 9);
    EXPECT_TRUE(floats < pcm);
    CAStreamBasicDescription unmixable = floats;
    unmixable.mFormatFlags |= kAudioFormatFlagIsNonMixable;
    EXPECT_TRUE(pcm < unmixable);
    CAStreamBasicDescription rate = pcm;
    rate.mSampleRate = 48000;
    EXPECT_TRUE(pcm < rate);
    CAStreamBasicDescription wild = pcm;
    wild.mSampleRate = 0;
    EXPECT_FALSE(wild < rate);
    EXPECT_FALSE(rate < wild);
}

TEST(CAStreamBasicDescriptionTest, SanityCheckBounds) {
    CAStreamBasicDescription f = bridgeFormat();
    EXPECT_TRUE(CAStreamBasicDescription::SanityCheck(f));
    auto broken = [&](auto change) {
        CAStreamBasicDescription d = f;
        change(d);
        return !CAStreamBasicDescription::SanityCheck(d);
    };
    EXPECT_TRUE(broken([](auto& d) { d.mSampleRate = 3000000; }));
    EXPECT_FALSE(broken([](auto& d) { d.mSampleRate = 2999999; }));
    EXPECT_TRUE(broken([](auto& d) { d.mSampleRate = -1; }));
    EXPECT_TRUE(broken([](auto& d) { d.mBytesPerFrame = d.mBytesPerPacket = 1000000; }));
    EXPECT_FALSE(broken([](auto& d) { d.mBytesPerFrame = d.mBytesPerPacket = 999999; }));
    EXPECT_TRUE(broken([](auto& d) { d.mChannelsPerFrame = 1025; }));
    EXPECT_FALSE(broken([](auto& d) { d.mBitsPerChannel = 1024; }));
    EXPECT_TRUE(broken([](auto& d) { d.mFormatID = 0; }));
    EXPECT_TRUE(broken([](auto& d) { d.mBytesPerPacket = 8; }));
    EXPECT_TRUE(broken([](auto& d) { d.mFramesPerPacket = 2; }));
}

TEST(CAStreamBasicDescriptionTest, NormalizeResetAndFillOut) {
    CAStreamBasicDescription f = bridgeFormat();
    CAStreamBasicDescription::NormalizeLinearPCMFormat(f);
    EXPECT_EQ(f.mFormatFlags, 9u);
    EXPECT_EQ(f.mBytesPerFrame, 8u);
    EXPECT_EQ(f.mBytesPerPacket, 8u);
    EXPECT_EQ(f.mBitsPerChannel, 32u);
    CAStreamBasicDescription g = bridgeFormat();
    CAStreamBasicDescription::NormalizeLinearPCMFormat(false, g);
    EXPECT_EQ(g.mFormatFlags, 11u);
    CAStreamBasicDescription unmixable = bridgeFormat();
    unmixable.mFormatFlags |= kAudioFormatFlagIsNonMixable;
    CAStreamBasicDescription::NormalizeLinearPCMFormat(unmixable);
    EXPECT_EQ(unmixable.mBitsPerChannel, 16u);

    EXPECT_EQ(bridgeFormat().SampleWordSize(), 2u);
    EXPECT_EQ(CAStreamBasicDescription().SampleWordSize(), 0u);
    CAStreamBasicDescription ni(44100, kAudioFormatLinearPCM, 2, 1, 2, 2, 16,
                                0x0C | kAudioFormatFlagIsNonInterleaved);
    EXPECT_EQ(ni.SampleWordSize(), 2u);

    CAStreamBasicDescription r = bridgeFormat();
    r.mReserved = 5;
    r.ResetFormat();
    EXPECT_EQ(r.mSampleRate, 0.0);
    EXPECT_EQ(r.mFormatID, 0u);
    EXPECT_EQ(r.mBitsPerChannel, 0u);
    EXPECT_EQ(r.mReserved, 5u);

    CAStreamBasicDescription partial;
    partial.mChannelsPerFrame = 1;
    partial.FillOutFormat(bridgeFormat());
    EXPECT_EQ(partial.mChannelsPerFrame, 1u);
    EXPECT_EQ(partial.mSampleRate, 44100.0);
    EXPECT_EQ(partial.mFormatID, kAudioFormatLinearPCM);
    EXPECT_EQ(partial.mBytesPerFrame, 4u);
}
