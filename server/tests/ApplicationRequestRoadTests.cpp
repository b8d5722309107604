// Window and menu requests end to end with application sharing off: a private platformd with
// both kexts, TesselHelper.app launched by it, a peer process registering "Fake Editor", and
// the reference client on 127.0.0.2 as the device sending requests through its sideband. What
// the requests did is read back from platformd's event log; the last request's entry is the
// barrier that the earlier ones were handled.
#include "foundation/Vocabulary.h"
#include "server/tests/ReferenceClientInvite.h"
#include "tools/refclient/Client.h"
#include "tools/refclient/Datagrams.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using platformd::testing::ChildProcess;
using platformd::testing::PlatformdTest;
using platformd::testing::PrivatePlatformd;
using platformd::testing::runProgram;
using namespace server::testing;
namespace datagram = refclient::datagram;

const std::string kHelperApp = TESSEL_HELPER_APP;
const std::string kFakePeer = FAKE_APPLICATION_PEER;

int64_t integer(const cf::Value& entry, std::string_view key) {
    const cf::Value* v = entry.find(key);
    return v && v->isNumber() ? v->integerValue() : -1;
}

std::string text(const cf::Value& entry, std::string_view key) {
    const cf::Value* v = entry.find(key);
    return v && v->asString() ? *v->asString() : std::string();
}

class ApplicationRequestRoad : public PlatformdTest {
  protected:
    void SetUp() override {
        PlatformdTest::SetUp();
        ASSERT_GT(launchHelper(kHelperApp), 0) << helperLog();
        ASSERT_TRUE(m_peer.start({kFakePeer, "fake"}, m_platformd->root() + "/fake.out"));
        auto ready = waitEvent("helper-ready", {{"tag", "fake"}});
        ASSERT_TRUE(ready);
        m_pid = integer(*ready, "pid");
        m_window = integer(*ready, "window");
        m_file = integer(*ready, "file");
        ASSERT_GT(m_pid, 0);

        refclient::Config config;
        config.caps.iconHashCount = 3;
        std::string error;
        m_device = inviteReferenceClient(config, &error);
        ASSERT_TRUE(m_device) << error << helperLog();
        ASSERT_TRUE(m_device->waitFor(
            [](const refclient::Snapshot& s) {
                return s.state == refclient::ClientState::Session && s.frames > 0;
            },
            platform::seconds(30)))
            << helperLog();
    }
    void TearDown() override {
        m_device.reset();
        PlatformdTest::TearDown();
    }
    std::string helperLog() const {
        return platformd::testing::readFile(m_platformd->root() + "/var/log/TesselHelper.log");
    }
    // The event log's "accessibility" entries after the sequence.
    std::vector<cf::Value> accessibilityEvents(int64_t after) {
        auto reply = connection()->request(ipc::op::events,
                                           cf::Dictionary{{"after", after}, {"kind", "accessibility"}});
        std::vector<cf::Value> out;
        const cf::Value* events = reply.ok && reply.result ? reply.result->find("events") : nullptr;
        for (size_t i = 0; events && i < events->count(); ++i)
            out.push_back(*events->at(i));
        return out;
    }

    ChildProcess m_peer;
    std::unique_ptr<refclient::Client> m_device;
    int64_t m_pid = 0;
    int64_t m_window = 0;
    int64_t m_file = 0;
};

} // namespace

TEST_F(ApplicationRequestRoad, AWindowRequestFrontsItsApplicationAndNothingElseActs) {
    const int64_t since = lastSequence();
    // Requests that must do nothing: no application behind the pid (0, the largest, platformd's
    // own), short datagrams of both types, a menu request while no menu is known.
    for (uint32_t pid : {0u, 4294967295u, uint32_t(m_platformd->pid())})
        m_device->send(datagram::windowRequest(pid, uint64_t(m_window)));
    for (auto request : {datagram::windowRequest(uint32_t(m_pid), uint64_t(m_window)),
                         datagram::menuRequest(uint64_t(m_file), uint64_t(m_pid))}) {
        request.resize(16);
        m_device->send(request);
    }
    m_device->send(datagram::menuRequest(uint64_t(m_file), uint64_t(m_pid)));
    // The one that acts, last: its entry shows every earlier one was handled.
    m_device->send(datagram::windowRequest(uint32_t(m_pid), uint64_t(m_window)));
    ASSERT_TRUE(waitEvent("accessibility", {{"pid", m_pid}, {"attribute", "AXFrontmost"}}, since))
        << helperLog();

    const auto events = accessibilityEvents(since);
    ASSERT_FALSE(events.empty());
    for (const cf::Value& entry : events) {
        EXPECT_EQ(integer(entry, "pid"), m_pid) << entry.description();
        EXPECT_NE(text(entry, "api"), "AXUIElementPerformAction") << entry.description();
        EXPECT_NE(text(entry, "attribute"), "AXMain") << entry.description();
    }
    auto apps = runProgram({PrivatePlatformd::platformctlPath(), "apps"});
    ASSERT_EQ(apps.status, 0) << apps.err;
    std::istringstream lines(apps.out);
    bool active = false;
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(std::to_string(m_pid) + "\t", 0) == 0)
            active = line.size() > 7 && line.compare(line.size() - 7, 7, "\tactive") == 0;
    EXPECT_TRUE(active) << apps.out;

    // The session goes on: no protocol error, frames still come.
    const uint64_t frames = m_device->snapshot().frames;
    EXPECT_TRUE(m_device->snapshot().protocolErrors.empty());
    runProgram({PrivatePlatformd::platformctlPath(), "draw", "display", "0x100", "solid", "204060"});
    EXPECT_TRUE(m_device->waitFor([&](const refclient::Snapshot& s) { return s.frames > frames; },
                                  platform::seconds(30)))
        << helperLog();
    EXPECT_TRUE(m_device->snapshot().protocolErrors.empty());
}
