// sorvex-sim: serves a simulated scanner, scale or scanner-scale on a pty, on an RFC 2217 server
// on loopback, or as a simulated USB HID device, maps serial endpoints into the device namespace
// of the state root, takes commands on standard input and logs everything as JSON lines on
// standard output. The command language is in docs/simulator.md.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry/registry.h"
#include "tools/sorvex-sim/json_log.h"
#include "tools/sorvex-sim/model.h"
#include "tools/sorvex-sim/transport.h"

namespace sorvex::sim {
namespace {

constexpr const char* kSerialComm = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

const char* kUsage =
    "Usage: sorvex-sim [options]\n"
    "Serves one simulated device and drives it from commands on standard input.\n"
    "\n"
    "Options:\n"
    "  --model NAME          device model (default raw); --list-models shows them\n"
    "  --transport KIND      pty, rfc2217 or hid (default: the model's)\n"
    "  --port COMn           map the serial endpoint as COMn in HKLM\\"
    "HARDWARE\\DEVICEMAP\\SERIALCOMM\n"
    "  --usb-vcp             the RFC 2217 port ignores the 300-baud request, as a USB virtual\n"
    "                        COM port does\n"
    "  --hid-name NAME       name of the simulated HID device (default sorvex-sim)\n"
    "  --usage N             HID top-level usage (default: the model's), e.g. 0x4A00\n"
    "  --usage-page N        HID usage page (default 0xFF45)\n"
    "  --vendor-id N         HID vendor id (default: the model's)\n"
    "  --product-id N        HID product id (default 0x0001)\n"
    "  --set KEY=VALUE       a model option (see docs/simulator.md)\n"
    "  --baud N              pace what a serial device sends as a line of N baud would\n"
    "                        (10 bits a byte); default: as fast as the transport goes\n"
    "  --linger              keep serving after standard input ends, until SIGINT or SIGTERM\n"
    "  --list-models         list the device models and exit\n"
    "  --help                this text\n"
    "\n"
    "Commands (one per line on standard input):\n"
    "  raw HEX...            send these bytes (HID: one input report)\n"
    "  unplug | replug       take the device away and bring it back\n"
    "  sleep MS              pause before the next command\n"
    "  quit                  end the simulator\n";

struct Options {
    std::string model = "raw";
    std::string transport;
    int port = 0;
    bool usbVcp = false;
    bool linger = false;
    unsigned baud = 0;
    HidDeviceOptions hid;
    bool usageGiven = false;
    bool vendorIdGiven = false;
    ModelOptions modelOptions;
};

[[noreturn]] void Fail(const std::string& message) {
    std::cerr << "sorvex-sim: " << message << "\n";
    std::exit(2);
}

unsigned ParseNumber(const std::string& option, const std::string& text, unsigned max) {
    try {
        std::size_t used = 0;
        unsigned long value = std::stoul(text, &used, 0);
        if (used != text.size() || value > max) {
            throw std::out_of_range(text);
        }
        return static_cast<unsigned>(value);
    } catch (const std::exception&) {
        Fail(option + ": not a number from 0 to " + std::to_string(max) + ": " + text);
    }
}

Options ParseArguments(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                Fail(arg + " needs a value");
            }
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            std::exit(0);
        } else if (arg == "--list-models") {
            for (const ModelInfo& m : Models()) {
                std::cout << m.name << "  (" << m.defaultTransport << ")  " << m.description
                          << "\n";
            }
            std::exit(0);
        } else if (arg == "--model") {
            o.model = value();
        } else if (arg == "--transport") {
            o.transport = value();
            if (o.transport != "pty" && o.transport != "rfc2217" && o.transport != "hid") {
                Fail("--transport must be pty, rfc2217 or hid");
            }
        } else if (arg == "--port") {
            std::string port = value();
            if (port.size() < 4 ||
                (port.compare(0, 3, "COM") != 0 && port.compare(0, 3, "com") != 0)) {
                Fail("--port needs a name like COM3");
            }
            o.port = static_cast<int>(ParseNumber("--port", port.substr(3), 255));
            if (o.port == 0) {
                Fail("--port: COM0 is no port");
            }
        } else if (arg == "--usb-vcp") {
            o.usbVcp = true;
        } else if (arg == "--baud") {
            o.baud = ParseNumber(arg, value(), 4000000);
        } else if (arg == "--linger") {
            o.linger = true;
        } else if (arg == "--hid-name") {
            o.hid.name = value();
        } else if (arg == "--usage") {
            o.hid.usage = static_cast<std::uint16_t>(ParseNumber(arg, value(), 0xFFFF));
            o.usageGiven = true;
        } else if (arg == "--usage-page") {
            o.hid.usagePage = static_cast<std::uint16_t>(ParseNumber(arg, value(), 0xFFFF));
        } else if (arg == "--vendor-id") {
            o.hid.vendorId = static_cast<std::uint16_t>(ParseNumber(arg, value(), 0xFFFF));
            o.vendorIdGiven = true;
        } else if (arg == "--product-id") {
            o.hid.productId = static_cast<std::uint16_t>(ParseNumber(arg, value(), 0xFFFF));
        } else if (arg == "--set") {
            std::string kv = value();
            auto eq = kv.find('=');
            if (eq == std::string::npos || eq == 0) {
                Fail("--set needs KEY=VALUE");
            }
            o.modelOptions.values[kv.substr(0, eq)] = kv.substr(eq + 1);
        } else {
            Fail("unknown option " + arg + " (see --help)");
        }
    }
    return o;
}

std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) {
        words.push_back(w);
    }
    return words;
}

class Simulator final : public Host {
  public:
    Simulator(const Options& options, const ModelInfo& info)
        : m_Options(options), m_Model(info.create(options.modelOptions)) {
        std::string kind = options.transport.empty() ? info.defaultTransport : options.transport;
        if (kind == "pty") {
            m_Transport = MakePtyTransport(m_Log);
        } else if (kind == "rfc2217") {
            m_Transport = MakeRfc2217Transport(m_Log, options.usbVcp || info.usbVirtualPort);
        } else {
            HidDeviceOptions hid = options.hid;
            if (!options.vendorIdGiven && info.vendorId != 0) {
                hid.vendorId = info.vendorId;
            }
            if (!options.usageGiven) {
                hid.usage = static_cast<std::uint16_t>(info.usage);
                if (info.usagePage != 0) {
                    hid.usagePage = static_cast<std::uint16_t>(info.usagePage);
                }
            }
            m_Transport = MakeHidTransport(m_Log, hid);
        }
        if (m_Transport->ReportBased() && options.port != 0) {
            Fail("--port maps serial endpoints; a HID device has none");
        }
    }

    void Start() {
        m_Transport->Start([this](std::string_view bytes) {
            std::lock_guard<std::mutex> lock(m_ModelLock);
            m_Log.Bytes("received", bytes);
            m_Model->OnHostData(bytes, *this);
        });
        MapPort();
        std::vector<JsonLog::Field> fields = {{"model", JsonLog::Text(m_Options.model)},
                                              {"transport", JsonLog::Text(m_Transport->Kind())},
                                              {"endpoint", JsonLog::Text(m_Transport->Endpoint())}};
        if (m_Options.port != 0) {
            fields.push_back({"port", JsonLog::Text("COM" + std::to_string(m_Options.port))});
        }
        m_Log.Event("ready", fields);
    }

    // Handles one command line; false when the simulator should end.
    bool Command(const std::string& line) {
        std::vector<std::string> words = Words(line);
        if (words.empty() || words.front()[0] == '#') {
            return true;
        }
        const std::string& verb = words.front();
        if (verb == "quit" || verb == "exit") {
            return false;
        }
        if (verb == "sleep") {
            if (words.size() != 2) {
                m_Log.Error("sleep needs milliseconds");
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(words[1].c_str())));
            return true;
        }
        std::lock_guard<std::mutex> lock(m_ModelLock);
        if (verb == "raw") {
            std::string bytes;
            std::string hex = line.substr(line.find("raw") + 3);
            if (!ParseHex(hex, bytes) || bytes.empty()) {
                m_Log.Error("raw needs hex bytes, e.g. raw 02 41 03");
            } else {
                Send(bytes);
            }
        } else if (verb == "unplug") {
            m_Transport->Unplug();
            m_Log.Event("unplugged");
        } else if (verb == "replug") {
            m_Transport->Replug();
            MapPort();
            m_Log.Event("replugged", {{"endpoint", JsonLog::Text(m_Transport->Endpoint())}});
        } else {
            std::string error;
            if (!m_Model->OnCommand(words, *this, error)) {
                m_Log.Error(error);
            }
        }
        return true;
    }

    void Stop() {
        UnmapPort();
        m_Transport->Unplug();
        m_Log.Event("exit");
    }

    // Host
    void Send(std::string_view bytes) override {
        if (m_Options.baud != 0 && !m_Transport->ReportBased()) {
            // The time the bytes take on the wire, so a host that polls is paced as by a device.
            std::this_thread::sleep_for(std::chrono::microseconds(
                static_cast<long long>(bytes.size()) * 10'000'000LL / m_Options.baud));
        }
        m_Log.Bytes("sent", bytes);
        if (!m_Transport->Send(bytes)) {
            m_Log.Error("no host took the data");
        }
    }
    void Note(std::string_view event, std::string_view detail) override {
        m_Log.Event(event, {{"detail", JsonLog::Text(detail)}});
    }
    std::chrono::steady_clock::time_point Now() const override {
        return std::chrono::steady_clock::now();
    }

  private:
    std::string PortName() const { return "COM" + std::to_string(m_Options.port); }

    void MapPort() {
        if (m_Options.port == 0) {
            return;
        }
        registry::Key key;
        registry::Status s = registry::Key::Create(registry::Hive::LocalMachine, kSerialComm, key);
        if (s == registry::Status::Ok) {
            s = key.SetString(PortName(), m_Transport->Endpoint());
        }
        if (s != registry::Status::Ok) {
            Fail("cannot map " + PortName() + " in HKLM\\" + kSerialComm + ": " +
                 std::string(registry::StatusText(s)));
        }
        m_Mapped = m_Transport->Endpoint();
    }

    void UnmapPort() {
        if (m_Mapped.empty()) {
            return;
        }
        registry::Key key;
        registry::Value v;
        if (registry::Key::Open(registry::Hive::LocalMachine, kSerialComm, registry::kReadWrite,
                                key) == registry::Status::Ok &&
            key.Get(PortName(), v) == registry::Status::Ok && v.data == m_Mapped) {
            key.DeleteValue(PortName());
        }
        m_Mapped.clear();
    }

    const Options& m_Options;
    JsonLog m_Log;
    std::mutex m_ModelLock;  // one call into the model at a time
    std::unique_ptr<DeviceModel> m_Model;
    std::unique_ptr<Transport> m_Transport;
    std::string m_Mapped;
};

int Run(int argc, char** argv) {
    Options options = ParseArguments(argc, argv);
    const ModelInfo* info = FindModel(options.model);
    if (info == nullptr) {
        Fail("unknown model " + options.model + " (see --list-models)");
    }

    // SIGINT and SIGTERM end the simulator cleanly from a thread of their own.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<Simulator> created;
    try {
        created = std::make_unique<Simulator>(options, *info);
        created->Start();
    } catch (const std::exception& e) {
        Fail(std::string("cannot start: ") + e.what());
    }
    Simulator& simulator = *created;
    std::thread([&simulator, stopSignals] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        simulator.Stop();
        std::_Exit(0);
    }).detach();

    for (std::string line; std::getline(std::cin, line);) {
        if (!simulator.Command(line)) {
            simulator.Stop();
            return 0;
        }
    }
    if (options.linger) {
        for (;;) {
            pause();
        }
    }
    simulator.Stop();
    return 0;
}

}  // namespace
}  // namespace sorvex::sim

int main(int argc, char** argv) {
    return sorvex::sim::Run(argc, argv);
}
