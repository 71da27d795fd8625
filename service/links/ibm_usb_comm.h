// The link to one "Full Speed USB" (IBM OEM USB point of sale) device: a HID device whose input
// reports are the device's data and whose output reports are its commands. Finds the device of
// the requested kind (UsbDeviceInfo), opens it, reads its input reports on a thread of its own
// and hands each to the callback, and writes output reports.
//
// Threads: the constructor, WriteString and the destructor run on the arbiter's callers, one at
// a time (the arbiter's lock); WriteString may also run on the read thread (the scale asks for
// the weight again from inside its callback). The callback runs on the read thread, without any
// lock of this link.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "service/links/comm.h"

namespace talvex {

class CIbmUsbComm : public CComm {
  public:
    // Bytes a read asks for: one input report.
    static constexpr std::size_t kReportBufferSize = 512;
    // How long the destructor waits for the read thread (as the serial link does).
    static constexpr std::chrono::milliseconds kStopWait{100};

    // Finds and opens the device of kind `DeviceType` for model `astrModelNumber` and starts
    // reading. Raises IbmUsbCommError "Specified device type is not connected to the system."
    // or "Unable to open USB device (<n>).", or CommError "Unable to start read thread (<n>).";
    // nothing stays open then.
    CIbmUsbComm(int DeviceType, const std::string& astrModelNumber, void* context,
                UsbDataCallback callback);

    // Stops the read thread and closes the device. Waits at most kStopWait: a thread still
    // inside the callback then finishes on its own (the device is closed at once all the same),
    // and is joined when it ends or at module unload.
    ~CIbmUsbComm() override;

    CIbmUsbComm(const CIbmUsbComm&) = delete;
    CIbmUsbComm& operator=(const CIbmUsbComm&) = delete;

    // Writes `ToWrite` as one output report (report id first). Raises CommError "Error writing
    // data (<n>)." on failure.
    void WriteString(const std::string& ToWrite) override;

    // The kind FindUsbDevice reported for the device.
    int DeviceKind() const { return m_DeviceKind; }
    // Whether the read thread still runs (it ends on destruction, when a scanner is lost, or
    // on a read error). For diagnostics and tests.
    bool Reading() const;

    struct ReadState;

  private:
    void OpenUsbPort(const std::string& path);
    static int CreateReadThread(const std::shared_ptr<ReadState>& parameter);
    static void RunReadThread(ReadState& state);

    int m_DeviceKind = 0;
    std::shared_ptr<ReadState> m_State;  // shared with the read thread; owns the device
};

}  // namespace talvex
