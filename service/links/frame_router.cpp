#include "service/links/frame_router.h"

#include <algorithm>
#include <cstring>

#include "service/frame/log.h"
#include "service/frame/strings.h"

namespace talvex {

namespace {

constexpr const char* kTag = "CCommArbiter";

}  // namespace

void CFrameRouter::Subscribe(std::uint8_t start, std::uint8_t stop, void* context,
                             DataCallback callback) {
    std::lock_guard lock(m_Lock);
    m_StopLists[start].push_back(stop);
    m_IsStart[start] = true;
    auto [it, inserted] =
        m_Subscribers.try_emplace(Key(start, stop), Subscriber{context, callback});
    if (!inserted && it->second.detached) {
        it->second = Subscriber{context, callback};
    }
    Invalidate();
}

bool CFrameRouter::Unsubscribe(std::uint8_t start, std::uint8_t stop) {
    std::lock_guard lock(m_Lock);
    m_Subscribers.erase(Key(start, stop));
    std::vector<std::uint8_t>& list = m_StopLists[start];
    auto it = std::find(list.begin(), list.end(), stop);
    if (it != list.end()) {
        list.erase(it);
    }
    m_IsStart[start] = !list.empty();
    Invalidate();
    return m_Subscribers.empty();
}

void CFrameRouter::Invalidate() {
    m_ScanPos = m_Head;
    m_OpenStart = std::string::npos;
}

int CFrameRouter::DispatchCallback(void* router, const std::string& bytes) {
    return static_cast<CFrameRouter*>(router)->Dispatch(bytes);
}

int CFrameRouter::Dispatch(std::string_view bytes) {
    std::lock_guard dispatch(m_DispatchMutex);
    std::unique_lock lock(m_Lock);
    int result = 0;
    std::size_t offset = 0;
    do {
        std::size_t n = std::min(kSliceSize, bytes.size() - offset);
        m_Buffer.append(bytes.data() + offset, n);
        offset += n;
        result = DeliverFrames(lock, result);
        EnforceLimit();
    } while (offset < bytes.size());
    return result;
}

int CFrameRouter::DeliverFrames(std::unique_lock<std::mutex>& lock, int result) {
    for (;;) {
        const auto* data = reinterpret_cast<const std::uint8_t*>(m_Buffer.data());
        const std::size_t size = m_Buffer.size();
        if (m_OpenStart == std::string::npos) {
            std::size_t i = std::max(m_ScanPos, m_Head);
            while (i < size && !m_IsStart[data[i]]) {
                ++i;
            }
            m_ScanPos = i;
            if (i == size) {
                break;  // no start byte: the bytes stay
            }
            m_OpenStart = i;
            m_ScanPos = i + 1;
        }
        const std::uint8_t start = data[m_OpenStart];
        const std::vector<std::uint8_t>& stops = m_StopLists[start];
        std::size_t j = std::max(m_ScanPos, m_OpenStart + 1);
        if (stops.size() == 1) {
            const void* hit = j < size ? std::memchr(data + j, stops[0], size - j) : nullptr;
            j = hit != nullptr
                    ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - data)
                    : size;
        } else {
            while (j < size && std::find(stops.begin(), stops.end(), data[j]) == stops.end()) {
                ++j;
            }
        }
        m_ScanPos = j;
        if (j == size) {
            break;  // the frame is not complete yet
        }
        const std::uint8_t stop = data[j];
        const std::size_t frameStart = m_OpenStart;
        // Everything through the stop byte is consumed, also the bytes before the start byte.
        m_Head = j + 1;
        m_OpenStart = std::string::npos;
        m_ScanPos = m_Head;
        auto it = m_Subscribers.find(Key(start, stop));
        if (it == m_Subscribers.end()) {
            if (g_Log.Enabled(2)) {
                g_Log.Write(2,
                            "  *   CFrameRouter dropped a frame that has no subscriber: " +
                                StringToHex(std::string_view(m_Buffer).substr(frameStart,
                                                                              j + 1 - frameStart)),
                            kTag);
            }
            continue;
        }
        const Subscriber subscriber = it->second;
        if (subscriber.callback == nullptr || subscriber.detached) {
            continue;  // consumed and dropped
        }
        std::string frame(m_Buffer, frameStart, j + 1 - frameStart);
        m_Calling = true;
        m_CallingContext = subscriber.context;
        m_CallingThread = std::this_thread::get_id();
        lock.unlock();
        struct Relock {
            CFrameRouter& router;
            std::unique_lock<std::mutex>& lock;
            ~Relock() {
                lock.lock();
                router.m_Calling = false;
                router.m_CallingContext = nullptr;
                router.m_CallDone.notify_all();
            }
        } relock{*this, lock};
        result = subscriber.callback(subscriber.context, frame);
    }
    if (m_Head > 0) {
        m_Buffer.erase(0, m_Head);
        m_ScanPos -= std::min(m_ScanPos, m_Head);
        if (m_OpenStart != std::string::npos) {
            m_OpenStart -= m_Head;
        }
        m_Head = 0;
    }
    return result;
}

void CFrameRouter::EnforceLimit() {
    const std::size_t kept = m_Buffer.size() - m_Head;
    if (kept <= kMaxBuffered) {
        return;
    }
    std::size_t drop = m_Buffer.size();
    if (m_OpenStart != std::string::npos && m_Buffer.size() - m_OpenStart <= kMaxBuffered) {
        drop = m_OpenStart;  // keep an open frame that still fits; the noise before it goes
    }
    TALVEX_LOG(2, kTag,
               "  *   CFrameRouter dropped " +
                   NumToString(static_cast<std::int64_t>(drop - m_Head)) +
                   " bytes that formed no frame (input buffer limit " +
                   NumToString(static_cast<std::int64_t>(kMaxBuffered)) + " bytes)");
    m_Buffer.erase(0, drop);
    m_Head = 0;
    if (m_OpenStart != std::string::npos && drop == m_OpenStart) {
        m_ScanPos -= drop;
        m_OpenStart = 0;
    } else {
        m_ScanPos = 0;
        m_OpenStart = std::string::npos;
    }
}

void CFrameRouter::Detach(void* context) {
    std::unique_lock lock(m_Lock);
    for (auto& [key, subscriber] : m_Subscribers) {
        if (subscriber.context == context) {
            subscriber.detached = true;
        }
    }
    if (m_Calling && m_CallingThread == std::this_thread::get_id()) {
        return;  // called from the callback in progress
    }
    m_CallDone.wait(lock, [&] { return !(m_Calling && m_CallingContext == context); });
}

std::size_t CFrameRouter::Buffered() const {
    std::lock_guard lock(m_Lock);
    return m_Buffer.size() - m_Head;
}

}  // namespace talvex
