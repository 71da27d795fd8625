// The port arbiter: the one object of the process that owns the device links. Service objects
// subscribe to a COM port by start/stop byte pair (the link opens with the first subscription
// and closes with the last; a scanner and a scale share one single-cable port), open USB links
// by device kind, and write to devices only through it.
//
// Threads and locks:
//   - m_Lock (recursive) serialises every operation except IsUsbPort, MaxPortNumber and
//     DetachContext. It may be taken from inside a callback (a subscriber that writes).
//   - Lock order: m_Lock, then a router's lock. Callbacks run without either: the router calls
//     them outside its lock, and a link never waits for its read thread without bound (see
//     read_thread.h), so destroying a link under m_Lock cannot deadlock with a callback that
//     waits for m_Lock or for a lock of the thread that removes the subscription.
//
// Subscriber lifetime: a service object calls DetachContext(this) at the start of its
// destructor; afterwards no callback enters it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/sync/sync.h"
#include "service/links/comm.h"
#include "service/links/frame_router.h"

namespace talvex {

class CCommArbiter {
  public:
    static constexpr int kComPortSlots = 128;  // COM port numbers 0 to 127
    static constexpr int kUsbKinds = 16;       // USB device kinds 0 to 15

    // The process uses the one TheArbiter(); tests may make their own.
    CCommArbiter();
    // Module unload: destroys every link still open (serial and USB) and joins every read thread
    // that a link destroyed earlier had to leave running.
    ~CCommArbiter();
    CCommArbiter(const CCommArbiter&) = delete;
    CCommArbiter& operator=(const CCommArbiter&) = delete;

    // Subscribes (context, callback) to frames from `StartChar` to `StopChar` on COM port
    // `ComPort`, opening the port ("\\.\COM<ComPort>") when it has no link yet. `DeviceType`
    // (0 scanner, 1 scale) is only traced. Raises TalvexError with the link's message when the
    // port cannot be opened (nothing is subscribed then), or "Invalid COM port number (<n>)."
    // for a number outside 0 to 127.
    void AddSerialDevice(int DeviceType, int ComPort, std::uint8_t StartChar, std::uint8_t StopChar,
                         void* context, DataCallback callback);

    // Removes the pair's subscription; the last one closes the port. A callback of the pair in
    // progress on the read thread is not waited for (DetachContext does that); no new one
    // starts.
    void RemoveSerialDevice(int DeviceType, int ComPort, std::uint8_t StartChar,
                            std::uint8_t StopChar);

    // Opens the USB link of kind `DeviceType` (1 table-top scanner, 2 scale, 3 hand-held
    // scanner). Raises CommArbiterError "Device already in use." when the kind has a link, or
    // TalvexError with the link's message ("Specified device type is not connected to the
    // system.", ...), or "Invalid USB device type (<n>)." outside 0 to 15.
    void AddIbmUsbDevice(int DeviceType, const std::string& astrModelNumber, void* context,
                         UsbDataCallback callback);
    // Closes the USB link of that kind, if any.
    void RemoveIbmUsbDevice(int DeviceType);

    // Write to the port's or the kind's link; without a link nothing happens. Never raise: a
    // failure is traced at level 0 and dropped.
    void WriteData(int ComPort, const std::string& ToWrite);
    void WriteUsbData(int DeviceType, const std::string& ToWrite);

    // 1 when the port's link found a USB virtual COM port, 0 when not, -1 without a link. Takes
    // no lock (the answer is kept beside the link, updated under m_Lock).
    int IsUsbPort(int ComPort);

    // The highest port number to search: 128 for kinds 0 and 1, 127 for kinds 2 and 3, else -1.
    int MaxPortNumber(int DeviceType);

    // Called by a service object at the start of its destructor: afterwards no callback for
    // `context` starts (on any port or USB link, also on read threads that destroyed links left
    // running), and it waits for such a callback already in progress. The caller must hold no
    // lock that a callback needs (the arbiter's included) and must not call it from a callback.
    // Subscriptions the object still has stay and keep their port open; their frames are
    // dropped.
    void DetachContext(void* context);

  private:
    struct Slot {
        std::unique_ptr<CComm> Comm;
        CFrameRouter Router;
        std::atomic<int> UsbPort{-1};  // IsUsbPort's answer
    };

    sorvex::sync::CriticalSection m_Lock;
    std::array<Slot, kComPortSlots> CommDevices;
    std::array<std::unique_ptr<CComm>, kUsbKinds> IbmUsbDevices;
};

// The process's arbiter (constructed at load after the trace log, destroyed before it).
CCommArbiter& TheArbiter();

}  // namespace talvex
