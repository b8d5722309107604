// CAStreamBasicDescription::FromText: "format[@rate][/flags][#frames][:LHbytes][,channelsDI]".
#include "input/CAStreamBasicDescription.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace input {

using namespace coreaudio;

namespace {

constexpr const char* kSyntax =
    "format[@sample_rate_hz][/format_flags][#frames_per_packet][:LHbytesPerFrame][,channelsDI].\n"
    "Format for PCM is [-][BE|LE]{F|I|UI}{bitdepth}; else a 4-char format code (e.g. aac, alac).\n";
constexpr const char* kSeparators = "@/#:,";

void printError(const char* fmt, const char* arg = "") {
    std::fprintf(stderr, fmt, arg);
    std::fflush(stderr);
}

// A decimal or hexadecimal u32 at p; false when there are no digits or it does not fit.
bool readU32(const char*& p, int base, UInt32& value) {
    if (!std::isxdigit(static_cast<unsigned char>(*p))) return false;
    if (base == 10 && !std::isdigit(static_cast<unsigned char>(*p))) return false;
    char* end = nullptr;
    unsigned long long v = std::strtoull(p, &end, base);
    if (end == p || v > UINT32_MAX) return false;
    p = end;
    value = static_cast<UInt32>(v);
    return true;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

struct PCMForm {
    bool found = false;
    bool nonMixable = false;
    bool bigEndian = false;
    bool isFloat = false;
    bool isSigned = false;
    UInt32 bits = 0;
    UInt32 fraction = 0;
};

// Reads [-][BE|LE]{F|I|UI}{bitdepth}[.fraction]; answers false on a malformed fraction.
bool readPCM(const char*& p, PCMForm& form) {
    const char* q = p;
    PCMForm f;
    if (*q == '-') {
        f.nonMixable = true;
        ++q;
    }
    if (std::strncmp(q, "BE", 2) == 0) {
        f.bigEndian = true;
        q += 2;
    } else if (std::strncmp(q, "LE", 2) == 0) {
        q += 2;
    }
    if (*q == 'F') {
        f.isFloat = true;
        ++q;
    } else if (std::strncmp(q, "UI", 2) == 0) {
        q += 2;
    } else if (*q == 'I') {
        f.isSigned = true;
        ++q;
    } else {
        return true; // not PCM
    }
    if (!readU32(q, 10, f.bits)) return true;
    if (*q == '.') {
        ++q;
        if (!readU32(q, 10, f.fraction) || f.fraction > 63 ||
            f.bits + static_cast<uint64_t>(f.fraction) > 1024) {
            printError("Expected fractional bits following '.'\n");
            return false;
        }
        f.bits += f.fraction;
    }
    f.found = true;
    form = f;
    p = q;
    return true;
}

// Reads up to four characters of a format code, each a byte or "\xHH"; shorter codes are
// padded with blanks.
bool readCode(const char*& p, OSType& code) {
    unsigned char bytes[4] = {' ', ' ', ' ', ' '};
    int count = 0;
    while (*p && !std::strchr(kSeparators, *p) && count < 4) {
        if (*p == '\\') {
            if (p[1] != 'x' || hexValue(p[2]) < 0 || hexValue(p[3]) < 0) return false;
            bytes[count++] = static_cast<unsigned char>(hexValue(p[2]) * 16 + hexValue(p[3]));
            p += 4;
        } else {
            bytes[count++] = static_cast<unsigned char>(*p++);
        }
    }
    if (count == 0) return false;
    code = static_cast<OSType>(bytes[0]) << 24 | static_cast<OSType>(bytes[1]) << 16 |
           static_cast<OSType>(bytes[2]) << 8 | bytes[3];
    return true;
}

struct Options {
    double sampleRate = 0;
    bool haveFlags = false;
    UInt32 flags = 0;
    UInt32 framesPerPacket = 0;
    bool haveWordSize = false;
    bool alignedHigh = false;
    UInt32 wordSize = 0;
    UInt32 channels = 2;
    bool deinterleaved = false;
};

bool readOptions(const char*& p, Options& o) {
    if (*p == '@') {
        ++p;
        char* end = nullptr;
        o.sampleRate = std::strtod(p, &end);
        if (end == p || !(o.sampleRate >= 0)) return false;
        p = end;
    }
    if (*p == '/') {
        ++p;
        if (!readU32(p, 16, o.flags)) return false;
        o.haveFlags = true;
    }
    if (*p == '#') {
        ++p;
        if (!readU32(p, 10, o.framesPerPacket)) return false;
    }
    if (*p == ':') {
        ++p;
        if (*p == 'L' || *p == 'H') o.alignedHigh = *p++ == 'H';
        if (!readU32(p, 10, o.wordSize)) return false;
        o.haveWordSize = true;
    }
    if (*p == ',') {
        ++p;
        if (!readU32(p, 10, o.channels)) return false;
        if (*p == 'D' || *p == 'I') o.deinterleaved = *p++ == 'D';
    }
    return true;
}

bool fillPCM(const PCMForm& f, const Options& o, AudioStreamBasicDescription& out) {
    const uint64_t word = o.haveWordSize ? o.wordSize : (f.bits + 7) / 8;
    const uint64_t frameBytes = o.deinterleaved ? word : word * o.channels;
    if (frameBytes > UINT32_MAX) return false;
    UInt32 flags = f.isFloat ? kAudioFormatFlagIsFloat : (f.isSigned ? kAudioFormatFlagIsSignedInteger : 0);
    if (f.bigEndian) flags |= kAudioFormatFlagIsBigEndian;
    if (f.nonMixable) flags |= kAudioFormatFlagIsNonMixable;
    if (word * 8 == f.bits) {
        flags |= kAudioFormatFlagIsPacked;
    } else if (o.alignedHigh) {
        flags |= kAudioFormatFlagIsAlignedHigh;
    }
    if (o.deinterleaved) flags |= kAudioFormatFlagIsNonInterleaved;
    flags |= f.fraction << kLinearPCMFormatFlagsSampleFractionShift;
    out.mFormatID = kAudioFormatLinearPCM;
    out.mFormatFlags = o.haveFlags ? o.flags : flags;
    out.mBitsPerChannel = f.bits;
    out.mChannelsPerFrame = o.channels;
    out.mBytesPerFrame = static_cast<UInt32>(frameBytes);
    out.mBytesPerPacket = static_cast<UInt32>(frameBytes);
    out.mFramesPerPacket = 1;
    return true;
}

bool parse(const char* text, AudioStreamBasicDescription& out) {
    const char* p = text;
    PCMForm pcm;
    if (!readPCM(p, pcm)) return false;
    OSType code = kAudioFormatLinearPCM;
    if (!pcm.found && !readCode(p, code)) return false;
    Options options;
    if (!readOptions(p, options)) return false;
    if (*p) {
        printError("extra characters at end of format string: %s\n", p);
        return false;
    }
    out = AudioStreamBasicDescription{};
    out.mSampleRate = options.sampleRate;
    if (pcm.found) return fillPCM(pcm, options, out);
    if (options.deinterleaved) {
        printError("non-interleaved flag invalid for non-PCM formats\n");
        return false;
    }
    out.mFormatID = code;
    out.mFormatFlags = options.flags;
    out.mChannelsPerFrame = options.channels;
    out.mFramesPerPacket = options.framesPerPacket;
    return true;
}

} // namespace

bool CAStreamBasicDescription::FromText(const char* text, AudioStreamBasicDescription& out) {
    if (text && parse(text, out)) return true;
    printError("Invalid format string: %s\n", text ? text : "(null)");
    printError("Syntax of format strings is: \n");
    printError("%s", kSyntax);
    return false;
}

} // namespace input
