// The words the host program and the screen server share: distributed notification names and
// their userInfo keys, Bonjour TXT-record keys, ports, and application and driver names.
#pragma once

#include <cstdint>

namespace foundation {

// Distributed notifications; the object of each is always null.
inline constexpr char kConnectServerToHost[] = "com.quenby.Tessel.ConnectServerToHost";
inline constexpr char kDisconnectCurrentServerFromHost[] = "com.quenby.Tessel.DisconnectCurrentServerFromHost";
inline constexpr char kTerminateScreenServer[] = "com.quenby.Tessel.TerminateScreenServer";
inline constexpr char kTerminateMenuExtra[] = "com.quenby.Tessel.TerminateMenuExtra";
inline constexpr char kDisplayHostingQuery[] = "com.quenby.Tessel.DisplayHostingQuery";
inline constexpr char kDisplayHostingResponse[] = "com.quenby.Tessel.DisplayHostingResponse";
inline constexpr char kDisplayHostingMultiQuery[] = "com.quenby.Tessel.DisplayHostingMultiQuery";
inline constexpr char kDisplayHostingMultiResponse[] = "com.quenby.Tessel.DisplayHostingMultiResponse";
// Posted once per connection: a device reconnecting from one address posts it again each time,
// with no ServerDisconnectedFromDevice between when its old connection was replaced.
inline constexpr char kServerConnectedToDevice[] = "com.quenby.Tessel.ServerConnectedToDevice";
inline constexpr char kServerDisconnectedFromDevice[] = "com.quenby.Tessel.ServerDisconnectedFromDevice";
inline constexpr char kDisconnectAllConnectedDisplays[] = "com.quenby.Tessel.DisconnectAllConnectedDisplays";
inline constexpr char kServerRespondedToConnectRequest[] = "com.quenby.Tessel.ServerRespondedToConnectRequest";
inline constexpr char kQueryRequestForConnectedHost[] = "com.quenby.Tessel.QueryRequestForConnectedHost";
inline constexpr char kInformationRequestFromHost[] = "com.quenby.Tessel.InformationRequestFromHost";
inline constexpr char kInformationResponseFromHost[] = "com.quenby.Tessel.InformationResponseFromHost";
inline constexpr char kPrefsWillChangeNotification[] = "com.quenby.Tessel.TSEPrefsWillChangeNotification";
inline constexpr char kPrefsDidChangeNotification[] = "com.quenby.Tessel.TSEPrefsDidChangeNotification";
// Declared for completeness; nothing posts or observes these.
inline constexpr char kConnectServerToTicket[] = "com.quenby.Tessel.ConnectServerToTicket";
inline constexpr char kQueryResultForConnectedHost[] = "com.quenby.Tessel.QueryResultForConnectedHost";
inline constexpr char kRequestingErrorMsgFromPrefPane[] = "com.quenby.Tessel.RequestingErrorMsgFromPrefPane";
inline constexpr char kDisconnectFromServerNotification[] = "com.quenby.Tessel.DisconnectFromServer";
inline constexpr char kNetServiceIdentifierKey[] = "com.quenby.Tessel.NetServiceIdentifierKey";
// Observed by the screen server, posted by nobody.
inline constexpr char kSetDisplayIDForHost[] = "we-waited-and-waited-but-he-never-came :(";

// userInfo keys; values are texts unless said.
inline constexpr char kConnectToHostName[] = "connectToHostName";
inline constexpr char kDisconnectedHostName[] = "disconnectHostName";
inline constexpr char kServiceKey[] = "serviceKey";
inline constexpr char kDeviceIdentifier[] = "deviceIdentifier"; // "" when the device has none
inline constexpr char kDeviceIdentifierKey[] = "deviceIdentifier";
inline constexpr char kAddressIdentifier[] = "addressIdentifier";
inline constexpr char kDisableDisplay[] = "disableDisplay"; // a boolean
inline constexpr char kDisplayNameKey[] = "displayName";
inline constexpr char kDeviceNameKey[] = "DeviceName";
inline constexpr char kDeviceAddressKey[] = "DeviceAddress";
inline constexpr char kLimnerPlatformNameKey[] = "LMPlatformName"; // also a TXT-record key
inline constexpr char kConnectionMechanism[] = "connectionMechanism"; // decimal text
inline constexpr char kConnectionInviteDate[] = "connectionInviteDate";
inline constexpr char kIPv4Address[] = "ipv4Address";
inline constexpr char kIPv6Address[] = "ipv6Address";
inline constexpr char kDisplayHostingResponseKey[] = "com.quenby.Tessel.DisplayHostingResponseKey";
inline constexpr char kDisplayHostingConnectedKey[] = "com.quenby.Tessel.DisplayHostingConnectedKey";
inline constexpr char kDisplayHostingQueryArrayKey[] = "com.quenby.Tessel.DisplayHostingQueryArrayKey";
inline constexpr char kHostSystemVersionKey[] = "HostSystemVersionKey";
inline constexpr char kHostVersionKey[] = "HostVersionKey";

// Bonjour: the service type client devices publish, and their TXT-record keys.
inline constexpr char kVirtualScreenServiceName[] = "_qnexvscreen._udp";
inline constexpr char kLimnerConnectionStateKey[] = "ConnState";
inline constexpr char kClientProtocolVersionMajorKey[] = "ClientProtocolVersionMajorKey";
inline constexpr char kClientProtocolVersionMinorKey[] = "ClientProtocolVersionMinorKey";
inline constexpr char kClientProtocolVersionSubKey[] = "ClientProtocolVersionSubKey";
inline constexpr char kStylusSupportEnabled[] = "StylusSupportEnabled";
inline constexpr char kBatteryLevelKey[] = "BatteryLevel";
// Declared for completeness; no device publishes and nothing reads these.
inline constexpr char kLimnerAssignedTicketKey[] = "Ticket";
inline constexpr char kLimnerIPTicketKey[] = "IPTicket";
inline constexpr char kLimnerConnectedHostKey[] = "LMConnectedHost";
inline constexpr char kBatteryLevelChangedNotification[] = "kBatteryLevelChangedNotification";

// Ports.
inline constexpr int32_t kClientSidebandPort = 6000;  // the device's sideband, and invitations
inline constexpr int32_t kMainDataTrafficPort = 6001; // the TCP main stream
inline constexpr int32_t kServerSidebandPort = 6002;  // where the screen server takes sideband datagrams
inline constexpr int32_t kServerInformationPort = 6003;
inline constexpr int32_t kUSBMainDataTrafficPort = 6004; // device ports over USB
inline constexpr int32_t kUSBClientSidebandPort = 6005;
inline constexpr int32_t kUSBServerSidebandPort = 6006;
inline constexpr int32_t kUSBClientWakeupPort = 6007;
inline constexpr int32_t kMirrorClientSidebandPort = 7000;
inline constexpr int32_t kMirrorMainDataTrafficPort = 7001;
inline constexpr int32_t kMirrorServerSidebandPort = 7002;
inline constexpr int32_t kMirrorMainDataTrafficPortOffset = 1;
inline constexpr int32_t kMirrorServerSidebandPortOffset = 2;
inline constexpr int32_t kMirrorClientSidebandPortOffset = 0;
inline constexpr int32_t kAudioTrafficServerPort = 9000;
inline constexpr int32_t kAudioTrafficClientPort = 9000;
inline constexpr double kIPv6TimeoutInterval = 3.5; // seconds

// Applications and drivers.
inline constexpr int kTotalAvailableScreens = 4; // virtual displays, and screen-server sessions
inline constexpr char kTSEScreenServerApplicationName[] = "TesselHelper";
inline constexpr const char* kTSEScreenServerApplicationNameCString = kTSEScreenServerApplicationName;
inline constexpr char kQNBTesselHostApplicationName[] = "Tessel Host";
inline constexpr char kTSEKextName[] = "QNExGFX"; // registry name of the video-card driver
inline constexpr char kTSEDisplayResolutionsOnApplicationName[] = "com.quenby.displayresolutionson";
inline constexpr char kTSEDisplayResolutionsOffApplicationName[] = "com.quenby.displayresolutionsoff";
inline constexpr char kDisplaysPrefPaneName[] = "Displays.prefPane";
inline constexpr char kTSEDocumentationName[] = "Tessel Documentation";
// Each holds the other driver's name. Nothing reads them: drivers are checked by their bundle
// identifiers, so the crossed values are kept as they have always been.
inline constexpr char kTSEFrameBufferKext[] = "QNVideoCard";
inline constexpr char kTSEVideoCardKext[] = "QNFrameBuffer";
inline constexpr char kScaleInFullScreenPreferenceKey[] = "kScaleInFullScreenPreferenceKey";
inline constexpr char kScalingEnabledPreferenceKey[] = "kScalingEnabledPreferenceKey";
inline constexpr char kStartInFullScreenPreferenceKey[] = "kStartInFullScreenPreferenceKey";

} // namespace foundation
