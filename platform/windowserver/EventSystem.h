// The window server's event system: posted Quartz, keyboard and HID events applied to the
// input state (cursor, buttons, modifiers, HID event numbers) on the window-server thread and
// then logged; the text sink that typing tests read; the general pasteboard; event-tap
// records; the process table's serial numbers; and the current text input source. platformd
// and in-process tests answer the same requests (EventProtocol.h) through handle().
#pragma once

#include "platform/corefoundation/Value.h"
#include "platform/coregraphics/CGGeometry.h"
#include "platform/kernel/IOHIDTypes.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace windowserver {

struct EventPoster {
    pid_t pid = 0;
    std::string bundleIdentifier;
};

struct EventRecord {
    std::string kind;
    std::string api;
    EventPoster poster;
    cf::Dictionary fields;
};

// Where the event system runs and what it asks of the display side.
class EventHost {
  public:
    virtual ~EventHost() = default;
    // Runs the task on the window-server thread and returns once it has run.
    virtual void perform(const std::function<void()>& task) = 0;
    // On that thread: the cursor, and a move clamped onto the nearest display (answers where
    // the cursor went; the framebuffers are fed).
    virtual cg::CGPoint cursorLocation() = 0;
    virtual cg::CGPoint moveCursor(cg::CGPoint to) = 0;
    // On that thread: a mouse event (Core Graphics type and global location) for the owner of
    // the front-most window under it; nothing where no windows are kept.
    virtual void routeMouse(int64_t type, cg::CGPoint location, uint64_t flags, double pressure) {
        (void)type, (void)location, (void)flags, (void)pressure;
    }
    // On that thread: a key event (10 down, 11 up) for the active application's key window,
    // characters in UTF-8, with the key's characters without Option or Shift; false when no
    // application is active with a key window.
    virtual bool routeKey(int64_t type, uint16_t key, uint64_t flags, const std::string& characters,
                          const std::string& charactersIgnoringModifiers) {
        (void)type, (void)key, (void)flags, (void)characters, (void)charactersIgnoringModifiers;
        return false;
    }
};

// Displays as plain rectangles (the main one first), for tests without a kernel.
class StandaloneEventHost : public EventHost {
  public:
    explicit StandaloneEventHost(std::vector<cg::CGRect> displays = {cg::CGRectMake(0, 0, 1440, 900)});
    void perform(const std::function<void()>& task) override;
    cg::CGPoint cursorLocation() override { return m_cursor; }
    cg::CGPoint moveCursor(cg::CGPoint to) override;
    void setDisplays(std::vector<cg::CGRect> displays);

  private:
    std::recursive_mutex m_mutex;
    std::vector<cg::CGRect> m_displays;
    cg::CGPoint m_cursor;
};

// A point clamped onto the nearest of the displays (unchanged when one holds it).
cg::CGPoint clampOntoDisplays(cg::CGPoint point, const std::vector<cg::CGRect>& displays);

struct ProcessRecord {
    pid_t pid = 0;
    uint32_t serialNumber = 0; // the low half of its process serial number
    std::string bundleIdentifier;
    std::string name;
    std::string bundlePath;
    std::string executable;        // absolute path, when known
    pid_t parentPid = 0;           // 0 when unknown
    bool launchedBySystem = false; // platformd started it, as launchd would
};

// launchd's own entry in the process table: the parent of what platformd launches. Its serial
// number's high word keeps it apart from every connected process (those have high word 0).
inline constexpr uint32_t kLaunchdSerialNumberHigh = 1;
inline constexpr uint32_t kLaunchdSerialNumberLow = 0;

struct EventSystemConfig {
    std::string keyboardLayout = "com.apple.keylayout.US";
    uint8_t keyboardType = 40;
    // Runs a task on the window-server thread after a delay (platform clock); without one,
    // the text sink refuses a paste delay.
    std::function<void(double seconds, std::function<void()>)> scheduler;
};

class EventSystem {
  public:
    using Recorder = std::function<void(EventRecord)>;
    using ProcessTable = std::function<std::vector<ProcessRecord>()>;

    static constexpr size_t kMaxPasteboardBytes = 8 * 1024 * 1024;
    static constexpr size_t kMaxTextSinkUnits = 1 << 20;
    // A posted event's Unicode string as units: the 4096 bytes its UTF-8 form may take.
    static constexpr size_t kMaxUnicodeUnitBytes = 2 * 4096;
    static constexpr size_t kMaxTaps = 1024;
    static constexpr uint32_t kHIDButtons = 32;

    struct Reply {
        bool ok = true;
        cf::Value result = cf::Value::emptyDictionary();
        std::string refusal;
    };

    EventSystem(EventHost& host, Recorder recorder, ProcessTable processes, EventSystemConfig config = {});

    // One request of EventProtocol.h from a process; a wrong-typed or missing argument, a NaN
    // location, an unknown event type, tap, pid or layout is refused and changes nothing.
    Reply handle(std::string_view op, const cf::Value& args, const EventPoster& poster);
    // IOHIDPostEvent as the kernel's HID system hands it over: the status it answers.
    int32_t postHID(const EventPoster& poster, uint32_t type, kernel::IOGPoint location, const void* data,
                    size_t dataSize, uint32_t version, uint32_t flags, uint32_t options);
    int32_t buttonEventNumber(uint32_t button, uint32_t* count);

    // A process ended: its taps go.
    void processGone(pid_t pid);
    // platformd clears its log through this (the clear request's effect).
    void setClearLogHandler(std::function<void()> handler) { m_clearLog = std::move(handler); }

  private:
    struct Tap {
        uint32_t id = 0;
        uint32_t location = 0;
        uint32_t place = 0;
        uint32_t options = 0;
        uint64_t mask = 0;
        pid_t tapping = 0;
        pid_t tapped = 0;
        bool enabled = true;
    };

    // On the window-server thread.
    Reply post(const cf::Value& args, const EventPoster& poster);
    Reply postKeyboard(const cf::Value& args, const EventPoster& poster);
    Reply bracket(const cf::Value& args, const EventPoster& poster);
    Reply inputState();
    Reply buttonEventNumberRequest(const cf::Value& args);
    Reply textSink(const cf::Value& args);
    Reply pasteboard(std::string_view op, const cf::Value& args, const EventPoster& poster);
    Reply taps(std::string_view op, const cf::Value& args, const EventPoster& poster);
    Reply processes(std::string_view op, const cf::Value& args);
    Reply inputSources(std::string_view op, const cf::Value& args, const EventPoster& poster);

    void pressButton(uint32_t button, bool down);
    void keyChanged(uint16_t key, bool down);
    uint64_t modifierFlags() const;
    void typeIntoSink(uint16_t key, uint64_t eventFlags, const std::u16string* unicode);
    // A key the active application's key window takes (EventRouting.cpp): never while the
    // sink is focused, never a modifier key. False: the sink may take it.
    bool routeKey(int64_t type, uint16_t key, uint64_t eventFlags, const std::u16string* unicode);
    // An HID pointer event, routed as a posted one is: mouse types to the window under its
    // location, tablet points to global monitors; the pressure from its payload.
    void routeHID(uint32_t type, kernel::IOGPoint location, const kernel::NXEventData& event, uint32_t flags);
    // A posted event's field as a double (its "double", else its "integer"); 0 when absent.
    static double fieldReal(const cf::Value* fields, int number);
    void paste();
    void record(std::string_view kind, std::string api, const EventPoster& poster, cf::Dictionary fields);
    std::optional<ProcessRecord> processOf(pid_t pid) const;
    static int64_t parentSerialNumber(const ProcessRecord& process, const std::vector<ProcessRecord>& table);

    EventHost& m_host;
    Recorder m_recorder;
    ProcessTable m_processes;
    EventSystemConfig m_config;
    std::function<void()> m_clearLog;

    // The window-server thread's state.
    uint32_t m_buttons = 0;
    std::set<uint16_t> m_heldModifierKeys;
    bool m_capsLock = false;
    std::array<uint32_t, kHIDButtons> m_eventNumbers{};
    std::u16string m_sinkText;
    uint32_t m_sinkDeadKeyState = 0;
    bool m_sinkFocused = false;
    double m_pasteDelay = 0;
    std::vector<std::pair<std::string, cf::Bytes>> m_pasteboard;
    int64_t m_changeCount = 0;
    std::map<uint32_t, Tap> m_taps;
    uint32_t m_nextTapID = 1;
    std::string m_inputSource;  // current: a layout or an input method
    std::string m_layoutSource; // the last layout selected
    uint8_t m_keyboardType = 40;
};

} // namespace windowserver
