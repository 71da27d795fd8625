// The frame router of one COM port: cuts the bytes a port delivers into frames and hands each
// frame to the subscriber registered for its start/stop byte pair.
//
// Framing: a frame runs from a start byte (any byte value whose stop list is not empty) to the
// first later byte that is in that start byte's stop list, both included. A start byte inside
// an open frame is payload. Bytes before the start byte are dropped with the frame; bytes with
// no start byte stay buffered for a later subscription or until the buffer limit.
//
// Lifetime of subscribers: callbacks run on the port's read thread without the router's lock, so
// a callback may subscribe, unsubscribe and write through the arbiter. Unsubscribe therefore
// does not wait for a callback in progress; Detach does (a service object calls it, through
// CCommArbiter::DetachContext, at the start of its destructor).
//
// Locks: m_Lock guards the buffer and the subscriptions and is never held during a callback.
// m_DispatchMutex is taken only by Dispatch (read threads) for a whole call, so callbacks of one
// port never run concurrently and frames are delivered in arrival order, also when the read
// thread of a link that was given up and the thread of its successor both dispatch.
#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "service/links/comm.h"

namespace talvex {

class CFrameRouter {
  public:
    // Bytes kept while no frame completes. When more are retained (no start byte among them, or
    // an open frame that long), they are all dropped (traced at level 2) and framing starts
    // afresh with the next bytes, so a device that never frames, or never ends a frame, cannot
    // exhaust memory, and the valid frames after the noise come through. A frame longer than
    // kMaxBuffered + kSliceSize is never delivered.
    static constexpr std::size_t kMaxBuffered = 64 * 1024;
    // Dispatch takes its input in slices of at most this many bytes, so the buffer never holds
    // more than kMaxBuffered + kSliceSize bytes, whatever one call passes.
    static constexpr std::size_t kSliceSize = 4096;

    CFrameRouter() = default;
    CFrameRouter(const CFrameRouter&) = delete;
    CFrameRouter& operator=(const CFrameRouter&) = delete;

    // Appends `stop` to the stop list of `start` and registers (context, callback) for the pair
    // unless the pair already has a subscriber (that one stays; a detached one is replaced). A
    // null callback subscribes a pair whose frames are consumed and dropped.
    void Subscribe(std::uint8_t start, std::uint8_t stop, void* context, DataCallback callback);

    // Removes the pair's subscriber and the first occurrence of `stop` in the stop list of
    // `start`. True when no subscriber is left on the port. A callback of the pair that is in
    // progress is not waited for; no new one starts.
    bool Unsubscribe(std::uint8_t start, std::uint8_t stop);

    // Read thread only. Appends the bytes and delivers every frame that completes, in order.
    // Returns the value of the last callback it called, or 0 if it called none. A frame of a pair
    // that is still in a stop list but has no subscriber (subscribed twice, removed once) is
    // consumed and dropped (traced at level 2), so it cannot block the port. An exception from
    // a callback leaves the router consistent and passes through.
    int Dispatch(std::string_view bytes);

    // The serial link's callback: `router` is the CFrameRouter.
    static int DispatchCallback(void* router, const std::string& bytes);

    // No callback for `context` starts after this returns; waits for one in progress unless it
    // runs on the dispatching thread itself. The caller must hold no lock that the callback
    // needs. The subscriptions stay (they still keep the port open) with their frames dropped.
    void Detach(void* context);

    // Bytes buffered now (for tests).
    std::size_t Buffered() const;

  private:
    struct Subscriber {
        void* context = nullptr;
        DataCallback callback = nullptr;
        bool detached = false;
    };

    static std::uint16_t Key(std::uint8_t start, std::uint8_t stop) {
        return static_cast<std::uint16_t>(start * 256 + stop);
    }
    void Invalidate();  // m_Lock held
    // Cuts and delivers what is complete; returns the last callback value, else `result`.
    int DeliverFrames(std::unique_lock<std::mutex>& lock, int result);  // m_Lock held
    void EnforceLimit();                                                // m_Lock held

    mutable std::mutex m_Lock;  // guards everything below
    std::string m_Buffer;
    std::size_t m_Head = 0;  // bytes before it are consumed
    // Scan cache: [m_Head, m_ScanPos) holds no start byte when m_OpenStart is npos; otherwise
    // m_OpenStart is an open frame's start byte and (m_OpenStart, m_ScanPos) holds no stop byte
    // of it. Reset whenever the stop lists change.
    std::size_t m_ScanPos = 0;
    std::size_t m_OpenStart = std::string::npos;
    std::array<std::vector<std::uint8_t>, 256> m_StopLists;
    std::array<bool, 256> m_IsStart{};
    std::unordered_map<std::uint16_t, Subscriber> m_Subscribers;
    // The callback in progress, for Detach.
    void* m_CallingContext = nullptr;
    bool m_Calling = false;
    std::thread::id m_CallingThread;
    std::condition_variable m_CallDone;

    std::mutex m_DispatchMutex;
};

}  // namespace talvex
