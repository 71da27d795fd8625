// A USB POS scale (HID usage 0x6E00): 6-byte output reports in (report id 0, command,
// argument, three zero bytes), input reports out (scale_behaviour.h).
#include "service/links/usb_device_info.h"
#include "tools/sorvex-sim/models/scale_behaviour.h"

namespace sorvex::sim {

namespace {

class ScaleUsbModel final : public DeviceModel {
  public:
    explicit ScaleUsbModel(const ModelOptions& options) : m_Behaviour(options) {}

    void OnHostData(std::string_view report, Host& host) override {
        if (report.size() < 3) {
            host.Note("command", "short report");
            return;
        }
        ScaleAnswer answer = m_Behaviour.OnHostCommand(static_cast<std::uint8_t>(report[1]),
                                                       static_cast<std::uint8_t>(report[2]), host);
        if (answer.kind != ScaleAnswer::None) {
            host.Send(UsbScaleReport(answer));
        }
    }

    bool OnCommand(const std::vector<std::string>& words, Host& host, std::string& error) override {
        bool handled = false;
        bool ok = m_Behaviour.OnCommand(words, host, error, handled);
        if (!handled) {
            error = "unknown command \"" + words.front() + "\"";
        }
        return ok;
    }

    std::vector<std::string> CommandHelp() const override { return ScaleBehaviour::CommandHelp(); }

  private:
    ScaleBehaviour m_Behaviour;
};

const ModelRegistration kScaleUsb({"scale-usb", "a USB POS scale (HID usage 0x6E00)", "hid", 0,
                                   0x6E00, false,
                                   [](const ModelOptions& options) {
                                       return std::make_unique<ScaleUsbModel>(options);
                                   },
                                   talvex::MakerVendorId});

}  // namespace

}  // namespace sorvex::sim
