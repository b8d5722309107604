// A screen-server stand-in process (iokit_test_helper) enabling one framebuffer with a mode
// list, steered through a fifo ("disable", anything else closes). It records its steps in the
// event log as "iokit-helper" entries.
#pragma once

#include "platform/daemon/testing/PrivatePlatformd.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace iokit {

// A screen-server process on a framebuffer, steered through a fifo.
class Helper {
  public:
    Helper(const std::string& root, int index, std::vector<std::string> modes,
           const std::string& helperPath = IOKIT_HELPER_PATH)
        : m_fifo(root + "/helper.fifo"), m_output(root + "/helper.out") {
        ::mkfifo(m_fifo.c_str(), 0600);
        m_commands = ::open(m_fifo.c_str(), O_RDWR | O_CLOEXEC); // never blocks, whoever comes first
        std::vector<std::string> argv{helperPath, m_fifo, std::to_string(index)};
        argv.insert(argv.end(), modes.begin(), modes.end());
        started = m_process.start(argv, m_output);
    }
    ~Helper() {
        if (m_commands >= 0) ::close(m_commands);
    }
    void send(const std::string& command) {
        std::string line = command + "\n";
        EXPECT_EQ(::write(m_commands, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    }
    platformd::testing::ChildProcess& process() { return m_process; }
    std::string output() const { return platformd::testing::readFile(m_output); }
    bool started = false;

  private:
    std::string m_fifo;
    std::string m_output;
    int m_commands = -1;
    platformd::testing::ChildProcess m_process;
};

} // namespace iokit
