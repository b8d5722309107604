// Writes the seed corpora under <folder>/<target>/ from the project's own writers: a
// client's handshake of every version, the client's and the server's stream messages, one
// frame of every platformd message kind, the drivers' Info.plists, property lists of every
// kind, a preferences file, rectangle-list programs and PNG files. Run by fuzz/write-seeds.
#include "foundation/QNBPreferences.h"
#include "foundation/Vocabulary.h"
#include "net/QNMessages.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/foundation/PNG.h"
#include "platform/foundation/TXTRecord.h"
#include "platform/ipc/Message.h"
#include "platform/ipc/Protocol.h"
#include "platform/textinputsources/KeyLayouts.h"
#include "regions/ScreenUpdateRecords.h"
#include "tools/refclient/Client.h"
#include "tools/refclient/ClientMessages.h"
#include "tools/refclient/Datagrams.h"
#include "tools/refclient/Handshake.h"
#include "tools/refclient/SidebandDatagram.h"
#include "tools/usbmuxd-double/MuxPacket.h"
#include "usblink/PTProtocol.h"
#include "usblink/PTUSBHub.h"
#include "usblink/QNBPeerTalkChannel.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

fs::path g_out;
std::string g_source;

void seed(const std::string& target, const std::string& name, const Bytes& bytes) {
    fs::create_directories(g_out / target);
    std::ofstream(g_out / target / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

template <typename Container> Bytes bytesOf(const Container& c) {
    return Bytes(c.begin(), c.end());
}

Bytes u16(size_t v) {
    return {uint8_t(v), uint8_t(v >> 8)};
}

Bytes fileBytes(const std::string& relative) {
    std::ifstream in(g_source + "/" + relative, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    const std::string s = text.str();
    if (s.empty()) throw std::runtime_error("missing " + relative);
    return Bytes(s.begin(), s.end());
}

Bytes plist(const cf::Value& value, cf::PropertyListFormat format) {
    return *cf::dataFromPropertyList(value, format);
}

void handshakes() {
    const refclient::ProtocolVersion versions[] = {{1, 0, 0}, {1, 1, 0}, {1, 1, 2}, {2, 0, 0},
                                                   {2, 3, 0}, {3, 0, 0}, {3, 0, 1}};
    for (const auto& version : versions) {
        refclient::HandshakeFields fields;
        fields.version = version;
        fields.capabilities.iconHashCount = 2;
        fields.deviceName = "Fuzz Tablet";
        fields.deviceIdentifier = "FUZZ-0001";
        fields.devicePlatform = "refclient";
        const Bytes handshake = refclient::encodeHandshake(fields);
        const Bytes hashes = refclient::encodeIconHashes(fields);
        const std::string name = version.description();
        // The reader starts after the type byte, which the stream reader took.
        seed("HandshakeReaderFuzzer", name, join({Bytes(handshake.begin() + 1, handshake.end()), hashes}));
        seed("ClientStreamReaderFuzzer", name,
             join({{7},
                   handshake,
                   hashes,
                   refclient::clientHeartbeatMessage(),
                   refclient::updateRequestMessage()}));
    }
    seed("ClientStreamReaderFuzzer", "heartbeat-update",
         join({{0}, refclient::clientHeartbeatMessage(), refclient::updateRequestMessage()}));
}

void serverStream() {
    const Bytes jpeg(24, 0xAB);
    const Bytes update =
        join({bytesOf(regions::QNScreenUpdateMsg{regions::kScreenUpdateDesignation, 2}.encode()),
              bytesOf(regions::QNRectangleMsg::withRect(cg::CGRectMake(0, 0, 64, 48), 4, 24).encode()), jpeg,
              bytesOf(regions::cursorPositionStreamRecord(cg::CGPointMake(10, 20), true).encode())});
    net::QNResolutionMsg resolution{1024, 768, 1};
    net::QNResolutionMsg shortResolution{800, 600, std::nullopt};
    const Bytes systemInformation = *net::systemInformationMessage(
        "<?xml version=\"1.0\"?><si><os>Mac OS X</os><release>10.12.6</release><revision>16G29</revision>"
        "<clock>2.6</clock><cpus>4</cpus><memory>8</memory><chipset>Intel</chipset></si>");
    const Bytes stream = join({bytesOf(net::QNBusyMsg{7}.encode()), resolution.encode(), update,
                               bytesOf(net::kServerHeartbeatMsg), bytesOf(net::multiDisplayMessage(2)),
                               bytesOf(net::applicationInfoBracketMessage(false)),
                               bytesOf(net::applicationInfoBracketMessage(true)), systemInformation});
    // The client's version (three bytes) and the piece size come first.
    seed("RefClientStreamFuzzer", "3.0.1", join({{3, 0, 1, 7}, stream}));
    seed("RefClientStreamFuzzer", "2.3.0", join({{2, 3, 0, 1}, stream, net::emptyUpdateMessage(2)}));
    seed("RefClientStreamFuzzer", "1.1.0",
         join({{1, 1, 0, 13}, shortResolution.encode(), net::emptyUpdateMessage(1)}));

    seed("RefClientDatagramFuzzer", "invitation", refclient::invitationBytes());
    seed("RefClientDatagramFuzzer", "cursor-position",
         bytesOf(
             regions::cursorPositionRecord(cg::CGPointMake(100, 50), true, cg::CGPointMake(0, 0)).encode()));
    seed("RefClientDatagramFuzzer", "hello", bytesOf(net::serverHandShakeMessage()));
}

void platformdFrames() {
    std::string why;
    const cf::Value args(
        cf::Dictionary{{"protocol", cf::Value(ipc::kProtocolVersion)},
                       {"executable", cf::Value("/Applications/Fuzz.app/Contents/MacOS/Fuzz")},
                       {"processName", cf::Value("Fuzz")},
                       {"user", cf::Value("fuzz")}});
    const cf::Value post(cf::Dictionary{{"name", cf::Value("com.quenby.fuzz")},
                                        {"userInfo", cf::Value(cf::Dictionary{{"a", cf::Value(1)}})},
                                        {"options", cf::Value(3)}});
    struct Message {
        std::string name;
        cf::Value value;
        size_t fds;
    };
    const std::vector<Message> messages = {
        {"request-hello", ipc::makeRequest(std::string(ipc::op::hello), 1, args, 0), 0},
        {"request-post", ipc::makeRequest(std::string(ipc::op::post), 2, post, 0), 0},
        {"request-fd",
         ipc::makeRequest(std::string(ipc::op::launch), 3,
                          cf::Value(cf::Dictionary{{"path", cf::Value("/Applications/A.app")}}), 1),
         1},
        {"reply", ipc::makeReply(4, cf::Value(cf::Dictionary{{"pid", cf::Value(42)}}), 0), 0},
        {"reply-fds", ipc::makeReply(5, std::nullopt, 2), 2},
        {"failure", ipc::makeFailure(6, platform::Error("PlatformErrorDomain", 3)), 0},
        {"event", ipc::makeEvent(std::string(ipc::topic::distributedNotification), post, 0), 0},
    };
    Bytes requests = {0}; // no hello put in front: the first message is one
    for (const Message& m : messages) {
        const Bytes body = *ipc::encodeMessage(m.value, why);
        seed("PlatformdFrameFuzzer", m.name,
             join({{uint8_t(m.fds)}, {uint8_t(body.size()), uint8_t(body.size() >> 8), 0, 0}, body}));
        if (m.name.rfind("request", 0) == 0)
            requests = join({requests, {uint8_t(m.fds)}, u16(body.size()), body});
    }
    seed("PlatformdRequestFuzzer", "requests", requests);
    const Bytes status = *ipc::encodeMessage(
        ipc::makeRequest(std::string(ipc::op::status), 2, cf::Value::emptyDictionary(), 0), why);
    seed("PlatformdRequestFuzzer", "after-hello", join({{1}, {0}, u16(status.size()), status}));
}

void propertyLists() {
    const cf::Value everything(cf::Dictionary{
        {"string", cf::Value("text ü")},
        {"integer", cf::Value(int64_t(-5))},
        {"large", cf::Value(int64_t(1) << 40)},
        {"real", cf::Value(2.5)},
        {"true", cf::Value(true)},
        {"date", cf::Value::date(600000000.0)},
        {"data", cf::Value(Bytes{1, 2, 3})},
        {"uid", cf::Value::uid(7)},
        {"array", cf::Value(cf::Array{cf::Value(1), cf::Value("two"), cf::Value(cf::Array{})})},
        {"dict", cf::Value(cf::Dictionary{{"nested", cf::Value(false)}})},
    });
    for (const auto& [name, value] :
         std::vector<std::pair<std::string, cf::Value>>{{"everything", everything},
                                                        {"string", cf::Value("alone")},
                                                        {"array", cf::Value(cf::Array{cf::Value(1.0)})}}) {
        seed("PropertyListXMLFuzzer", name, plist(value, cf::PropertyListFormat::XML));
        const Bytes binary = plist(value, cf::PropertyListFormat::Binary);
        seed("PropertyListBinaryFuzzer", name,
             Bytes(binary.begin() + 8, binary.end())); // the target adds the magic
    }
    for (const char* driver : {"drivers/videocard/Info.plist", "drivers/framebuffer/Info.plist"}) {
        const std::string name = fs::path(driver).parent_path().filename().string();
        const Bytes info = fileBytes(driver);
        seed("PropertyListXMLFuzzer", name, info);
        seed("KextInfoPlistFuzzer", name, info);
    }
    const Bytes video = fileBytes("drivers/videocard/Info.plist");
    const Bytes framebuffer = fileBytes("drivers/framebuffer/Info.plist");
    seed("KextLoaderFuzzer", "drivers",
         join({u16(video.size()), video, u16(framebuffer.size()), framebuffer}));
    seed("KextLoaderFuzzer", "twice", join({u16(video.size() | 0x8000), video}));

    using namespace foundation;
    const cf::Value preferences(cf::Dictionary{{kCurrentState, cf::Value(1)},
                                               {kShowInMenuBar, cf::Value(true)},
                                               {kStylusPressureSensitivity, cf::Value(0.5f)},
                                               {buttonKey(kButtonAction, 2), cf::Value(1)},
                                               {"otherKey", cf::Value("kept")}});
    const Bytes xml = plist(preferences, cf::PropertyListFormat::XML);
    seed("PreferencesFileFuzzer", "xml", xml);
    seed("PreferencesFileFuzzer", "binary", plist(preferences, cf::PropertyListFormat::Binary));
    seed("PreferencesFileFuzzer", "wrong-types",
         plist(cf::Value(cf::Dictionary{{kShowInMenuBar, cf::Value("yes")},
                                        {kCurrentState, cf::Value(cf::Array{})}}),
               cf::PropertyListFormat::XML));
    seed("PreferencesFileFuzzer", "damaged", Bytes(xml.begin(), xml.begin() + xml.size() / 2));
    seed("PreferencesFileFuzzer", "not-a-dictionary",
         plist(cf::Value(cf::Array{}), cf::PropertyListFormat::XML));
}

// The window server's reader has no writer in the tree to link (the framebuffer driver builds
// its block inside the kext), so this block is laid out here: the fixed header, vendor,
// product, serial, a monitor-name descriptor and the checksum.
void edid() {
    Bytes block(128, 0);
    const uint8_t header[] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    std::copy(std::begin(header), std::end(header), block.begin());
    block[8] = 0x44, block[9] = 0x89; // vendor
    block[10] = 0x01, block[12] = 0x2A;
    block[18] = 1, block[19] = 4;
    const uint8_t nameDescriptor[] = {0, 0, 0, 0xFC, 0, 'T', 'e', 's', 's', 'e', 'l', '\n', ' ', ' '};
    std::copy(std::begin(nameDescriptor), std::end(nameDescriptor), block.begin() + 54);
    uint8_t sum = 0;
    for (size_t i = 0; i < 127; ++i)
        sum = uint8_t(sum + block[i]);
    block[127] = uint8_t(-sum);
    seed("EDIDFuzzer", "named", block);
    seed("EDIDFuzzer", "extension", join({block, Bytes(128, 0)}));
}

// Programs for the rectangle-list target are read by libFuzzer's FuzzedDataProvider (bytes
// for rectangles from the front, choices from the back); these give it a start on both roads.
void rectangleLists() {
    Bytes grid(160);
    for (size_t i = 0; i < grid.size(); ++i)
        grid[i] = uint8_t(i * 37 + 11);
    grid.back() = 1; // the grid road
    seed("RectangleListFuzzer", "grid", grid);
    Bytes arbitrary = grid;
    arbitrary.back() = 0;
    seed("RectangleListFuzzer", "arbitrary", arbitrary);
}

// The bundle's resolution list as shipped, in both formats, and entries of every kind the
// reader tells apart.
void supportedResolutions() {
    const Bytes shipped = fileBytes("server/Resources/SupportedResolutions.plist");
    seed("SupportedResolutionsFuzzer", "shipped", shipped);
    const auto value = cf::propertyListFromData(shipped);
    if (!value) throw std::runtime_error("unreadable SupportedResolutions.plist");
    seed("SupportedResolutionsFuzzer", "shipped-binary", plist(*value, cf::PropertyListFormat::Binary));
    const cf::Value versioned(cf::Dictionary{{"majorVersion", cf::Value(int64_t(3))},
                                             {"minorVersion", cf::Value(int64_t(3))},
                                             {"patchVersion", cf::Value(int64_t(1))}});
    const cf::Value mixed(cf::Array{
        cf::Value(cf::Dictionary{{"width", cf::Value(2732.0)},
                                 {"height", cf::Value(2048.0)},
                                 {"modeID", cf::Value(int64_t(7))},
                                 {"description", cf::Value(std::string("2732x2048"))},
                                 {"supportedVersion", versioned}}),
        cf::Value(cf::Dictionary{{"width", cf::Value(std::string("wide"))}, {"height", cf::Value(-1.0)}}),
        cf::Value(std::string("not an entry")),
    });
    seed("SupportedResolutionsFuzzer", "mixed", plist(mixed, cf::PropertyListFormat::XML));
}

// The USB link's requests as the hub writes them, framed by the double's codec, and the
// double's replies and broadcasts as the hub reads them.
void usbmuxd() {
    using namespace usbmuxd_double;
    Bytes stream;
    uint32_t tag = 1;
    const std::pair<const char*, cf::Dictionary> requests[] = {
        {"Listen", {}},
        {"Connect",
         {{"DeviceID", cf::Value(int64_t(3))},
          {"PortNumber", cf::Value(int64_t(usblink::usbmuxdPortNumber(6004)))}}},
    };
    for (const auto& [type, payload] : requests) {
        const cf::Value request(usblink::PTUSBChannel::packetDictionaryWithPacketType(type, payload));
        for (auto format : {cf::PropertyListFormat::XML, cf::PropertyListFormat::Binary}) {
            const Bytes body = plist(request, format);
            const Bytes packet = encodePacket(tag++, std::string(body.begin(), body.end()));
            seed("UsbmuxdDoublePacketFuzzer",
                 std::string(type) + (format == cf::PropertyListFormat::XML ? "-xml" : "-binary"), packet);
            stream.insert(stream.end(), packet.begin(), packet.end());
        }
    }
    seed("UsbmuxdDoublePacketFuzzer", "stream", stream);

    const Message properties = {
        {"DeviceID", 3},       {"SerialNumber", "FUZZ-0001"}, {"ConnectionType", "USB"},
        {"ProductID", 0x12AB}, {"LocationID", 0x14100000},    {"ConnectionSpeed", 480000000}};
    const std::pair<const char*, Message> replies[] = {
        {"attached", {{"MessageType", "Attached"}, {"DeviceID", 3}, {"Properties", properties}}},
        {"detached", {{"MessageType", "Detached"}, {"DeviceID", 3}}},
        {"result-ok", {{"MessageType", "Result"}, {"Number", 0}}},
        {"result-refused", {{"MessageType", "Result"}, {"Number", 3}}},
    };
    Bytes replyStream;
    for (const auto& [name, message] : replies) {
        const std::string xml = xmlFromMessage(message);
        seed("USBHubBroadcastFuzzer", name, Bytes(xml.begin(), xml.end()));
        const Bytes packet = encodeMessage(name[0] == 'r' ? 1 : 0, message);
        seed("UsbmuxdPacketFuzzer", name, packet);
        replyStream.insert(replyStream.end(), packet.begin(), packet.end());
    }
    const auto binary = cf::propertyListFromData(xmlFromMessage(replies[0].second));
    const Bytes binaryBody = plist(*binary, cf::PropertyListFormat::Binary);
    seed("UsbmuxdPacketFuzzer", "attached-binary",
         encodePacket(0, std::string(binaryBody.begin(), binaryBody.end())));
    seed("UsbmuxdPacketFuzzer", "stream", join({replyStream, encodePacket(0, "")}));
}

// Frames as the framed channel writes them: the link's dictionary, stream and datagram frames
// (a payload is a 4-byte big-endian length and the bytes), an empty frame, then the end.
void framedChannel() {
    auto frame = [](uint32_t type, uint32_t tag, const Bytes& payload) {
        const auto data = usblink::PTProtocol::createDispatchDataWithFrameOfType(
            type, tag, dispatch::dispatch_data_create_with_bytes(Bytes(payload)));
        return data->copyBytes();
    };
    auto counted = [](const Bytes& bytes) {
        const size_t n = bytes.size();
        return join({{uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)}, bytes});
    };
    const Bytes dictionary = frame(
        usblink::kQNBFrameTypeDictionary, 0,
        plist(cf::Value(cf::Dictionary{{"version", cf::Value(int64_t(1))}}), cf::PropertyListFormat::Binary));
    const Bytes stream = frame(usblink::kQNBFrameTypeStream, 1, counted(refclient::updateRequestMessage()));
    const Bytes datagram =
        frame(usblink::kQNBFrameTypeDatagram, 2, counted(refclient::datagram::mouse(1, -5, 9)));
    const Bytes empty = frame(usblink::kQNBFrameTypeStream, 3, {});
    const Bytes end = frame(usblink::kPTFrameTypeEndOfStream, 0, {});
    seed("FramedChannelFuzzer", "dictionary", dictionary);
    seed("FramedChannelFuzzer", "stream", stream);
    seed("FramedChannelFuzzer", "datagram", datagram);
    seed("FramedChannelFuzzer", "all", join({dictionary, stream, empty, datagram, end, stream}));
}

// The host's requests as its own tools write them: a connect request for the device the
// target connects from, disconnects by identifier, service key and host name, and hosting
// queries; each a binary property list after the byte that picks the notification.
void hostNotifications() {
    using namespace foundation;
    const std::pair<const char*, cf::Dictionary> notifications[] = {
        {"connect",
         {{kConnectToHostName, cf::Value("127.0.0.2")},
          {kServiceKey, cf::Value("k3")},
          {kDisplayNameKey, cf::Value("Three")},
          {kConnectionInviteDate, cf::Value::date(800'000'000.0)}}},
        {"disconnect-identifier", {{kDeviceIdentifier, cf::Value("device-2")}}},
        {"disconnect-service-key", {{kServiceKey, cf::Value("k2")}}},
        {"disconnect-host", {{kDisconnectedHostName, cf::Value("127.0.0.2")}}},
        {"query", {{kDeviceNameKey, cf::Value("127.0.0.2")}}},
        {"query-unknown", {{kDeviceNameKey, cf::Value("tablet.local")}}},
    };
    for (const auto& [name, userInfo] : notifications) {
        const uint8_t which = name[0] == 'c' ? 0 : name[0] == 'd' ? 1 : 2;
        seed("HostNotificationFuzzer", name,
             join({{which}, plist(cf::Value(userInfo), cf::PropertyListFormat::Binary)}));
    }
    seed("HostNotificationFuzzer", "connect-xml",
         join({{0}, plist(cf::Value(notifications[0].second), cf::PropertyListFormat::XML)}));
}

// The shipped layouts' data, each after a keyboard type, key strokes (a letter, a dead key
// then a letter, with Shift and Option) and a text to type.
void uchrLayouts() {
    const std::u16string text = u"Hé~ñ!\n1";
    Bytes head = {40, 4};
    for (const uint16_t key : {uint16_t(0), uint16_t(32), uint16_t(45), uint16_t(18)})
        head = join({head, u16(key), {0, uint8_t(key == 32 ? 8 : 2), 0}});
    head.push_back(uint8_t(text.size()));
    for (const char16_t unit : text)
        head = join({head, u16(unit)});
    for (const std::string& id : tis::builtInKeyboardLayoutIDs()) {
        const auto layout = tis::builtInKeyboardLayout(id);
        if (!layout) throw std::runtime_error("no layout " + id);
        seed("UchrLayoutFuzzer", id.substr(id.rfind('.') + 1), join({head, layout->uchr}));
    }
}

// A run of the device's sideband datagrams (a length byte, then the datagram), one of every
// type the reference client writes, with both preference gates open; then each cut short.
void sideband() {
    namespace d = refclient::datagram;
    const std::pair<const char*, Bytes> datagrams[] = {
        {"tap", d::tap(1, 100, 200, 2)},  {"stylus", d::stylus(1, 100, 200, 0.5f, 0.25f, 1)},
        {"key", d::key(1, 0, 0, 'a')},    {"window", d::windowRequest(42, 7)},
        {"mouse", d::mouse(1, -5, 9)},    {"scroll", d::scroll(1.5f, -2.5f)},
        {"menu", d::menuRequest(9, 42)},  {"feature-request-on", d::feature(3, 1)},
        {"feature-on", d::feature(1, 2)}, {"feature-request-off", d::feature(4, 1)},
        {"button", d::button(2, 1)},
    };
    Bytes all{3};
    for (const auto& [name, datagram] : datagrams) {
        const Bytes one = join({{uint8_t(datagram.size())}, datagram});
        seed("SidebandDatagramFuzzer", name, join({{3}, one}));
        all.insert(all.end(), one.begin(), one.end());
        Bytes cut{3};
        for (size_t length = 0; length < datagram.size(); ++length) {
            cut.push_back(uint8_t(length));
            cut.insert(cut.end(), datagram.begin(), datagram.begin() + static_cast<ptrdiff_t>(length));
        }
        seed("SidebandDatagramFuzzer", std::string(name) + "-cut", cut);
    }
    seed("SidebandDatagramFuzzer", "all", all);
    // Window and menu requests naming nothing that runs: pids 0 and 4294967295, a fake
    // application's first pid, element handles 0 and all ones; and both types at 16 bytes.
    const std::pair<const char*, Bytes> requests[] = {
        {"window-pid-0", d::windowRequest(0, 1)},
        {"window-pid-max", d::windowRequest(0xFFFFFFFFu, 0xFFFFFFFFFFFFFFFFull)},
        {"window-fake-pid", d::windowRequest(0x40000000, 2)},
        {"menu-handle-0", d::menuRequest(0, 0x40000000)},
        {"menu-handle-max", d::menuRequest(0xFFFFFFFFFFFFFFFFull, 0xFFFFFFFFull)},
    };
    Bytes requestRun{3};
    for (const auto& [name, datagram] : requests) {
        const Bytes one = join({{uint8_t(datagram.size())}, datagram});
        seed("SidebandDatagramFuzzer", name, join({{3}, one}));
        requestRun.insert(requestRun.end(), one.begin(), one.end());
    }
    for (const uint8_t type : {uint8_t(5), uint8_t(8)}) {
        Bytes sixteen(16, 0xFF);
        sixteen[0] = type;
        requestRun.push_back(16);
        requestRun.insert(requestRun.end(), sixteen.begin(), sixteen.end());
    }
    seed("SidebandDatagramFuzzer", "requests", requestRun);
}

// Runs of input records (a selector, a length, the datagram after its type byte) on the
// session's display at scales 1 and 2 and without one: a tap, a contextual tap, a scroll-wheel
// tap, a mouse click, a scroll, keys, a barrel button, a pen stroke and hover, a connection
// ending mid-stroke.
void inputDatagrams() {
    namespace d = refclient::datagram;
    auto record = [](uint8_t selector, const Bytes& datagram) {
        Bytes out{selector, uint8_t(datagram.size() - 1)};
        out.insert(out.end(), datagram.begin() + 1, datagram.end());
        return out;
    };
    const Bytes taps =
        join({record(0, d::tap(0, 10, 20, 0x08)), record(0, d::tap(1, 12, 22)), record(0, d::tap6(2, 12, 22)),
              record(0, d::tap(3, 40, 40)), record(0, d::tap(5, 40, 40)), record(0, d::tap(6, 50, 50)),
              record(0, d::tap(7, 3, -2)), record(0, d::tap(8, 0, 0))});
    const Bytes pointer =
        join({record(2, d::mouse(1, -5, 9)), record(2, d::mouse(3, 2000, 9)), record(2, d::mouse(0, 2000, 9)),
              record(3, d::scroll(1.5f, -2.5f)), record(4, d::button(0, 1)), record(4, d::button(0, 0))});
    const Bytes keys = join({record(1, d::key(1, 0, 0x08, 0)), record(1, d::key(0, 4, 0x20, '1')),
                             record(1, d::key(3, 0, 0, 5)), record(1, d::key(4, 0, 0x01, 0))});
    const Bytes pen =
        join({record(5, d::stylus(14, 60, 60, 0, 3.5f, 0)), record(5, d::stylus(16, 60, 60, 0, 3.5f, 0)),
              record(5, d::stylus(9, 100, 200, 0.5f, 0, 1)), record(5, d::stylus(10, 110, 210, 0.7f, 0, 1)),
              record(5, d::stylus(11, 110, 210, 0.7f, 0, 1))});
    const Bytes ending = join({record(5, d::stylus(9, 100, 200, 0.5f, 0, 1 | 4)),
                               record(2, d::mouse(2, 5, 5)), record(0, d::tap(0, 10, 20)), Bytes{6}});
    seed("InputDatagramsFuzzer", "taps", join({{0}, taps}));
    seed("InputDatagramsFuzzer", "pointer-scale-2", join({{1}, pointer}));
    seed("InputDatagramsFuzzer", "keys", join({{0}, keys}));
    seed("InputDatagramsFuzzer", "pen", join({{0}, pen}));
    seed("InputDatagramsFuzzer", "connection-ends", join({{1}, ending}));
    seed("InputDatagramsFuzzer", "no-display", join({{9}, taps, pointer}));
}

// A display-model archive as the host writes it (an array of models), and the TXT record the
// reference client announces.
struct SeedModel {
    std::string name;
};

void keyedArchivesAndTXTRecords() {
    ns::registerArchiveClass<SeedModel>(
        "QNBDisplayModel",
        [](const SeedModel& m, ns::NSKeyedArchiver& coder) {
            coder.encodeObject(cf::Value(m.name), "displayName");
            coder.encodeObject(cf::Value("local.~_qnexvscreen._udp~" + m.name), "serviceKey");
            coder.encodeBool(true, "autoConnect");
            coder.encodeInteger(3, "version");
        },
        [](ns::NSKeyedUnarchiver&) { return std::make_shared<SeedModel>(); });
    auto models = ns::ArchivedObject::arrayOfInstances<SeedModel>(
        {std::make_shared<SeedModel>(SeedModel{"Demo iPad"}), std::make_shared<SeedModel>(SeedModel{"Other"})});
    const Bytes archive = *ns::NSKeyedArchiver::archivedDataWithRootObject(models);
    seed("KeyedUnarchiverFuzzer", "models", archive);
    seed("KeyedUnarchiverFuzzer", "models-xml", plist(*cf::propertyListFromData(archive), cf::PropertyListFormat::XML));

    refclient::Config config;
    config.battery = 0.5;
    cf::Dictionary txt;
    for (const auto& [key, value] : refclient::announcementTXT(config, false))
        txt.insert_or_assign(key, cf::Value(value));
    seed("TXTRecordFuzzer", "refclient", *ns::dataFromTXTRecordDictionary(cf::Value(txt)));
    seed("TXTRecordFuzzer", "empty", Bytes{0});
}

// PNG files from the project's writer: one with alpha, one without.
void pngs() {
    Bytes pixels(4 * 4 * 4);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = uint8_t(i * 37);
    seed("ImageSourceFuzzer", "rgba", *png::encode(pixels.data(), 4, 4, 16, png::PixelFormat::RGBA));
    seed("ImageSourceFuzzer", "rgb", *png::encode(pixels.data(), 3, 2, 16, png::PixelFormat::BGRX));
    seed("ImageRepDataFuzzer", "rgba", *png::encode(pixels.data(), 4, 4, 16, png::PixelFormat::RGBA));
    seed("ImageRepDataFuzzer", "rgb", *png::encode(pixels.data(), 3, 2, 16, png::PixelFormat::BGRX));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: FuzzSeedWriter <source folder> <corpus folder>\n";
        return 2;
    }
    g_source = argv[1];
    g_out = argv[2];
    handshakes();
    serverStream();
    platformdFrames();
    propertyLists();
    edid();
    rectangleLists();
    supportedResolutions();
    usbmuxd();
    framedChannel();
    hostNotifications();
    uchrLayouts();
    sideband();
    inputDatagrams();
    keyedArchivesAndTXTRecords();
    pngs();
    return 0;
}
