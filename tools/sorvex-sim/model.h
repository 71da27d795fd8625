// A simulated device's behaviour: pure logic, bytes in and bytes out. The simulator calls a
// model with what the host sent and with the commands read from standard input, one at a time
// (never concurrently), and the model answers through its Host. Models never touch a file
// descriptor, so tests drive them directly with bytes.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sorvex::sim {

class JsonLog;

// What a model may do towards the host and the log.
class Host {
  public:
    virtual ~Host() = default;
    // Sends bytes (a serial stream) or one input report (HID) to the host.
    virtual void Send(std::string_view bytes) = 0;
    // Notes something the device saw, for the tests ("command" events and the like).
    virtual void Note(std::string_view event, std::string_view detail) = 0;
    // Monotonic time, for models that behave over time (a scale settling).
    virtual std::chrono::steady_clock::time_point Now() const = 0;
};

class DeviceModel {
  public:
    virtual ~DeviceModel() = default;
    // Bytes from the host: a chunk of the stream (serial) or one output report (HID).
    virtual void OnHostData(std::string_view bytes, Host& host) = 0;
    // A command line from standard input, split into words, that the simulator itself does not
    // handle. Returns false with a message in `error` when the command is unknown or malformed.
    virtual bool OnCommand(const std::vector<std::string>& words, Host& host,
                           std::string& error) = 0;
    // One line per command the model understands, for --help.
    virtual std::vector<std::string> CommandHelp() const { return {}; }
};

// What a model needs from the simulator's command line.
struct ModelOptions {
    std::map<std::string, std::string> values;  // --set key=value pairs
    std::string Get(const std::string& key, const std::string& fallback) const {
        auto it = values.find(key);
        return it == values.end() ? fallback : it->second;
    }
};

struct ModelInfo {
    std::string name;         // "raw", "scanner-rs232", ...
    std::string description;  // one line for --list-models
    // The transport it expects unless --transport says otherwise: "pty", "rfc2217" or "hid".
    std::string defaultTransport;
    // For HID models: the usage and usage page to publish.
    unsigned usagePage = 0;
    unsigned usage = 0;
    // Set for models whose port reports itself as a USB virtual COM port.
    bool usbVirtualPort = false;
    std::function<std::unique_ptr<DeviceModel>(const ModelOptions&)> create;
    // For HID models: the vendor id to publish when --vendor-id does not give one (0: none).
    std::uint16_t vendorId = 0;
};

// Every model the simulator knows. Models register themselves with a static ModelRegistration.
const std::vector<ModelInfo>& Models();
const ModelInfo* FindModel(std::string_view name);

struct ModelRegistration {
    explicit ModelRegistration(ModelInfo info);
};

}  // namespace sorvex::sim
