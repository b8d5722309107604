// What the `platformctl ui` tests share: platformctl run in-process against the test's private
// platformd, an element's tree line, and pixels of the PNG files the verbs write.
#pragma once

#include "platform/corefoundation/CFPreferences.h"
#include "platform/ctl/Platformctl.h"
#include "platform/daemon/testing/PrivatePlatformd.h"
#include "platform/foundation/PNG.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace uitest {

// A test operating the application named app.
class UIAppTest : public platformd::testing::PlatformdTest {
  protected:
    explicit UIAppTest(std::string app) : m_appName(std::move(app)) {}
    int run(std::vector<std::string> args) {
        m_out.str("");
        m_err.str("");
        args.insert(args.begin(), {"--root", m_platformd->root()});
        ctl::Platformctl ctl(m_out, m_err);
        return ctl.run(args);
    }
    // A preference as `prefs read` prints it, without its line feed, read afresh from disk;
    // "(none)" when absent. anyUserCurrentHost: the file of any user on this host (the window
    // server's), else the current user's.
    std::string readPreference(const std::string& domain, const std::string& key,
                               bool anyUserCurrentHost = false) {
        std::vector<std::string> args{"prefs", "read", domain, key};
        if (anyUserCurrentHost) args.insert(args.end(), {"--any-user", "--current-host"});
        cf::CFPreferencesSynchronize(
            domain, anyUserCurrentHost ? cf::kCFPreferencesAnyUser : cf::kCFPreferencesCurrentUser,
            anyUserCurrentHost ? cf::kCFPreferencesCurrentHost : cf::kCFPreferencesAnyHost);
        if (run(args) != 0) return "(none)";
        std::string out = m_out.str();
        if (!out.empty() && out.back() == '\n') out.pop_back();
        return out;
    }
    // The tree line of the element, read through `ui tree`.
    std::string line(const std::string& path) {
        EXPECT_EQ(run({"ui", "tree", m_appName, path, "--depth", "0"}), 0) << m_err.str();
        return m_out.str();
    }

    std::string m_appName;
    std::ostringstream m_out, m_err;
};

// A pixel of a PNG file as 0xRRGGBB; 0xDEADBEEF when unreadable or outside it. at(-1, -1): the centre.
inline uint32_t pixelOf(const std::string& file, double x = -1, double y = -1) {
    std::ifstream in(file, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto image = png::decode(bytes);
    if (!image) return 0xDEADBEEF;
    if (x == -1 && y == -1) {
        x = image->width / 2;
        y = image->height / 2;
    }
    if (x < 0 || y < 0 || x >= image->width || y >= image->height) return 0xDEADBEEF;
    size_t at = (size_t(y) * image->width + size_t(x)) * 4;
    return uint32_t(image->rgba[at]) << 16 | uint32_t(image->rgba[at + 1]) << 8 | image->rgba[at + 2];
}

inline uint32_t centrePixel(const std::string& file) {
    return pixelOf(file);
}

} // namespace uitest
