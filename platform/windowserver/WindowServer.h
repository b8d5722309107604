// The window server stand-in, display side: it opens every framebuffer the kernel publishes,
// probes each after a connect-change interrupt, adds or removes its display beside the main
// one, counts vertical blanks and feeds the framebuffers the cursor. One serial thread owns
// all of its state; the kernel's calls and the interrupt handlers only queue work for it, and
// it never calls a framebuffer while holding a lock of its own.
#pragma once

#include "platform/kernel/FramebufferListener.h"
#include "platform/kernel/IOFramebuffer.h"
#include "platform/kernel/Kernel.h"
#include "platform/windowserver/CursorRecord.h"
#include "platform/windowserver/DisplayInfo.h"
#include "platform/windowserver/FramebufferSlot.h"
#include "platform/windowserver/WindowServerConfig.h"
#include "platform/windowserver/WorkThread.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace windowserver {

class WindowServer : public kernel::FramebufferListener {
  public:
    static constexpr uint32_t kMainDisplayID = 1;
    static constexpr uint32_t kFirstVirtualDisplayID = 0x100; // + the framebuffer's index

    // Called on the window-server thread after a display was added (true) or removed.
    using DisplayObserver = std::function<void(const DisplayInfo& display, bool added)>;

    explicit WindowServer(kernel::Kernel& kernel, WindowServerConfig config = {});
    ~WindowServer() override;
    WindowServer(const WindowServer&) = delete;
    WindowServer& operator=(const WindowServer&) = delete;

    // Before boot.
    void setDisplayObserver(DisplayObserver observer);
    // Listens to the kernel, waits for matching to settle and opens every framebuffer
    // published so far; later ones are opened as they are published. Returns once those
    // boots have run (their first probes may still be queued).
    void boot();
    // Every framebuffer is let go (interrupts, range, display, close), then the thread ends.
    void stop();

    // Online displays: the main one first, then by ascending id.
    std::vector<DisplayInfo> displays();
    std::optional<DisplayInfo> display(uint32_t displayID);
    // A client's mode change: the mode must be one the display lists. Its pixel information
    // and aperture are read again once the driver reports the change.
    kernel::IOReturn setDisplayMode(uint32_t displayID, kernel::IODisplayModeID mode);
    // Returns once everything queued before it has run.
    void sync();
    const CursorRecord& cursor() const { return m_cursor; }
    // Runs the task on the window-server thread (at once when called there) and returns once
    // it has run; false when the thread is not running.
    bool perform(const std::function<void()>& task) { return m_thread.runAndWait(task); }
    // On the window-server thread: the cursor moves onto the nearest online display (clamped)
    // and every framebuffer learns where it is. Answers where it went.
    cg::CGPoint moveCursor(cg::CGPoint to);

    // kernel::FramebufferListener.
    void framebufferPublished(kernel::IOFramebuffer* framebuffer) override;
    void framebufferWillStop(kernel::IOFramebuffer* framebuffer) override;
    void framebufferNotification(kernel::IOFramebuffer* framebuffer, kernel::IOIndex event,
                                 void* info) override;

  private:
    // Interrupt handlers: the reference is the framebuffer's slot.
    static void connectChanged(kernel::OSObject* target, void* reference);
    static void verticalBlank(kernel::OSObject* target, void* reference);

    // On the window-server thread.
    void bootFramebuffer(const kernel::OSPtr<kernel::IOFramebuffer>& framebuffer);
    bool openFramebuffer(FramebufferSlot& slot);
    void probe(FramebufferSlot& slot);
    void showDisplay(FramebufferSlot& slot, ProbeResult& result);
    void removeDisplay(FramebufferSlot& slot);
    void modeDidChange(FramebufferSlot& slot);
    void adoptMemory(FramebufferSlot& slot, FramebufferMemory& memory);
    void takeVerticalBlanks(FramebufferSlot& slot);
    void retire(FramebufferSlot& slot);
    void layout();
    void feedCursor(FramebufferSlot& slot, bool sendImage);
    DisplayInfo mainDisplay() const;
    DisplayInfo recordOf(const FramebufferSlot& slot) const;
    std::shared_ptr<FramebufferSlot> slotFor(const kernel::IOFramebuffer* framebuffer) const;
    std::shared_ptr<FramebufferSlot> onlineSlot(uint32_t displayID) const;

    kernel::Kernel& m_kernel;
    WindowServerConfig m_config;
    DisplayObserver m_observer;
    WorkThread m_thread;
    bool m_booted = false;

    // The window-server thread's state.
    std::vector<std::shared_ptr<FramebufferSlot>> m_slots; // in boot order
    CursorRecord m_cursor;
    std::string m_mainLocation;

    // Framebuffer to slot, read by the kernel's notification calls on other threads.
    mutable std::mutex m_tableMutex;
    std::map<const kernel::IOFramebuffer*, std::shared_ptr<FramebufferSlot>> m_table;
};

} // namespace windowserver
