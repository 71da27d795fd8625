// The serial link on the platform serial layer.
//
// Quirks and timing this file relies on:
//   - USB virtual COM ports ignore line speeds: asked for 300 baud they keep reporting their
//     rate. The probe uses that; a local tty on the USB bus counts as USB whatever it reports
//     (a USB-serial adapter honours 300 baud, so the line is set back to 9600 for it).
//   - A USB virtual port expects one 0x80 byte right after it is configured.
//   - The serial layer's reads return as soon as bytes have arrived, so there are no read
//     time-outs to set: a chunk is what one read returns (at most 32 bytes), and the delay from
//     the last byte of a frame to its delivery is the time to wake the read thread.
//   - The open waits 25 ms first, giving a device whose port was just closed time to settle.
#include "service/links/serial_comm.h"

#include <thread>

#include "platform/serial/serial_port.h"
#include "service/frame/errors.h"
#include "service/frame/log.h"
#include "service/frame/strings.h"
#include "service/links/read_thread.h"

namespace talvex {

namespace serial = sorvex::serial;

namespace {

constexpr const char* kTag = "CSerialComm";
constexpr std::uint32_t kLineRate = 9600;
constexpr std::uint32_t kProbeRate = 300;
constexpr unsigned long kGenFailure = 31;  // ERROR_GEN_FAILURE

std::string Numbered(const char* text, unsigned long code) {
    return std::string(text) + NumToString(static_cast<std::int64_t>(code)) + ").";
}

// Sets the line back to 9600 after the probe; a failure is ignored like the probe's own.
void RestoreRate(serial::Port& port, const serial::LineSettings& settings) {
    try {
        port.SetSettings(settings);
    } catch (const serial::PortError&) {
    }
}

}  // namespace

struct CSerialComm::ReadState final : CReadThread {
    ReadState(void* context, DataCallback callback)
        : CReadThread(context), context(context), callback(callback) {}

    void CancelDevice() override { port->CancelRead(); }
    void ReleaseDevice() override { port.reset(); }

    void* const context;
    const DataCallback callback;
    // Used by the link (open, writes) while the link lives, by the read thread between
    // BeginRead and EndRead; released by whichever CReadThread::Stop says.
    std::unique_ptr<serial::Port> port;
};

CSerialComm::CSerialComm(const std::string& portName, void* context, DataCallback callback) {
    TALVEX_LOG(3, kTag, "Enter CSerialComm constructor");
    m_USBPort = false;
    m_State = std::make_shared<ReadState>(context, callback);
    OpenComPort(portName);
    try {
        std::shared_ptr<ReadState> state = m_State;
        m_State->Start([state] { RunReadThread(state); });
    } catch (const std::system_error& e) {
        throw SerialCommError(Numbered("Unable to start read thread (", ThreadStartError(e)));
    }
    TALVEX_LOG(3, kTag, "Exit CSerialComm constructor");
}

void CSerialComm::OpenComPort(const std::string& Target) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    TALVEX_LOG(3, kTag, "Enter OpenComPort");
    TALVEX_LOG(4, kTag, "  *   Target: " + Target);
    try {
        m_State->port = serial::OpenPort(Target);
    } catch (const serial::PortError& e) {
        throw SerialCommError(Numbered("Unable to open COM port (", e.code()));
    }
    serial::Port& port = *m_State->port;
    serial::LineSettings settings;
    try {
        settings = port.GetSettings();
    } catch (const serial::PortError& e) {
        throw SerialCommError(Numbered("Unable to retrieve COM port settings (", e.code()));
    }
    settings.baudRate = kLineRate;
    settings.dataBits = 8;
    settings.parity = serial::Parity::None;
    settings.stopBits = serial::StopBits::One;
    settings.ctsFlow = false;
    settings.dsrFlow = false;
    settings.xonXoff = false;
    settings.dtr = false;
    settings.rts = false;
    try {
        port.SetSettings(settings);
    } catch (const serial::PortError& e) {
        throw SerialCommError(Numbered("Unable to update COM port settings (", e.code()));
    }

    // The probe: failures of these calls are ignored; a read-back that fails counts as the rate
    // that was asked for.
    serial::LineSettings probe = settings;
    probe.baudRate = kProbeRate;
    serial::LineSettings readBack = probe;
    try {
        port.SetSettings(probe);
    } catch (const serial::PortError&) {
    }
    try {
        readBack = port.GetSettings();
    } catch (const serial::PortError&) {
    }
    const bool ignoredRate = readBack.baudRate != kProbeRate;
    if (ignoredRate || port.OnUsbBus()) {
        m_USBPort = true;
        TALVEX_LOG(4, kTag, "  *   m_USBPort is True");
        if (!ignoredRate) {
            RestoreRate(port, settings);
        }
        WriteString(std::string(1, '\x80'));
    } else {
        TALVEX_LOG(4, kTag, "  *   m_USBPort is False");
        RestoreRate(port, settings);
    }
    TALVEX_LOG(3, kTag, "Exit OpenComPort");
}

void CSerialComm::RunReadThread(const std::shared_ptr<ReadState>& state) {
    int exitCode = 0;
    try {
        char buffer[kReadBufferSize];
        bool runThread = true;
        while (runThread) {
            if (!state->BeginRead()) {
                break;  // the stop event
            }
            std::size_t count = 0;
            bool failed = false;
            unsigned long error = 0;
            try {
                count = state->port->Read(buffer, sizeof buffer);
            } catch (const serial::PortError& e) {
                failed = true;
                error = e.code();
            } catch (const std::exception&) {
                failed = true;
                error = kGenFailure;
            }
            if (!state->EndRead() || (!failed && count == 0)) {
                break;  // stopped (a cancelled read returns nothing)
            }
            if (failed) {
                throw SerialCommError(Numbered("Error while waiting for data (", error));
            }
            std::string bytes(buffer, count);
            TALVEX_LOG(4, kTag, "Received: " + bytes);
            if (state->callback != nullptr && state->BeginCallback()) {
                struct End {
                    ReadState& state;
                    ~End() { state.EndCallback(); }
                } end{*state};
                if (state->callback(state->context, bytes) == 1) {
                    runThread = false;
                }
            }
            std::this_thread::yield();
        }
    } catch (const TalvexError& e) {
        TALVEX_LOG(0, "RunReadThread", e.what());
        exitCode = -1;
    } catch (const std::exception& e) {
        // Not one of ours (a subscriber's bug): end the thread like a read error, never the
        // process.
        TALVEX_LOG(0, "RunReadThread", e.what());
        exitCode = -1;
    }
    state->Ended(exitCode);
}

CSerialComm::~CSerialComm() {
    TALVEX_LOG(3, kTag, "Enter CSerialComm destructor");
    m_State->Stop(kStopWait);
    TALVEX_LOG(3, kTag, "Exit CSerialComm destructor");
}

void CSerialComm::WriteString(const std::string& ToWrite) {
    TALVEX_LOG(3, kTag, "Enter WriteString(std::string ToWrite)");
    TALVEX_LOG(4, kTag, "  *   ToWrite: " + ToWrite);
    TALVEX_LOG(4, kTag, "  *   .length: " + NumToString(static_cast<std::int64_t>(ToWrite.size())));
    try {
        m_State->port->Write(ToWrite.data(), ToWrite.size());
    } catch (const serial::PortError& e) {
        throw SerialCommError(Numbered("Error writing data (", e.code()));
    }
    TALVEX_LOG(4, kTag,
               "  *   BytesWritten: " + NumToString(static_cast<std::int64_t>(ToWrite.size())));
    TALVEX_LOG(3, kTag, "Exit WriteString(...)");
}

bool CSerialComm::Reading() const {
    return m_State->Running();
}

}  // namespace talvex
