// A fixture for input tests: a temporary HOME (so preferences start empty) and the window
// server's event system in this process as the facades' transport.
#pragma once

#include "platform/windowserver/InProcessEvents.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace input::testing {

class InProcessInputTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/inp.XXXXXX";
        ASSERT_TRUE(::mkdtemp(pattern));
        m_home = pattern;
        ::setenv("HOME", m_home.c_str(), 1);
        ::unsetenv("PLATFORM_ROOT");
        m_events = std::make_shared<windowserver::InProcessEvents>();
        m_events->install();
    }
    void TearDown() override {
        m_events->uninstall();
        std::system(("rm -rf " + m_home).c_str());
    }

    std::string m_home;
    std::shared_ptr<windowserver::InProcessEvents> m_events;
};

} // namespace input::testing
