#include "service/links/comm_arbiter.h"

#include <mutex>

#include "service/frame/errors.h"
#include "service/frame/log.h"
#include "service/frame/strings.h"
#include "service/links/ibm_usb_comm.h"
#include "service/links/read_thread.h"
#include "service/links/serial_comm.h"

namespace talvex {

namespace {

constexpr const char* kTag = "CCommArbiter";

bool ValidPort(int ComPort) {
    return ComPort >= 0 && ComPort < CCommArbiter::kComPortSlots;
}
bool ValidKind(int DeviceType) {
    return DeviceType >= 0 && DeviceType < CCommArbiter::kUsbKinds;
}

std::string Hex(std::uint8_t byte) {
    char c = static_cast<char>(byte);
    return StringToHex(std::string_view(&c, 1));
}

}  // namespace

// After the trace log (101) and the read threads (102).
CCommArbiter g_CommArbiter __attribute__((init_priority(103)));

CCommArbiter& TheArbiter() {
    return g_CommArbiter;
}

CCommArbiter::CCommArbiter() = default;

CCommArbiter::~CCommArbiter() {
    {
        std::lock_guard lock(m_Lock);
        for (Slot& slot : CommDevices) {
            slot.UsbPort.store(-1);
            slot.Comm.reset();
        }
        for (auto& link : IbmUsbDevices) {
            link.reset();
        }
    }
    // The routers are members: threads that still run a callback must end before they go.
    ReadThreads().JoinAbandoned();
}

void CCommArbiter::AddSerialDevice(int DeviceType, int ComPort, std::uint8_t StartChar,
                                   std::uint8_t StopChar, void* context, DataCallback callback) {
    (void)DeviceType;  // only the callers' traces tell scanner from scale
    std::lock_guard lock(m_Lock);
    TALVEX_LOG(3, kTag, "Enter AddSerialDevice(...)");
    if (!ValidPort(ComPort)) {
        throw CommArbiterError("Invalid COM port number (" + NumToString(ComPort) + ").");
    }
    ReadThreads().ReapFinished();
    Slot& slot = CommDevices[ComPort];
    try {
        if (slot.Comm == nullptr) {
            auto link = std::make_unique<CSerialComm>(
                "\\\\.\\COM" + NumToString(ComPort), &slot.Router, &CFrameRouter::DispatchCallback);
            slot.UsbPort.store(link->IsUsbPort() ? 1 : 0);
            slot.Comm = std::move(link);
        }
        slot.Router.Subscribe(StartChar, StopChar, context, callback);
    } catch (const TalvexError& e) {
        throw TalvexError(e.what());
    }
    TALVEX_LOG(3, kTag, "Exit AddSerialDevice(...)");
}

void CCommArbiter::RemoveSerialDevice(int DeviceType, int ComPort, std::uint8_t StartChar,
                                      std::uint8_t StopChar) {
    std::lock_guard lock(m_Lock);
    TALVEX_LOG(3, kTag, "Enter RemoveSerialDevice(...)");
    TALVEX_LOG(4, kTag, "  *   int DeviceType    = " + NumToString(DeviceType));
    TALVEX_LOG(4, kTag, "  *   int ComPort       = " + NumToString(ComPort));
    TALVEX_LOG(4, kTag, "  *   StartChar,StopChar: " + Hex(StartChar) + "," + Hex(StopChar));
    ReadThreads().ReapFinished();
    if (ValidPort(ComPort)) {
        Slot& slot = CommDevices[ComPort];
        if (slot.Router.Unsubscribe(StartChar, StopChar)) {
            TALVEX_LOG(4, kTag,
                       "  *   about to delete CommDevices[" + NumToString(ComPort) + "].Comm");
            slot.UsbPort.store(-1);
            slot.Comm.reset();
            TALVEX_LOG(4, kTag,
                       "  *   about to set CommDevices[" + NumToString(ComPort) + "].Comm = NULL");
        }
    }
    TALVEX_LOG(3, kTag, "Exit RemoveSerialDevice(...)");
}

void CCommArbiter::AddIbmUsbDevice(int DeviceType, const std::string& astrModelNumber,
                                   void* context, UsbDataCallback callback) {
    std::lock_guard lock(m_Lock);
    TALVEX_LOG(3, kTag, "Enter AddIbmUsbDevice(...)");
    TALVEX_LOG(4, kTag, "  *   int DeviceType  = " + NumToString(DeviceType));
    TALVEX_LOG(4, kTag, "  *   astrModelNumber = " + astrModelNumber);
    if (!ValidKind(DeviceType)) {
        throw CommArbiterError("Invalid USB device type (" + NumToString(DeviceType) + ").");
    }
    if (IbmUsbDevices[DeviceType] != nullptr) {
        throw CommArbiterError("Device already in use.");
    }
    ReadThreads().ReapFinished();
    try {
        IbmUsbDevices[DeviceType] =
            std::make_unique<CIbmUsbComm>(DeviceType, astrModelNumber, context, callback);
    } catch (const TalvexError& e) {
        throw TalvexError(e.what());
    }
    TALVEX_LOG(3, kTag, "Exit AddIbmUsbDevice(...)");
}

void CCommArbiter::RemoveIbmUsbDevice(int DeviceType) {
    std::lock_guard lock(m_Lock);
    ReadThreads().ReapFinished();
    if (ValidKind(DeviceType)) {
        IbmUsbDevices[DeviceType].reset();
    }
}

void CCommArbiter::WriteData(int ComPort, const std::string& ToWrite) {
    std::lock_guard lock(m_Lock);
    TALVEX_LOG(3, kTag, "Enter WriteData(...)");
    TALVEX_LOG(4, kTag, "  *   int ComPort         = " + NumToString(ComPort));
    TALVEX_LOG(4, kTag, "  *   std::string ToWrite = " + ToWrite);
    if (ValidPort(ComPort) && CommDevices[ComPort].Comm != nullptr) {
        try {
            CommDevices[ComPort].Comm->WriteString(ToWrite);
        } catch (const TalvexError& e) {
            TALVEX_LOG(0, "CCommArbiter::WriteData", e.what());
        }
    }
    TALVEX_LOG(3, kTag, "Exit WriteData(...)");
}

void CCommArbiter::WriteUsbData(int DeviceType, const std::string& ToWrite) {
    std::lock_guard lock(m_Lock);
    if (ValidKind(DeviceType) && IbmUsbDevices[DeviceType] != nullptr) {
        try {
            IbmUsbDevices[DeviceType]->WriteString(ToWrite);
        } catch (const TalvexError& e) {
            TALVEX_LOG(0, "CCommArbiter::WriteUsbData", e.what());
        }
    }
}

int CCommArbiter::IsUsbPort(int ComPort) {
    return ValidPort(ComPort) ? CommDevices[ComPort].UsbPort.load() : -1;
}

int CCommArbiter::MaxPortNumber(int DeviceType) {
    switch (DeviceType) {
        case 0:
        case 1:
            return 128;
        case 2:
        case 3:
            return 127;
        default:
            return -1;
    }
}

void CCommArbiter::DetachContext(void* context) {
    for (Slot& slot : CommDevices) {
        slot.Router.Detach(context);
    }
    ReadThreads().Detach(context);
}

}  // namespace talvex
