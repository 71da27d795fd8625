// CScale: the OPOS service object of the scale of a single-cable scanner-scale (RS-232,
// interface kind 0) or of a USB POS scale (IBM OEM USB, device kind 2; any other kind counts
// as USB).
//
// Threads. Four threads meet here:
//   - the object's thread (the creator, which serves the hidden window): every OPOS method, the
//     asynchronous read timer (OnReadTimeout) and the two window handlers that call the control
//     object;
//   - the link's read thread: ProcessDataEvent / ProcessUsbDataEvent, ProcessScaleData,
//     ProcessStatus and the polling writes;
//   - the event queue's delivery thread: ProcessEvent, HandleDataEvent, HandleErrorEvent and
//     DeviceEnable(false) for auto-disable;
//   - the application's thread is the object's thread (apartment model).
// Every change of m_DeviceStatus is one atomic operation. m_FireLock keeps the queueing of an
// asynchronous data event apart from the firing of one. DeviceEnable runs under m_EnableLock.
// No lock is held while the read thread pauses before asking a USB scale again.
//
// Reads. A weight request is pending (WeightRequestPending) from ReadWeight until a weight or
// an over-capacity result is delivered: a synchronous read clears it after its wait, an
// asynchronous one when its data or error event is handled. While it is pending every reply
// without a usable weight triggers a new weight request, so the scale is polled. An
// asynchronous read has exactly one outcome: a data event or a time-out error event, never both
// and never two data events, whatever else the scale sends.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/com/variant.h"
#include "platform/sync/sync.h"
#include "service/frame/device.h"
#include "service/scale/scale_protocol.h"

namespace talvex {

extern const DeviceTexts kScaleTexts;

// The waits of the scale. Tests shorten them; the service object uses the defaults.
struct ScaleTimings {
    int statusProbeMs = 1000;         // OpenService waits this long for the unit probe's answer
    int defaultReadTimeoutMs = 3000;  // a synchronous ReadWeight with Timeout 0 waits this long
    int usbRepollPauseMs = 50;        // pause before asking a USB scale again
};

class CScale final : public CDevice {
  public:
    // Timer of the asynchronous read.
    static constexpr std::uintptr_t AsyncReadTimeout = 1000;
    // Device kind of the scale on serial subscriptions and on USB links.
    static constexpr int kSerialDeviceType = 1;
    static constexpr int kUsbDeviceKind = 2;

    explicit CScale(ScaleTimings timings = {});
    // Detaches from the links (waiting for a callback in progress), then stops the window and
    // the delivery thread. Never closes, releases or disables the device.
    ~CScale() override;

    // OPOS methods of the scale (object's thread). Each answers its result code and stores it
    // in ResultCode.

    // No command exists: the arguments come back unchanged. 0 when enabled, else 106.
    std::int32_t DirectIO(std::int32_t Command, std::int32_t* pData, std::string* pString);
    // Always 106: the scale has no display text.
    std::int32_t DisplayText(const std::string& Data);
    // Synchronous (AsyncMode 0): waits for the weight up to Timeout ms (0 means the default of
    // three seconds, -1 forever) and answers it in *pData: 0, 112 (time-out, weight 0) or 114
    // with ResultCodeExtended 201 (over capacity, weight 0). Asynchronous: starts the read and
    // answers 0 at once with weight 0; the weight comes as a data event, a time-out as an error
    // event (112, 0, OPOS_EL_INPUT) after Timeout ms (never with -1). 103 / 105 before claim /
    // enable; 106 for an asynchronous read while one is pending. *pData is left as it was on
    // these three.
    std::int32_t ReadWeight(std::int32_t* pData, std::int32_t Timeout);
    // Sends one zero command and answers 0 at once; 103 / 105 before claim / enable.
    std::int32_t ZeroScale();
    // Currency 0, ResultCode 0.
    void GetSalesPrice(sorvex::com::CY* pCY);
    void GetUnitPrice(sorvex::com::CY* pCY);
    // ResultCode 106, nothing else.
    void SetUnitPrice(sorvex::com::CY NewUnitPrice);
    // The statistics document with the scale's default equipment values; 103 / 105 before
    // claim / enable (pString unchanged); 106 with a complete document when the request names
    // an unknown statistic.
    std::int32_t RetrieveStatistics(std::string* pString);

    // Link side (the link's read thread). The frame or report as received; unsolicited replies
    // (nothing pending) are dropped without any write to the scale. Never throws.
    int ProcessDataEvent(const std::string& Data);
    int ProcessUsbDataEvent(const std::string& Data);
    // A reply with weight digits while a weight request is pending. 1 when an asynchronous
    // weight was queued with AutoDisable set, else 0.
    int ProcessScaleData(const std::string& Status, const std::string& Data);
    // Applies the unit bit of a status, ends a pending status request, signals m_StatusEvent.
    void ProcessStatus(const std::string& Status);

    // The last weight decoded (thousandths of the unit; -1 over capacity).
    std::int32_t Weight() const { return m_Weight.load(); }

  protected:
    bool ConfigureDevice(const RegistryValues& values) override;
    void OnOpened() override;
    std::int32_t DeviceEnable(bool enable) override;
    bool GetDeviceNumber(std::int32_t index, std::int32_t& value) override;
    bool SetDeviceNumber(std::int32_t index, std::int32_t value) override;
    void ProcessEvent(OposEvent& event) override;
    void OnTimer(std::uintptr_t timerId) override;
    void OnFireDataEvent(std::uintptr_t wParam) override;
    void OnFireErrorEvent(std::uintptr_t wParam, std::intptr_t lParam) override;

  private:
    friend struct ScaleTestAccess;

    // Callbacks given to the arbiter. The serial one always answers 0 to the link: a link's
    // read thread serves every subscriber of the port (the scanner of a single-cable
    // scanner-scale too), so the scale never stops it.
    static int SerialCallback(void* context, const std::string& frame);
    static int UsbCallback(void* context, const std::string& report, int lost);

    void RequestWeight();
    void RequestStatus();
    void Send(scale::Command command);
    void Subscribe();
    void Unsubscribe();
    void ApplyUnit(const std::string& status);
    void HandleDataEvent(OposEvent& event);
    void HandleErrorEvent(OposEvent& event);
    void OnReadTimeout(std::uintptr_t timerId);
    // Pauses the read thread before it asks a USB scale again; true when something is still
    // pending afterwards.
    bool PauseBeforeRepoll();
    // Waits until no link callback of this object runs (after an unsubscription).
    void WaitForCallbacks();

    const ScaleTimings m_Timings;
    sorvex::sync::Event m_ReadEvent{sorvex::sync::ResetMode::Manual, false};
    sorvex::sync::Event m_StatusEvent{sorvex::sync::ResetMode::Manual, false};
    std::atomic<std::int32_t> m_Weight{0};
    std::atomic<std::int32_t> m_AsyncTimeout{0};
    std::mutex m_EnableLock;  // held for the whole of DeviceEnable
    // The current asynchronous read has its outcome (a data event or a time-out error event).
    std::atomic<bool> m_ReadAnswered{false};
    // Counts the reads ReadWeight started; lets the data-event handler tell whether a new read
    // began since the delivery thread ended the previous one.
    std::atomic<std::uint32_t> m_ReadSequence{0};
    std::atomic<std::uint32_t> m_HopSequence{0};  // m_ReadSequence when the hop began
    std::atomic<int> m_ActiveCallbacks{0};
    // Profile values of the last OpenService.
    std::int32_t m_DisplaySetting = 0;
    std::int32_t m_UnitSetting = 0;
};

}  // namespace talvex
