// What usbmuxd sends on the listening connection, after the packet header: a property list
// the hub reads as a reply ("Number") or a broadcast ("Attached", "Detached" with an integer
// "DeviceID"); anything else is logged and ignored, and only the two kinds are posted.
#include "fuzz/FuzzSupport.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "usblink/PTUSBHub.h"

#include <string_view>

using namespace usblink;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietLog quiet;
    static const auto hub = PTUSBHub::create("/nonexistent/usbmuxd");
    const std::vector<uint8_t> bytes(data, data + size);
    std::optional<cf::Value> packet =
        cf::propertyListFromData(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));

    OptionalError error;
    PTUSBChannel::errorFromPlistResponse(packet, error);
    if (error) FUZZ_CHECK(!error->domain.empty(), "an error without a domain");

    int posted = 0;
    auto& center = ns::NSNotificationCenter::defaultCenter();
    auto countAttach = center.addObserverForName(PTUSBDeviceDidAttachNotification, nullptr,
                                                 [&](const ns::NSNotification&) { ++posted; });
    auto countDetach = center.addObserverForName(PTUSBDeviceDidDetachNotification, nullptr,
                                                 [&](const ns::NSNotification&) { ++posted; });
    hub->handleBroadcastPacket(packet);
    center.removeObserver(countAttach);
    center.removeObserver(countDetach);

    const cf::Value* type = packet ? packet->find("MessageType") : nullptr;
    const cf::Value* device = packet ? packet->find("DeviceID") : nullptr;
    const bool kind =
        type && type->asString() && (*type->asString() == "Attached" || *type->asString() == "Detached");
    FUZZ_CHECK(posted == (kind && device && device->storedInteger() ? 1 : 0), "a broadcast posted wrongly");
    return 0;
}
