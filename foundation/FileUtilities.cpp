#include "foundation/FileUtilities.h"

#include "platform/core/Format.h"

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <fcntl.h>
#include <random>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace foundation {

namespace {
constexpr double kSecondsFrom1970To2001 = 978307200.0;

bool makeOneDirectory(const std::string& path) {
    return ::mkdir(path.c_str(), 0755) == 0 || (errno == EEXIST && isDirectory(path));
}

bool writeAll(int fd, const uint8_t* bytes, size_t length) {
    while (length > 0) {
        ssize_t written = ::write(fd, bytes, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

void fillRandom(uint8_t* bytes, size_t length) {
    size_t filled = 0;
    while (filled < length) {
        ssize_t got = ::getrandom(bytes + filled, length - filled, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        filled += static_cast<size_t>(got);
    }
    if (filled == length) return;
    std::random_device device; // getrandom is unavailable: fall back to the library's source
    for (; filled < length; ++filled) bytes[filled] = static_cast<uint8_t>(device());
}
} // namespace

bool isDirectory(const std::string& path) {
    struct stat info{};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool createDirectoryWithIntermediates(const std::string& path) {
    if (path.empty()) return false;
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        std::string parent = path.substr(0, slash);
        if (!isDirectory(parent) && !makeOneDirectory(parent)) return false;
    }
    return isDirectory(path) || makeOneDirectory(path);
}

bool writeFileAtomically(const std::string& path, const void* bytes, size_t length) {
    std::string temporary = path + ".XXXXXX";
    int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = writeAll(fd, static_cast<const uint8_t*>(bytes), length);
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(temporary.c_str());
    return ok;
}

std::string newUUIDString() {
    std::array<uint8_t, 16> b{};
    fillRandom(b.data(), b.size());
    b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40); // version 4
    b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80); // RFC 4122 variant
    std::string text;
    for (size_t i = 0; i < b.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        text += platform::format("%02X", b[i]);
    }
    return text;
}

std::string dateDescription(double secondsSince2001) {
    time_t unixSeconds = static_cast<time_t>(std::floor(secondsSince2001 + kSecondsFrom1970To2001));
    struct tm utc{};
    if (!::gmtime_r(&unixSeconds, &utc)) return "";
    char text[64];
    size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S +0000", &utc);
    return std::string(text, length);
}

} // namespace foundation
