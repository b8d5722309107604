// A dispatch queue. Queues are shared objects with labels; the four kinds (main, global,
// serial, private concurrent) differ only in how their blocks reach a thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace dispatch {

class Queue : public std::enable_shared_from_this<Queue> {
  public:
    enum class Kind { Main, Global, Serial, Concurrent };

    virtual ~Queue();
    Queue(const Queue&) = delete;
    Queue& operator=(const Queue&) = delete;

    const std::string& label() const { return m_label; }
    Kind kind() const { return m_kind; }
    // Main and serial queues run one block at a time.
    bool isSerial() const { return m_kind == Kind::Main || m_kind == Kind::Serial; }

    void async(std::function<void()> block, bool barrier = false);
    void sync(std::function<void()> block, bool barrier = false);

    void setTarget(const std::shared_ptr<Queue>& target);
    std::shared_ptr<Queue> target() const;

    void setSpecific(const void* key, std::shared_ptr<void> value);
    std::shared_ptr<void> specific(const void* key) const;

    // Blocks submitted and not yet finished; drain() waits for none.
    size_t inFlight() const { return m_inFlight.load(); }

  protected:
    Queue(Kind kind, std::string label);

    // Hands one block to the threads of this kind of queue; it must call run() on it.
    virtual void submit(std::function<void()> block, bool barrier) = 0;
    // Waits for a block submitted to this queue (never the caller's own serial queue).
    virtual void submitAndWait(std::function<void()> block, bool barrier);

    // Runs one block of this queue on the calling thread, marked as this queue's, and
    // accounts for its end.
    void run(const std::function<void()>& block);

  private:
    std::shared_ptr<Queue> serialTarget() const;
    void finished();

    const Kind m_kind;
    const std::string m_label;
    mutable std::mutex m_mutex;
    std::shared_ptr<Queue> m_target;
    std::map<const void*, std::shared_ptr<void>> m_specific;
    std::atomic<size_t> m_inFlight{0};
};

} // namespace dispatch
