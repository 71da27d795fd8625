// The scale of a single-cable scanner-scale alone on a serial port: 7-byte commands framed
// F8 ... F1 in, replies framed F8 ... F1 out (scale_behaviour.h).
#include "tools/sorvex-sim/models/scale_behaviour.h"

namespace sorvex::sim {

namespace {

class ScaleSingleCableModel final : public DeviceModel {
  public:
    explicit ScaleSingleCableModel(const ModelOptions& options) : m_Scale(options) {}

    void OnHostData(std::string_view bytes, Host& host) override {
        m_Commands.Feed(
            bytes, [&](std::string_view frame) { m_Scale.OnFrame(frame, host); },
            [](std::string_view) {});
    }

    bool OnCommand(const std::vector<std::string>& words, Host& host, std::string& error) override {
        bool handled = false;
        bool ok = m_Scale.Behaviour().OnCommand(words, host, error, handled);
        if (!handled) {
            error = "unknown command \"" + words.front() + "\"";
        }
        return ok;
    }

    std::vector<std::string> CommandHelp() const override { return ScaleBehaviour::CommandHelp(); }

  private:
    SerialScaleCommands m_Commands;
    SerialScale m_Scale;
};

const ModelRegistration kScaleSingleCable(
    {"scale-single-cable", "the scale of a single-cable scanner-scale (F8 ... F1 frames)", "pty", 0,
     0, false,
     [](const ModelOptions& options) { return std::make_unique<ScaleSingleCableModel>(options); }});

}  // namespace

}  // namespace sorvex::sim
