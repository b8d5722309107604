// platformctl run in-process against a platformd booted in the test, on a fresh root.
#pragma once

#include "platform/ctl/Platformctl.h"
#include "platform/daemon/Platformd.h"
#include "platform/daemon/testing/PrivatePlatformd.h"

#include <gtest/gtest.h>
#include <memory>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

class PlatformctlVerbs : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/pdc.XXXXXX";
        m_root = ::mkdtemp(pattern);
        ::mkdir((m_root + "/home").c_str(), 0700);
        ::setenv("HOME", (m_root + "/home").c_str(), 1);
        m_daemon = std::make_unique<platformd::Platformd>(platformd::PlatformdOptions{m_root, nullptr});
        ASSERT_TRUE(m_daemon->boot());
    }
    void TearDown() override {
        m_daemon.reset();
        platformd::testing::removeTree(m_root);
    }
    int run(std::vector<std::string> args) {
        m_out.str("");
        m_err.str("");
        args.insert(args.begin(), {"--root", m_root});
        ctl::Platformctl ctl(m_out, m_err);
        return ctl.run(args);
    }
    std::string m_root;
    std::unique_ptr<platformd::Platformd> m_daemon;
    std::ostringstream m_out, m_err;
};
