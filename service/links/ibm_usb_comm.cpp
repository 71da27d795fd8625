// The USB POS link on the platform HID layer.
//
// Quirks this file relies on:
//   - An unplugged scanner shows as a failing read (HidError 1167). The link reports it once
//     with an empty report and lost = 1 and stops reading; the scanner service reconnects on
//     its own schedule. A failing scale read only ends the thread (a level-0 trace line).
//   - Reads and writes of one device may run at the same time (the HID layer allows it), so a
//     write never disturbs the pending read.
#include "service/links/ibm_usb_comm.h"

#include <thread>

#include "platform/hid/hid.h"
#include "service/frame/errors.h"
#include "service/frame/log.h"
#include "service/frame/strings.h"
#include "service/links/read_thread.h"
#include "service/links/usb_device_info.h"

namespace talvex {

namespace hid = sorvex::hid;

namespace {

constexpr const char* kTag = "CIbmUsbComm";
constexpr unsigned long kGenFailure = 31;  // ERROR_GEN_FAILURE

std::string Numbered(const char* text, unsigned long code) {
    return std::string(text) + NumToString(static_cast<std::int64_t>(code)) + ").";
}

bool IsScannerKind(int kind) {
    return kind == 1 || kind == 3;
}

}  // namespace

struct CIbmUsbComm::ReadState final : CReadThread {
    ReadState(void* context, UsbDataCallback callback)
        : CReadThread(context), context(context), callback(callback) {}

    void CancelDevice() override { device->CancelRead(); }
    void ReleaseDevice() override { device.reset(); }

    void* const context;
    const UsbDataCallback callback;
    int kind = 0;
    // Used by the link (writes) while the link lives, by the read thread between BeginRead and
    // EndRead; released by whichever CReadThread::Stop says.
    std::unique_ptr<hid::Device> device;
};

CIbmUsbComm::CIbmUsbComm(int DeviceType, const std::string& astrModelNumber, void* context,
                         UsbDataCallback callback) {
    TALVEX_LOG(3, kTag, "Enter CIbmUsbComm constructor");
    TALVEX_LOG(4, kTag, "  *   in constructor, int DeviceType  = " + NumToString(DeviceType));
    TALVEX_LOG(4, kTag, "  *   in constructor, astrModelNumber = " + astrModelNumber);
    m_State = std::make_shared<ReadState>(context, callback);
    std::string path = UsbDeviceInfo::FindUsbDevice(DeviceType, astrModelNumber, &m_DeviceKind);
    m_State->kind = m_DeviceKind;
    if (path.empty()) {
        throw IbmUsbCommError("Specified device type is not connected to the system.");
    }
    OpenUsbPort(path);
    try {
        std::shared_ptr<ReadState> state = m_State;
        m_State->Start([state] { CreateReadThread(state); });
    } catch (const std::system_error& e) {
        throw CommError(Numbered("Unable to start read thread (", ThreadStartError(e)));
    }
    TALVEX_LOG(3, kTag, "Exit CIbmUsbComm constructor");
}

void CIbmUsbComm::OpenUsbPort(const std::string& path) {
    TALVEX_LOG(3, kTag, "Enter OpenUsbPort(...)");
    try {
        m_State->device = hid::Open(path);
    } catch (const hid::HidError& e) {
        throw IbmUsbCommError(Numbered("Unable to open USB device (", e.code()));
    }
    TALVEX_LOG(3, kTag, "Exit OpenUsbPort(...)");
}

int CIbmUsbComm::CreateReadThread(const std::shared_ptr<ReadState>& parameter) {
    TALVEX_LOG(3, kTag, "Enter CreateReadThread(...)");
    TALVEX_LOG(3, kTag, "Exit CreateReadThread(...)");
    if (parameter == nullptr) {
        return -1;
    }
    RunReadThread(*parameter);
    return 0;
}

void CIbmUsbComm::RunReadThread(ReadState& state) {
    int exitCode = 0;
    try {
        TALVEX_LOG(3, kTag, "Enter RunReadThread()");
        bool runThread = true;
        int lost = 0;
        std::string report;
        report.reserve(kReportBufferSize);
        // Calls the callback unless the link is stopping or its context was detached.
        auto deliver = [&state](const std::string& bytes, int lostFlag) {
            if (state.callback == nullptr || !state.BeginCallback()) {
                return;
            }
            struct End {
                ReadState& state;
                ~End() { state.EndCallback(); }
            } end{state};
            state.callback(state.context, bytes, lostFlag);
        };
        while (runThread) {
            TALVEX_LOG(4, kTag, "  *   in ::RunReadThread, just entered while (RunThread) loop");
            if (!state.BeginRead()) {
                break;  // the stop event
            }
            bool got = false;
            bool failed = false;
            unsigned long error = 0;
            try {
                got = state.device->Read(report);
            } catch (const hid::HidError& e) {
                failed = true;
                error = e.code();
            } catch (const std::exception&) {
                failed = true;
                error = kGenFailure;
            }
            if (!state.EndRead() || (!failed && !got)) {
                runThread = false;  // stopped (a cancelled read returns nothing)
            } else if (failed) {
                if (!IsScannerKind(state.kind)) {
                    throw IbmUsbCommError(Numbered("Error while waiting for data (", error));
                }
                runThread = false;
                lost = 1;
                TALVEX_LOG(4, kTag, "  *   in ::RunReadThread, Error while waiting for data");
                deliver(std::string(), 1);
            }
            TALVEX_LOG(4, kTag,
                       std::string("  *   in ::RunReadThread, at if (RunThread), RunThread = ") +
                           (runThread ? "1" : "0"));
            if (runThread) {
                TALVEX_LOG(4, kTag, "  *   in ::RunReadThread, Received: " + StringToHex(report));
                deliver(report, lost);
            }
            std::this_thread::yield();
        }
        TALVEX_LOG(4, kTag, "  *   in ::RunReadThread, about to ::ExitThread(0)");
    } catch (const TalvexError& e) {
        TALVEX_LOG(0, kTag, e.what());
        exitCode = -1;
    } catch (const std::exception& e) {
        // Not one of ours (a subscriber's bug): end the thread, never the process.
        TALVEX_LOG(0, kTag, e.what());
        exitCode = -1;
    }
    state.Ended(exitCode);
}

CIbmUsbComm::~CIbmUsbComm() {
    TALVEX_LOG(3, kTag, "Enter CIbmUsbComm destructor");
    TALVEX_LOG(4, kTag, "  *   in destructor, about to ::SetEvent(m_TerminateThread)");
    TALVEX_LOG(4, kTag,
               "  *   in destructor, about to call ::WaitForSingleObject(m_ReadThread, INFINITE);");
    m_State->Stop(kStopWait);
    TALVEX_LOG(4, kTag,
               "  *   in destructor, about to call ::CloseHandle for m_ReadThread, for "
               "m_UsbDevice, and for m_TerminateThread");
    TALVEX_LOG(3, kTag, "Exit CIbmUsbComm destructor");
}

void CIbmUsbComm::WriteString(const std::string& ToWrite) {
    TALVEX_LOG(3, kTag, "Enter WriteString(std::string ToWrite)");
    TALVEX_LOG(4, kTag, "  *   ToWrite: " + StringToHex(ToWrite));
    try {
        m_State->device->Write(ToWrite);
    } catch (const hid::HidError& e) {
        throw CommError(Numbered("Error writing data (", e.code()));
    }
    TALVEX_LOG(3, kTag, "Exit WriteString");
}

bool CIbmUsbComm::Reading() const {
    return m_State->Running();
}

}  // namespace talvex
