// The raw device: sends what it is told ("raw" is handled by the simulator itself) and only logs
// what the host sends. For link tests and for talking to a host by hand.
#include "tools/sorvex-sim/model.h"

namespace sorvex::sim {

namespace {

class RawModel final : public DeviceModel {
  public:
    void OnHostData(std::string_view, Host&) override {}
    bool OnCommand(const std::vector<std::string>& words, Host&, std::string& error) override {
        error = "unknown command \"" + words.front() + "\"";
        return false;
    }
};

const ModelRegistration kRaw({"raw", "a device that sends the bytes it is given and logs the rest",
                              "pty", 0, 0, false,
                              [](const ModelOptions&) { return std::make_unique<RawModel>(); }});

}  // namespace

}  // namespace sorvex::sim
