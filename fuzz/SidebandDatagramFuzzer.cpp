// The session's sideband: datagrams of every type and length as they arrive from the device,
// in sequence on one session (the input is a run of datagrams, each a length byte then its
// bytes). The feature negotiation keeps its dictionaries consistent: every resolved state is
// on exactly when both the device's and the host's are; a short negotiation changes nothing;
// what the session answers is one whole record per answer.
#include "fuzz/FuzzSupport.h"
#include "fuzz/NoKernel.h"
#include "platform/windowserver/InProcessEvents.h"
#include "regions/ScreenUpdateRecords.h"
#include "server/tests/SessionTestSupport.h"

using namespace server;
using namespace server::testing;

namespace {

// Takes the session's reports and keeps nothing, so a long run does not grow.
class QuietAppDelegate final : public BaseLimnerAppDelegate {
  public:
    uint16_t clientSidebandPort() override { return 6000; }
    void didReceiveFeatureChange(ScreenServer&, uint16_t, int64_t) override {}
    void registerNotificationsForWindow(const std::shared_ptr<input::QNDesktopReflectorPanel>&) override {}
};

int64_t stateOf(const cf::Value& features, const std::string& key) {
    const cf::Value* state = features.find(key);
    return state ? state->integerValue() : 0;
}

void checkConsistent(const ScreenServer& session) {
    const cf::Value resolved = session.resolvedFeatures();
    const cf::Value client = session.clientFeatures();
    const cf::Value host = session.hostFeatures();
    const cf::Dictionary* entries = resolved.asDictionary();
    FUZZ_CHECK(entries, "resolved features are no dictionary");
    for (const auto& [key, value] : *entries) {
        const int64_t state = value.integerValue();
        FUZZ_CHECK(state == kFeatureStateOn || state == kFeatureStateOff, key);
        if (client.find(key))
            FUZZ_CHECK((state == kFeatureStateOn) ==
                           (stateOf(client, key) == kFeatureStateOn && stateOf(host, key) == kFeatureStateOn),
                       key);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The window server the input handlers post to lives in this process, made once: without
    // it every posted key tried platformd's socket.
    static const std::shared_ptr<windowserver::InProcessEvents> events = [] {
        fuzz::temporaryRoot();
        fuzz::NoKernel::install();
        BaseLimnerAppDelegate::setAppDelegate(std::make_shared<QuietAppDelegate>());
        auto e = std::make_shared<windowserver::InProcessEvents>();
        e->install();
        return e;
    }();
    events->clearEntries();
    fuzz::QuietLog quiet;
    fuzz::Reader reader(data, size);
    auto& prefs = foundation::QNBPreferences::sharedAppPrefs();
    // The gates are the shared preferences: written only when they change (each write is a file).
    const uint8_t gates = reader.u8() & 3;
    static int lastGates = -1;
    if (gates != lastGates) {
        prefs.baseSetEnableTouchDisplay(gates & 1);
        prefs.baseSetEnableKeyboardInput(gates & 2);
        lastGates = gates;
    }

    auto session = std::make_shared<ScreenServer>(6001);
    auto client = std::make_shared<PipeSocket>();
    auto sideband = std::make_shared<PipeSocket>();
    session->setClientSocket(client);
    session->setSidebandSocket(sideband);
    size_t count = 0;
    while (reader.remaining() > 0) {
        const std::vector<uint8_t> datagram = reader.bytes(reader.u8());
        ++count;
        const bool shortNegotiation =
            !datagram.empty() && datagram[0] == static_cast<uint8_t>(QNDatagramType::FeatureNegotiation) &&
            datagram.size() < 5;
        const cf::Value before = shortNegotiation ? session->resolvedFeatures() : cf::Value(cf::Dictionary{});
        session->datagramReceivedForSocket(client, datagram);
        if (shortNegotiation)
            FUZZ_CHECK(session->resolvedFeatures() == before, "a short negotiation changed a feature");
    }
    checkConsistent(*session);
    const auto answers = sideband->datagrams();
    FUZZ_CHECK(answers.size() <= count, "more answers than datagrams");
    for (const auto& answer : answers)
        FUZZ_CHECK(answer.bytes.size() == regions::QNRectangleMsg::kSize, "a partial answer");
    session->setClientSocket(nullptr);
    session->setSidebandSocket(nullptr);
    return 0;
}
