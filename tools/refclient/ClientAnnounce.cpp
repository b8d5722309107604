// The Bonjour announcement of network mode: registered in platformd's registry once UDP 6000 is
// bound, so it goes with the refclient's platformd connection; "ConnState" follows the session
// by TXT updates.
#include "platform/core/Format.h"
#include "platform/core/Log.h"
#include "platform/foundation/TXTRecord.h"
#include "platform/ipc/Connection.h"
#include "platform/services/NSNetService.h"
#include "tools/refclient/Client.h"

#include <cstdio>

namespace refclient {

namespace {

constexpr char kServiceType[] = "_qnexvscreen._udp";
constexpr char kServiceDomain[] = "local.";

} // namespace

std::map<std::string, std::string> announcementTXT(const Config& config, bool connected) {
    std::map<std::string, std::string> txt{
        {"ConnState", connected ? "Connected" : "NotConnected"},
        {"LMPlatformName", config.platformName},
        {"deviceIdentifier", config.effectiveDeviceId()},
        {"ClientProtocolVersionMajorKey", std::to_string(config.protocol.major)},
        {"ClientProtocolVersionMinorKey", std::to_string(config.protocol.minor)},
        {"ClientProtocolVersionSubKey", std::to_string(config.protocol.sub)},
        {"StylusSupportEnabled", config.stylus ? "YES" : "NO"},
    };
    if (config.battery) {
        char text[32];
        std::snprintf(text, sizeof text, "%g", *config.battery);
        txt["BatteryLevel"] = text;
    }
    // --txt K=V sets a key; an empty V removes it.
    for (const auto& [key, value] : config.txt) {
        if (value.empty())
            txt.erase(key);
        else
            txt[key] = value;
    }
    return txt;
}

namespace {

std::optional<cf::Bytes> txtRecord(const Config& config, bool connected) {
    cf::Dictionary dict;
    for (const auto& [key, value] : announcementTXT(config, connected))
        dict.insert_or_assign(key, cf::Value(value));
    return ns::dataFromTXTRecordDictionary(cf::Value(std::move(dict)));
}

} // namespace

bool Client::announce(uint16_t port, std::string* why) {
    auto record = txtRecord(m_config, false);
    if (!record) {
        *why = "the TXT record cannot be written (an entry over 255 bytes)";
        return false;
    }
    platform::Error unreachable;
    if (!ipc::Connection::shared(&unreachable)) {
        *why = platform::format("no platformd running: not announced (\"%@\": %@)", m_config.name,
                                unreachable.localizedDescription());
        return false;
    }
    const std::string host = m_bindAddress->isAnyAddress() ? "127.0.0.1" : m_bindAddress->ip();
    auto service =
        ns::NSNetService::create(kServiceDomain, kServiceType, m_config.name, port);
    service->setHostAddress(host);
    service->setTXTRecordData(*record);
    service->publish();
    if (auto code = service->publishError()) {
        *why = *code == ns::NSNetServicesCollisionError
                   ? platform::format("cannot announce \"%@\": the name is taken", m_config.name)
                   : platform::format(
                         "cannot announce \"%@\": platformd refused it (NSNetServicesErrorDomain %lld)",
                         m_config.name, static_cast<long long>(*code));
        return false;
    }
    m_announcement = std::move(service);
    m_log.add("ctl", "announced", {{"name", m_config.name}, {"host", host}});
    return true;
}

void Client::announceConnState(bool connected) {
    if (!m_announcement) return;
    if (auto record = txtRecord(m_config, connected)) m_announcement->setTXTRecordData(*record);
}

void Client::withdrawAnnouncement() {
    if (!m_announcement) return;
    m_announcement->stop();
    m_announcement.reset();
}

} // namespace refclient
