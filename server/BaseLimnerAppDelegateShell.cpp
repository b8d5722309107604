// The application shell's part of the delegate's base: what reaches the mediator.
#include "server/BaseLimnerAppDelegate.h"

#include "net/QNBNetAddress.h"
#include "server/ScreenServerMediator.h"

#include "foundation/Vocabulary.h"

#include "platform/dispatch/Dispatch.h"

namespace server {

void BaseLimnerAppDelegate::disableDisplay(ScreenServer&) {
    disableDisplay();
}

void BaseLimnerAppDelegate::connectServerToHostNameWithDictionary(const cf::Value& request) {
    if (auto mediator = screenServerMediator()) mediator->connectToScreenServerWithDictionary(request);
}

void BaseLimnerAppDelegate::connectServerToHostNameWithTicket(const std::string& hostName, const std::string&,
                                                              const std::string&) {
    cf::Value request = cf::Dictionary{{foundation::kConnectToHostName, hostName}};
    // The queued work keeps the delegate alive; a delegate that is not the application's
    // (nobody holds it for the queue) hands the request over at once.
    auto self = appDelegate();
    if (self.get() != this) return connectServerToHostNameWithDictionary(request);
    dispatch::dispatch_async(dispatch::dispatch_get_global_queue(0),
                             [self, request] { self->connectServerToHostNameWithDictionary(request); });
}

void BaseLimnerAppDelegate::connectServerToPeerWithTicket(const std::string& ticket) {
    platform::Error error;
    auto address =
        net::QNBNetAddress::addressFromTokenString(ticket, foundation::kMainDataTrafficPort, &error);
    if (!address) return;
    connectServerToHostName(address->address(), "Other");
}

} // namespace server
