// The event queue of one device object, with its delivery thread.
//
// Link read threads queue events (Enqueue); the delivery thread takes the first event whose type
// is enabled and hands it to the device's handler, outside the queue's lock; the object's thread
// changes the masks and removes events. Two masks decide: `allowable` what may be queued (the
// device sets it to 31 when enabled and 0 otherwise) and `enabled` what may be delivered now.
// Events of types not enabled wait in order. With auto-disable on, queueing a data event makes
// the delivery thread hand the device a pseudo event of type -1 (disable now) before it
// delivers anything else.
//
// Ordering: the queue, the counts, the enabled mask, the wake flag and the disable-pending flag
// are changed only under the lock, and the delivery thread clears the wake flag under the lock
// after a search that found nothing, so an event queued at any moment is always seen: either by
// the search in progress or by the next one, which its wake-up starts.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

#include "service/frame/opos_event.h"

namespace talvex {

class CEventQueue {
  public:
    // The device's handler; runs on the delivery thread.
    using DeliverFn = void (*)(void* owner, OposEvent& event);

    // Starts the delivery thread.
    CEventQueue();
    // Stops the delivery thread (waiting for it) and drops what is still queued.
    ~CEventQueue();
    CEventQueue(const CEventQueue&) = delete;
    CEventQueue& operator=(const CEventQueue&) = delete;

    void SetDeliver(void* owner, DeliverFn deliver);

    // Raises OposQueueError "Unable to queue the specified event type." when the type is not
    // allowable.
    void Enqueue(OposEvent event);
    // Removes every queued event of that type.
    void Remove(std::int32_t type);
    void Clear();
    // Number of queued events of type 1, 2, 4, 8 or 16; other types raise OposQueueError
    // "Invalid Event Type.".
    std::int32_t Count(std::int32_t type) const;

    void SetAllowableEvents(std::int32_t mask);
    std::int32_t GetAllowableEvents() const { return m_Allowable.load(); }
    std::int32_t GetEnabledEvents() const;
    void SetEnabledEvents(std::int32_t mask);
    // Adds and removes types from the enabled mask in one step (the object's thread and the
    // delivery thread both change it).
    void ChangeEnabledEvents(std::int32_t add, std::int32_t remove);
    void SetAutoDisable(bool on) { m_AutoDisable.store(on); }

    // Ends the delivery thread and waits for it; idempotent. A device calls it first in its
    // destructor, so no handler runs on a half-destroyed object. Must not be called from the
    // delivery thread itself.
    void Stop();

  private:
    void Run();
    static int Slot(std::int32_t type);

    mutable std::mutex m_Lock;  // guards the members down to m_Stop
    std::condition_variable m_Wakeup;
    std::deque<OposEvent> m_Events;
    std::int32_t m_Counts[5] = {};
    std::int32_t m_Enabled = 0;
    bool m_Wake = false;
    bool m_DisablePending = false;
    bool m_Stop = false;
    void* m_Owner = nullptr;
    DeliverFn m_Deliver = nullptr;

    std::atomic<std::int32_t> m_Allowable{0};
    std::atomic<bool> m_AutoDisable{false};
    std::thread m_Thread;
};

}  // namespace talvex
