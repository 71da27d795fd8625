// The scanner service object: a CDevice that reads bar codes from a single-cable scanner-scale
// (interface kind 0), an RS-232 scanner (1), an IBM OEM USB scanner (2, "Full Speed USB") or a
// POS USB scanner on a virtual COM port (3), and turns them into OPOS data events and the
// properties ScanData, ScanDataLabel and ScanDataType.
//
// Threads:
//   - object's thread: the OPOS methods, the window's timers (the USB reconnect timer 50) and
//     the data event's hop to the control object;
//   - link read threads: ProcessDataEvent, ProcessStatsEvent, ProcessUsbDataEvent;
//   - delivery thread: ProcessEvent, which decodes a data event into the properties.
//
// Locks, in the only order they are ever nested (a lock is never taken while a later one in
// this list is held; none is held while waiting for another thread, except the bounded waits
// of the links for their read threads):
//   fire lock (m_FireLock)  held while the control object is called (the application's event
//                           handler runs inside it) and by the serial and USB frame callbacks;
//   enable lock             the whole of DeviceEnable (object's thread, delivery thread);
//   the arbiter's lock and a frame router's lock (inside the links);
//   statistics lock, partial-label lock, data lock: leaves that guard one member each.
// DeviceEnable never takes the fire lock, so an application may disable, release or close the
// scanner from inside its DataEvent handler while a read thread waits for the fire lock: the
// link destroyed under the arbiter's lock gives its read thread up after a bounded wait.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "platform/sync/sync.h"
#include "service/frame/device.h"

namespace talvex {

extern const DeviceTexts kScannerTexts;

// The scanner's waits and pauses. Tests shorten them; the defaults are the real values.
struct ScannerTimings {
    // RetrieveStatistics: how long to wait for the scanner's identification reply.
    std::chrono::milliseconds statisticsReply{3000};
    // OnReconnectTimeout: the pause after disabling, and the one after an enable attempt.
    std::chrono::milliseconds reconnectPause{450};
    std::chrono::milliseconds reconnectSettle{10};
    // Period of the reconnect timer 50.
    unsigned reconnectPeriodMs = 50;
    // The fixed pauses of DirectIO and the AX310 handling (25 ms). Default: sleep.
    std::function<void(std::chrono::milliseconds)> pause;
};

class CScanner final : public CDevice {
  public:
    static constexpr std::uintptr_t kReconnectTimer = 50;

    CScanner();
    // Detaches the object from the links (no callback enters it afterwards), then shuts the
    // frame down. Does not close or disable the device. Object's thread.
    ~CScanner() override;

    // Replaces the waits and pauses; before OpenService. Object's thread.
    void SetTimings(ScannerTimings timings);

    // The scanner's own OPOS methods (object's thread). Each answers its pRC and stores it in
    // ResultCode. DirectIO leaves *pData and *pString unchanged.
    std::int32_t DirectIO(std::int32_t command, std::int32_t* pData, std::string* pString);
    // *pString: in, the statistics asked for ("", "U_", "M_" or a list of names); out, the
    // statistics document (unchanged unless the result is 0 or 106).
    std::int32_t RetrieveStatistics(std::string* pString);

    // Link callbacks (read threads; arbiter callback shapes below). Frames and reports are taken
    // as received, start and stop bytes included; any bytes are safe. Each returns 1 when the
    // link should stop reading, else 0.
    //   ProcessDataEvent: an 0xF3...0xF1 or STX...ETX frame: acknowledged and queued.
    int ProcessDataEvent(const std::string& frame);
    //   ProcessStatsEvent: an SOH...ETX reply to a statistics request.
    int ProcessStatsEvent(const std::string& frame);
    //   ProcessUsbDataEvent: one input report, or (errorCode 1) the USB device went away.
    int ProcessUsbDataEvent(const std::string& report, int errorCode);

    // For tests and diagnostics.
    std::int32_t CommProtocol() const { return m_CommProtocol; }
    std::int32_t ComPort() const { return m_ComPort; }
    const std::string& ModelNumber() const { return m_ModelNumber; }
    // The USB device kind of the model: 1 for the table-top "Heronix/2110" and "Heronix/2140",
    // else 3.
    int UsbDeviceKind() const;

  protected:
    bool ConfigureDevice(const RegistryValues& values) override;
    void OnOpened() override;
    std::int32_t DeviceEnable(bool enable) override;
    void StopReconnectTimer() override;
    bool GetDeviceNumber(std::int32_t index, std::int32_t& value) override;
    bool SetDeviceNumber(std::int32_t index, std::int32_t value) override;
    bool GetDeviceString(std::int32_t index, std::string& value) override;
    void ProcessEvent(OposEvent& event) override;
    void OnTimer(std::uintptr_t timerId) override;

  private:
    // Reaches the internals without a port or a window: for the fuzz targets.
    friend struct CScannerProbe;

    static int DataCallback(void* context, const std::string& frame);
    static int StatsCallback(void* context, const std::string& frame);
    static int UsbCallback(void* context, const std::string& report, int lost);

    // POS USB: the COM port of the first USB virtual port, trying `first` before 1, 2, ...;
    // -1 when there is none.
    int FindPosUsbUnit(int first);
    void HandleDataEvent(const OposEvent& event);
    void OnReconnectTimeout(std::uintptr_t timerId);
    void RequestStatistics();
    void Pause(std::chrono::milliseconds duration) const;
    void Write(const std::string& bytes);

    ScannerTimings m_Timings;

    // Guarded by m_PartialLock (read threads; DeviceEnable clears it).
    std::mutex m_PartialLock;
    std::string m_UsbPartialLabel;
    bool m_UsbLabelOverflow = false;

    // The data properties, written on the delivery thread and read on the object's thread.
    mutable std::mutex m_DataLock;
    std::string ScanData;
    std::string ScanDataLabel;
    std::int32_t ScanDataType = 0;

    sorvex::sync::CriticalSection m_StatsLock;  // guards m_ScannerStats
    std::string m_ScannerStats;
    sorvex::sync::Event m_hStatsEvent{sorvex::sync::ResetMode::Manual, false};
    // Only ever waited on, as the reconnect pause; nothing signals it.
    sorvex::sync::Event m_hReconnectWait{sorvex::sync::ResetMode::Manual, false};

    sorvex::sync::CriticalSection m_EnableLock;
    // Set while OnReconnectTimeout disables the lost device (read by DeviceEnable, which may run
    // on the delivery thread).
    std::atomic<bool> m_Reconnecting{false};
};

}  // namespace talvex
