// A small device class on the frame, standing in for the scanner and scale in the frame's tests.
// Its profile needs "Model" and "Serial Port"; the model "absent" means no device is present.
// Enabling and disabling only change the queue masks; a queued error event is fired with
// ErrorResponse preset to OPOS_ER_CLEAR and the response the control object leaves is kept.
#pragma once

#include <atomic>
#include <mutex>

#include "service/frame/device.h"

namespace talvex::test {

extern const DeviceTexts kTestDeviceTexts;

class TestDevice final : public CDevice {
  public:
    explicit TestDevice(const DeviceTexts& texts = kTestDeviceTexts);
    ~TestDevice() override;

    std::int32_t ComPort() const { return m_ComPort; }
    const std::string& DeviceName() const { return m_DeviceName; }
    std::int32_t LastErrorResponse() const { return m_LastErrorResponse; }
    int EnableCalls() const { return m_EnableCalls; }

  protected:
    bool ConfigureDevice(const RegistryValues& values) override;
    std::int32_t DeviceEnable(bool enable) override;
    void ProcessEvent(OposEvent& event) override;
    void OnFireErrorEvent(std::uintptr_t wParam, std::intptr_t lParam) override;

  private:
    std::mutex m_EnableLock;
    std::mutex m_PendingLock;
    OposEvent m_PendingError;
    std::atomic<std::int32_t> m_LastErrorResponse{-1};
    std::atomic<int> m_EnableCalls{0};
};

}  // namespace talvex::test
