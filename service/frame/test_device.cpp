#include "service/frame/test_device.h"

#include "service/frame/opos.h"

namespace talvex::test {

const DeviceTexts kTestDeviceTexts = {
    "CScanner",
    "OrvantaOposTest",
    "The device has already been claimed by another application.",
    "The device must be claimed before it can be enabled.",
    "Invalid property number specified.",
    "An invalid property number was specified.",
    "  *   DeviceName:  ",
    "  *  pRC: ",
    "  *   pNumber: ",
    "  *  pString: ",
    1008008,
    "Test Service Object",
    /*deviceEnabledNeedsClaim=*/true,
    /*closeTestsOpened=*/true,
    /*exitTraceOnConfigError=*/true,
};

TestDevice::TestDevice(const DeviceTexts& texts) : CDevice(texts) {}

TestDevice::~TestDevice() {
    Shutdown();
}

bool TestDevice::ConfigureDevice(const RegistryValues& values) {
    m_ModelNumber = values.ReadProfileString("Model");
    if (m_ModelNumber == "absent") {
        Trace(0, "No test devices are connected to the system.");
        return false;
    }
    m_ComPort = values.ReadProfileNumber("Serial Port");
    m_DeviceName = "Orvanta " + m_ModelNumber;
    m_DeviceDescription = m_DeviceName + " test device.";
    return true;
}

std::int32_t TestDevice::DeviceEnable(bool enable) {
    std::lock_guard<std::mutex> lock(m_EnableLock);
    ++m_EnableCalls;
    if (enable && !m_DeviceStatus.Test(kDeviceEnabled)) {
        m_EventQueue.SetAllowableEvents(31);
        m_EventQueue.SetEnabledEvents(kEventError |
                                      (m_DeviceStatus.Test(kDataEventEnabled) ? kEventData : 0));
        m_DeviceStatus.Set(kDeviceEnabled);
    } else if (!enable && m_DeviceStatus.Test(kDeviceEnabled)) {
        m_EventQueue.SetAllowableEvents(0);
        m_DeviceStatus.Clear(kDeviceEnabled);
    }
    return OPOS_SUCCESS;
}

void TestDevice::ProcessEvent(OposEvent& event) {
    switch (event.Type()) {
        case kEventData:
            DataEventEnable(false);
            SendToWindow(WM_FIRE_DATA_EVENT, 0, 0);
            break;
        case kEventError: {
            {
                std::lock_guard<std::mutex> lock(m_PendingLock);
                m_PendingError = event;
            }
            SendToWindow(WM_FIRE_ERROR_EVENT, 0, 0);
            break;
        }
        case kEventDisable:
            DeviceEnable(false);
            break;
        default:
            break;
    }
}

void TestDevice::OnFireErrorEvent(std::uintptr_t, std::intptr_t) {
    OposEvent error;
    {
        std::lock_guard<std::mutex> lock(m_PendingLock);
        error = m_PendingError;
    }
    std::int32_t response = OPOS_ER_CLEAR;
    try {
        m_EventSink.FireErrorEvent(error.ResultCode(), error.ResultCodeExtended(),
                                   error.ErrorLocus(), &response);
    } catch (const TalvexError& e) {
        Trace(0, e.what());
    }
    m_LastErrorResponse = response;
}

}  // namespace talvex::test
