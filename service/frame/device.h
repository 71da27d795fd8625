// The frame both service objects are built on: the OPOS device state and the common methods.
//
// Threads. The common methods run on the object's thread (the thread that created the object;
// it serves the hidden window's messages). The event-delivery thread calls ProcessEvent, and
// through it DataEventEnable(false) after each data event and DeviceEnable(false) for
// auto-disable. The link read threads run the device's frame callbacks. m_DeviceStatus is an
// atomic bit word, so every change of one bit is atomic with respect to the others.
//
// Results. Every method that answers a result code stores it in m_ResultCode too. The property
// methods first reset m_ResultCode and m_ResultCodeExtended; reading PIDX_ResultCode or
// PIDX_ResultCodeExtended answers the value from before that reset.
//
// Errors travel inside as TalvexError and leave as result codes: OpenService turns any of them
// into 403 (OPOS_ORS_CONFIG), DeviceEnable into 111 (OPOS_E_FAILURE); the event handlers and
// link callbacks trace and drop them.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/com/unknown.h"
#include "platform/sync/sync.h"
#include "platform/window/window.h"
#include "service/frame/event_queue.h"
#include "service/frame/event_sink.h"
#include "service/frame/registry_values.h"

namespace talvex {

// Bits of m_DeviceStatus.
enum DeviceStatusBit : std::uint32_t {
    kOpened = 1u << 0,
    kClaimed = 1u << 1,
    kDeviceEnabled = 1u << 2,
    kDataEventEnabled = 1u << 3,
    kAutoDisable = 1u << 4,
    kDecodeData = 1u << 5,
    kAsyncMode = 1u << 6,
    kFreezeEvents = 1u << 7,
    kBcNone = 1u << 8,
    kBcNibble = 1u << 9,
    kBcDecimal = 1u << 10,
    kCapDisplay = 1u << 11,
    kKilograms = 1u << 12,
    kOunces = 1u << 13,
    kControlFrozen = 1u << 14,
    kWeightRequestPending = 1u << 15,
    kStatusRequestPending = 1u << 16,
    kStatisticsPending = 1u << 17,
};

// The one-bit state fields; each change is one atomic operation.
class DeviceStatus {
  public:
    std::uint32_t Get() const { return m_Bits.load(); }
    bool Test(std::uint32_t mask) const { return (m_Bits.load() & mask) != 0; }
    void Set(std::uint32_t mask) { m_Bits.fetch_or(mask); }
    void Clear(std::uint32_t mask) { m_Bits.fetch_and(~mask); }
    void Assign(std::uint32_t mask, bool on) { on ? Set(mask) : Clear(mask); }
    void Store(std::uint32_t bits) { m_Bits.store(bits); }

  private:
    std::atomic<std::uint32_t> m_Bits{0};
};

// What differs between the device classes in the common methods.
struct DeviceTexts {
    const char* tag;                    // "CScanner"
    const char* claimMutexPrefix;       // "OrvantaOposScanner"
    const char* claimRefused;           // ClaimDevice refused
    const char* enableBeforeClaim;      // DeviceEnabled set while not claimed
    const char* invalidPropertyGet;     // GetPropertyNumber
    const char* invalidProperty;        // the other property methods
    const char* deviceNameDetail;       // "  *   DeviceName:  "
    const char* resultDetail;           // "  *  pRC: "
    const char* numberDetail;           // "  *   pNumber: "
    const char* stringDetail;           // "  *  pString: "
    std::int32_t serviceObjectVersion;  // 1008008
    const char* serviceObjectDescription;
    bool deviceEnabledNeedsClaim;  // reading PIDX_DeviceEnabled needs a claim
    bool closeTestsOpened;         // CloseService does nothing unless opened
    bool exitTraceOnConfigError;   // OpenService traces its Exit lines after a 403
};

// Hidden window messages of a device object.
inline constexpr std::uint32_t WM_FIRE_DATA_EVENT = sorvex::window::WM_USER + 101;   // 0x0465
inline constexpr std::uint32_t WM_FIRE_ERROR_EVENT = sorvex::window::WM_USER + 102;  // 0x0466

class CDevice {
  public:
    explicit CDevice(const DeviceTexts& texts);
    virtual ~CDevice();
    CDevice(const CDevice&) = delete;
    CDevice& operator=(const CDevice&) = delete;

    // Creates the hidden window on the calling thread, which becomes the object's thread.
    // Final step of construction; false (with the system's error in *win32Error) on failure.
    bool CreateDeviceWindow(std::uint32_t* win32Error = nullptr);
    // Tears down what other threads reach the object through: destroys the window (releasing a
    // delivery thread waiting at the hop) and stops the delivery thread. A device class calls it
    // first thing in its destructor. Object's thread; idempotent.
    void Shutdown();

    // The common OPOS methods (object's thread). Each answers its pRC.
    std::int32_t OpenService(const std::string& deviceClass, const std::string& deviceName,
                             sorvex::com::IDispatch* dispatch);
    std::int32_t CheckHealth(std::int32_t level);
    std::int32_t ClaimDevice(std::int32_t timeout);
    std::int32_t ClearInput();
    std::int32_t CloseService();
    std::int32_t COFreezeEvents(bool freeze);
    std::int32_t GetOpenResult();
    std::int32_t ReleaseDevice();
    // Neither device keeps statistics it could reset or update: 106, and ResultCode 106.
    std::int32_t ResetStatistics(const std::string& statisticsBuffer);
    std::int32_t UpdateStatistics(const std::string& statisticsBuffer);
    // Leaves *number untouched where the property cannot be answered without changing it.
    void GetPropertyNumber(std::int32_t index, std::int32_t* number);
    std::string GetPropertyString(std::int32_t index);
    void SetPropertyNumber(std::int32_t index, std::int32_t number);
    void SetPropertyString(std::int32_t index, const std::string& value);

    // Recomputes the enabled-event mask from the freeze flags.
    void FreezeEvents();
    // Sets or clears DataEventEnabled and updates the enabled-event mask.
    void DataEventEnable(bool on);

    static std::string ApplyBinaryConversion(const std::string& text, std::uint32_t flags);

    std::int32_t ResultCode() const { return m_ResultCode.load(); }
    std::int32_t State() const { return m_State.load(); }
    std::uint32_t StatusBits() const { return m_DeviceStatus.Get(); }
    const DeviceTexts& Texts() const { return m_Texts; }
    CEventQueue& EventQueue() { return m_EventQueue; }

  protected:
    // Reads the profile, decides the interface kind, looks for the device and sets m_ComPort,
    // m_DeviceName and m_DeviceDescription. False when no device is present (the hook has traced
    // why); OpenService then answers 107. Raises TalvexError for a configuration error (403).
    virtual bool ConfigureDevice(const RegistryValues& values) = 0;
    // After the common flags are set by a successful OpenService.
    virtual void OnOpened() {}
    // Enables or disables the device; answers 0 or 111 (OPOS_E_FAILURE). May run on the object's
    // thread or on the delivery thread (auto-disable); the device serialises it.
    virtual std::int32_t DeviceEnable(bool enable) = 0;
    // The scanner's reconnect timer; stopped before an application enables, disables or releases.
    virtual void StopReconnectTimer() {}
    // Device properties (indices the common table does not know). False: invalid index.
    virtual bool GetDeviceNumber(std::int32_t index, std::int32_t& value);
    virtual bool SetDeviceNumber(std::int32_t index, std::int32_t value);
    virtual bool GetDeviceString(std::int32_t index, std::string& value);
    // Delivery thread: one event taken from the queue (type -1: disable now).
    virtual void ProcessEvent(OposEvent& event) = 0;
    // Object's thread: the window's messages.
    virtual void OnTimer(std::uintptr_t timerId);
    virtual void OnFireDataEvent(std::uintptr_t wParam);
    virtual void OnFireErrorEvent(std::uintptr_t wParam, std::intptr_t lParam);

    // Sends a message to the object's window and waits until the object's thread handled it;
    // 0 when the window is gone. Any thread.
    std::intptr_t SendToWindow(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
    bool StartTimer(std::uintptr_t id, unsigned periodMs);
    bool StopTimer(std::uintptr_t id);

    void Trace(std::int32_t level, const std::string& message) const;
    bool Tracing(std::int32_t level) const;
    // "Exit <method>", then the result code at level 4.
    void TraceResult(const char* method, std::int32_t rc);

    const DeviceTexts& m_Texts;
    std::atomic<std::int32_t> m_State{1};
    std::int32_t m_ComPort = 0;
    DeviceStatus m_DeviceStatus;
    std::int32_t m_OpenResult = 0;
    std::atomic<std::int32_t> m_ResultCode{101};
    std::atomic<std::int32_t> m_ResultCodeExtended{0};
    std::int32_t m_CommProtocol = 0;
    std::unique_ptr<sorvex::sync::NamedMutex> m_hClaimMutex;
    std::string m_CheckHealthText;
    std::string m_DeviceDescription;
    std::string m_DeviceName;
    std::string m_ModelNumber;
    std::string m_StatisticsText;
    CEventSink m_EventSink;
    sorvex::sync::CriticalSection m_FireLock;  // held while the control object is called
    CEventQueue m_EventQueue;

  private:
    static void Deliver(void* owner, OposEvent& event);
    std::intptr_t OnWindowMessage(std::uint32_t message, std::uintptr_t wParam,
                                  std::intptr_t lParam);
    std::int32_t RefuseStatisticsChange(const char* method, const std::string& statisticsBuffer);

    std::unique_ptr<sorvex::window::HiddenWindow> m_Window;
    // What other threads use to reach the window: safe after the window is gone. Set once by
    // CreateDeviceWindow, before anything can be queued.
    sorvex::window::WindowRef m_WindowRef;
};

}  // namespace talvex
