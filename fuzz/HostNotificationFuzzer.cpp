// The host's notifications to the screen server, as the application delegate receives them:
// "ConnectServerToHost", "DisconnectCurrentServerFromHost" and "DisplayHostingQuery" with an
// arbitrary property list as their userInfo (the first byte picks the notification, the rest
// is read as a property list, XML or binary; unreadable bytes give no userInfo). The mediator
// is made of fakes with one device connected from 127.0.0.2. A connect request is stored
// exactly when the request reader takes it (the older ones age out); a hosting query is answered once, with
// its four keys, exactly when it names a device by text.
#include "fuzz/FuzzSupport.h"
#include "server/LimnerAppDelegate.h"
#include "server/tests/MediatorTestSupport.h"

#include "foundation/QNBPreferences.h"
#include "foundation/Vocabulary.h"
#include "platform/corefoundation/PropertyList.h"

#include <string_view>

using namespace server;
using namespace server::testing;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = [] {
        fuzz::temporaryRoot();
        return true;
    }();
    (void)ready;
    fuzz::QuietLog quiet;
    fuzz::Reader reader(data, size);
    const uint8_t which = reader.u8() % 3;
    const std::vector<uint8_t> bytes = reader.rest();
    const std::optional<cf::Value> userInfo =
        cf::propertyListFromData(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));

    // One mediator for the run (making one costs more than an input): the device connects
    // again whenever a disconnect took it away, and each input comes a minute after the last,
    // so the pending requests never pile up.
    static MediatorFixture& fixture = *new MediatorFixture;
    static std::vector<std::pair<std::string, std::optional<cf::Value>>> posts;
    static const std::shared_ptr<LimnerAppDelegate> delegate = [] {
        fixture.ipv4Names["127.0.0.2"] = v4("127.0.0.2");
        fixture.ipv6Names["127.0.0.2"] = v6("::ffff:127.0.0.2");
        LimnerAppDelegate::Environment environment;
        environment.post = [](const std::string& name, const std::optional<cf::Value>& info, uint64_t) {
            posts.emplace_back(name, info);
        };
        environment.runOnMainQueue = [](LimnerAppDelegate::Block block) { block(); };
        environment.runOnGlobalQueue = [](LimnerAppDelegate::Block block) { block(); };
        environment.wallNow = [] { return fixture.wall; };
        environment.preferences = &foundation::QNBPreferences::sharedAppPrefs();
        auto made = LimnerAppDelegate::make(std::move(environment));
        made->setScreenServerMediator(fixture.mediator);
        return made;
    }();
    if (!fixture.mediator->serverForHostName("127.0.0.2")) {
        fixture.mediator->connectToScreenServerWithDictionary(fixture.request("127.0.0.2", "k2", "Two"));
        fixture.connect(v4("127.0.0.2", 1));
    }
    fixture.wall += 60;
    posts.clear();

    // The requests stored by this input: the delegate dates them now.
    auto storedNow = [] {
        size_t n = 0;
        for (const PendingConnectRequest& request : fixture.mediator->connectionDataArray())
            n += request.connectionInviteDate == fixture.wall;
        return n;
    };
    switch (which) {
    case 0: {
        delegate->connectServerToHost(
            ns::NSNotification{foundation::kConnectServerToHost, nullptr, userInfo});
        std::string why;
        const bool readable = userInfo && PendingConnectRequest::fromDictionary(*userInfo, why).has_value();
        FUZZ_CHECK(storedNow() == (readable ? 1u : 0u), "a connect request stored wrongly");
        break;
    }
    case 1:
        delegate->disconnectCurrentServerWithNotification(
            ns::NSNotification{foundation::kDisconnectCurrentServerFromHost, nullptr, userInfo});
        break;
    default: {
        delegate->hostRequestedDisplayHostingQuery(
            ns::NSNotification{foundation::kDisplayHostingQuery, nullptr, userInfo});
        const cf::Value* name =
            userInfo && userInfo->isDictionary() ? userInfo->find(foundation::kDeviceNameKey) : nullptr;
        const bool named = name && name->asString();
        FUZZ_CHECK(posts.size() == (named ? 1u : 0u), "a hosting query answered wrongly");
        if (named) {
            FUZZ_CHECK(posts[0].first == foundation::kDisplayHostingResponse, posts[0].first);
            const cf::Value& answer = *posts[0].second;
            for (const char* key :
                 {foundation::kDisplayHostingResponseKey, foundation::kDisplayHostingConnectedKey,
                  foundation::kDeviceNameKey, foundation::kDeviceIdentifier})
                FUZZ_CHECK(answer.find(key) && answer.find(key)->asString(), key);
        }
        break;
    }
    }
    return 0;
}
