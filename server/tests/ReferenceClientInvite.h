// The reference client as a road test's device: bound to 127.0.0.2, not announced, started,
// and invited by TesselHelper (the host's connect post), waited for by its "connected" post.
#pragma once

#include "foundation/Vocabulary.h"
#include "server/tests/RoadTestSupport.h"
#include "tools/refclient/Client.h"

#include <memory>
#include <string>

namespace server::testing {

// The started client once TesselHelper connected to it; null with why otherwise.
inline std::unique_ptr<refclient::Client> inviteReferenceClient(refclient::Config config, std::string* why) {
    config.bindAddress = "127.0.0.2";
    config.announce = false;
    auto device = std::make_unique<refclient::Client>(config);
    if (!device->start(why)) return nullptr;
    const int64_t since = lastSequence();
    post(foundation::kConnectServerToHost,
         cf::Value(cf::Dictionary{{foundation::kConnectToHostName, "127.0.0.2"},
                                  {foundation::kServiceKey, "local.~_qnexvscreen._udp~Ref"},
                                  {foundation::kDisplayNameKey, "Ref"}}));
    if (!waitEvent("distributed-post",
                   {{"name", foundation::kServerConnectedToDevice}, {"userInfo.DeviceName", "127.0.0.2"}},
                   since)) {
        *why = "TesselHelper did not connect to the reference client";
        return nullptr;
    }
    return device;
}

} // namespace server::testing
