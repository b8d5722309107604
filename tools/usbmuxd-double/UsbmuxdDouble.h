// A scriptable stand-in for usbmuxd on a Unix socket: answers "Listen" and "Connect", broadcasts
// attach and detach, and hands each accepted Connect's descriptor to the device: to a device
// process registered on "<socket>.device", or to a callback of an in-process device. Tests
// script refusals, silence, odd replies, malformed packets and resets, and count connections.
#pragma once

#include "tools/usbmuxd-double/MuxPacket.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace usbmuxd_double {

// How the double answers Connects to one (device, port).
struct ConnectScript {
    enum class Mode { Normal, NeverAnswer, Close, NoNumber, Number4 };
    int refuseFirst = 0; // the first k Connects get Number 3
    Mode mode = Mode::Normal;
};

class UsbmuxdDouble {
  public:
    // Receives an accepted Connect's descriptor (owned by the callee from then on).
    using ConnectHandler = std::function<void(uint16_t port, int fd)>;
    // Consulted for every request first: bytes to write instead of the normal answer.
    using Responder = std::function<std::optional<Bytes>(const Request&)>;

    explicit UsbmuxdDouble(std::string socketPath, std::string deviceEndpoint = {});
    ~UsbmuxdDouble();
    UsbmuxdDouble(const UsbmuxdDouble&) = delete;
    UsbmuxdDouble& operator=(const UsbmuxdDouble&) = delete;

    bool start(std::string* error = nullptr);
    void stop();
    const std::string& socketPath() const { return m_socketPath; }
    const std::string& deviceEndpoint() const { return m_deviceEndpoint; }

    // In-process devices.
    bool registerDevice(uint32_t deviceId, std::string serial, std::set<uint16_t> ports,
                        ConnectHandler handler);
    void unregisterDevice(uint32_t deviceId);
    void setPorts(uint32_t deviceId, std::set<uint16_t> ports);
    std::vector<uint32_t> deviceIds() const;

    // Scripts.
    void setConnectScript(uint32_t deviceId, uint16_t port, ConnectScript script);
    void setResponder(Responder responder);
    void broadcast(const Message& message);
    void sendRawToListeners(const Bytes& bytes);
    // Closes every listening connection; with refuseNew, new connections are closed at once
    // until acceptNewConnections(true).
    void reset(bool refuseNew = false);
    void acceptNewConnections(bool accept);

    // Records.
    std::vector<Request> requests() const;
    size_t openConnections() const; // client connections the double still holds
    size_t listeningConnections() const;
    size_t acceptedConnectionCount() const; // accepted since start
    // Waits (real time) until pred holds on the double's state; false after timeoutSeconds.
    bool waitFor(const std::function<bool()>& pred, double timeoutSeconds) const;

  private:
    struct MuxConnection {
        int fd = -1;
        Bytes buffer; // header, then header and payload, as read so far
        bool listening = false;
    };
    struct DeviceConnection {
        int fd = -1;
        std::string line;
        std::optional<uint32_t> deviceId;
    };
    struct Device {
        uint32_t id = 0;
        std::string serial;
        std::set<uint16_t> ports;
        int registrationFd = -1; // a device process; -1 for an in-process device
        ConnectHandler handler;
    };

    void loop();
    void wake();
    void acceptMux();
    void acceptDevice();
    // False when the connection was closed or handed away.
    bool readMux(int fd);
    bool handleRequest(MuxConnection& connection, const Request& request,
                       std::vector<std::function<void()>>& after);
    void readDevice(int fd);
    bool handleDeviceLine(DeviceConnection& connection, const std::string& line);
    void closeMuxLocked(int fd);
    void closeDeviceLocked(int fd);
    void writeLocked(int fd, const Bytes& bytes);
    void broadcastLocked(const Message& message);
    Message attachedMessage(const Device& device) const;
    void addDeviceLocked(Device device);
    void removeDeviceLocked(uint32_t deviceId);
    void changed();

    const std::string m_socketPath;
    const std::string m_deviceEndpoint;
    int m_listenFd = -1;
    int m_deviceListenFd = -1;
    int m_wakeFd = -1;
    std::thread m_thread;
    std::atomic<bool> m_quit{false};

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::map<int, MuxConnection> m_mux;
    std::map<int, DeviceConnection> m_deviceConnections;
    std::map<uint32_t, Device> m_devices;
    std::map<std::pair<uint32_t, uint16_t>, ConnectScript> m_scripts;
    std::map<std::pair<uint32_t, uint16_t>, int> m_refused;
    Responder m_responder;
    std::vector<Request> m_requests;
    bool m_acceptNew = true;
    size_t m_accepted = 0;
};

} // namespace usbmuxd_double
