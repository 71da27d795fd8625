#include "service/frame/event_queue.h"

namespace talvex {

CEventQueue::CEventQueue() {
    m_Thread = std::thread([this] { Run(); });
}

CEventQueue::~CEventQueue() {
    Stop();
}

void CEventQueue::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Stop = true;
    }
    m_Wakeup.notify_all();
    if (!m_Thread.joinable()) {
        return;
    }
    if (m_Thread.get_id() == std::this_thread::get_id()) {
        m_Thread.detach();  // stopping from a handler: the loop ends when the handler returns
    } else {
        m_Thread.join();
    }
}

void CEventQueue::SetDeliver(void* owner, DeliverFn deliver) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Owner = owner;
    m_Deliver = deliver;
}

int CEventQueue::Slot(std::int32_t type) {
    switch (type) {
        case kEventData:
            return 0;
        case kEventStatus:
            return 1;
        case kEventError:
            return 2;
        case kEventOutput:
            return 3;
        case kEventDirectIO:
            return 4;
        default:
            return -1;
    }
}

void CEventQueue::Enqueue(OposEvent event) {
    int slot = Slot(event.Type());
    if ((event.Type() & m_Allowable.load()) == 0 || slot < 0) {
        throw OposQueueError("Unable to queue the specified event type.");
    }
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        if (event.Type() == kEventData && m_AutoDisable.load()) {
            m_DisablePending = true;
        }
        m_Events.push_back(std::move(event));
        ++m_Counts[slot];
        m_Wake = true;
    }
    m_Wakeup.notify_one();
}

void CEventQueue::Remove(std::int32_t type) {
    std::lock_guard<std::mutex> lock(m_Lock);
    int slot = Slot(type);
    for (auto it = m_Events.begin(); it != m_Events.end();) {
        if (it->Type() == type) {
            it = m_Events.erase(it);
        } else {
            ++it;
        }
    }
    if (slot >= 0) {
        m_Counts[slot] = 0;
    }
}

void CEventQueue::Clear() {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Events.clear();
    for (auto& count : m_Counts) {
        count = 0;
    }
}

std::int32_t CEventQueue::Count(std::int32_t type) const {
    int slot = Slot(type);
    if (slot < 0) {
        throw OposQueueError("Invalid Event Type.");
    }
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Counts[slot];
}

void CEventQueue::SetAllowableEvents(std::int32_t mask) {
    if (mask < 0 || mask >= 32) {
        throw OposQueueError("Invalid event type passed to SetAllowableEvents.");
    }
    m_Allowable.store(mask);
}

std::int32_t CEventQueue::GetEnabledEvents() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Enabled;
}

void CEventQueue::SetEnabledEvents(std::int32_t mask) {
    if (mask < 0 || mask >= 32) {
        throw OposQueueError("Invalid event type passed to SetEnabledEvents.");
    }
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        if (mask == m_Enabled) {
            return;
        }
        m_Enabled = mask;
        m_Wake = true;
    }
    m_Wakeup.notify_one();
}

void CEventQueue::ChangeEnabledEvents(std::int32_t add, std::int32_t remove) {
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        std::int32_t mask = (m_Enabled | add) & ~remove & 31;
        if (mask == m_Enabled) {
            return;
        }
        m_Enabled = mask;
        m_Wake = true;
    }
    m_Wakeup.notify_one();
}

void CEventQueue::Run() {
    std::unique_lock<std::mutex> lock(m_Lock);
    for (;;) {
        m_Wakeup.wait(lock, [&] { return m_Stop || m_Wake; });
        if (m_Stop) {
            return;
        }
        if (m_Deliver == nullptr) {
            m_Wake = false;
            continue;
        }
        void* owner = m_Owner;
        DeliverFn deliver = m_Deliver;
        // A data event queued with auto-disable on disables the device before anything else is
        // delivered. The flag is taken under the lock, so no event queued after it can overtake.
        if (m_DisablePending) {
            m_DisablePending = false;
            lock.unlock();
            OposEvent disable = OposEvent::OfType(kEventDisable);
            deliver(owner, disable);
            lock.lock();
            continue;
        }
        auto it = m_Events.begin();
        while (it != m_Events.end() && (it->Type() & m_Enabled) == 0) {
            ++it;
        }
        if (it == m_Events.end()) {
            m_Wake = false;  // under the lock: a later Enqueue sets it again
            continue;
        }
        OposEvent event = std::move(*it);
        m_Events.erase(it);
        --m_Counts[Slot(event.Type())];
        lock.unlock();
        deliver(owner, event);
        lock.lock();
    }
}

}  // namespace talvex
