// sorvex-pos: a small point-of-sale client on the Sorvex OPOS control objects (sorvex/opos.h,
// nothing else). Opens scanner and scale profiles, claims and enables the devices and prints
// every event and every step's result as one JSON object per line; also device information,
// statistics, DirectIO and CheckHealth. Command reference: docs/sorvex-pos.md.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <sorvex/opos.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tools/sorvex-pos/json_line.h"

namespace {

using namespace sorvex::opos;
using sorvex::pos::JsonLine;
using Clock = std::chrono::steady_clock;

constexpr char kUsage[] =
    "Usage: sorvex-pos scanner PROFILE [--decode] [--count N] [--timeout S] [--claim MS]\n"
    "       sorvex-pos scale PROFILE [--async] [--count N] [--timeout S] [--claim MS]\n"
    "                              [--interval MS]\n"
    "       sorvex-pos lane SCANNER_PROFILE SCALE_PROFILE [--count N] [--timeout S]\n"
    "                              [--claim MS] [--interval MS]\n"
    "       sorvex-pos info PROFILE [--scanner | --scale]\n"
    "       sorvex-pos stats PROFILE [NAMES] [--scanner | --scale] [--claim MS]\n"
    "       sorvex-pos directio PROFILE COMMAND [DATA] [STRING] [--scanner | --scale] [--claim "
    "MS]\n"
    "       sorvex-pos health PROFILE LEVEL [--scanner | --scale] [--claim MS]\n"
    "\n"
    "A point-of-sale client on the OPOS control objects. Opens the profile (HKEY_LOCAL_MACHINE\n"
    "SOFTWARE\\OLEforRetail\\ServiceOPOS\\<Scanner|Scale>\\PROFILE of $SORVEX_ROOT), claims and\n"
    "enables the device and prints every step's result and every event as one JSON object per\n"
    "line on standard output.\n"
    "\n"
    "  scanner    labels as DataEvents (ScanData, ScanDataLabel, ScanDataType)\n"
    "  scale      weights, read synchronously, or with --async as DataEvents read continuously\n"
    "  lane       the scanner and the scale of one checkout lane in one process (as the two\n"
    "             halves of a single-cable scanner-scale must be): labels decoded, weights\n"
    "             read asynchronously and continuously\n"
    "  info       device, service object and control object descriptions and capabilities\n"
    "  stats      RetrieveStatistics (NAMES: the statistics wanted, default all)\n"
    "  directio   DirectIO(COMMAND, DATA, STRING) and what the device answers\n"
    "  health     CheckHealth(LEVEL: 1 internal, 2 external, 3 interactive)\n"
    "\n"
    "  --decode         DecodeData on (scanner; always on in lane)\n"
    "  --async          read weights asynchronously (scale)\n"
    "  --count N        end after N data events (in lane: N from each device)\n"
    "  --timeout S      fail when the data events have not all come within S seconds\n"
    "  --claim MS       ClaimDevice time-out in milliseconds (default 1000, -1 waits forever)\n"
    "  --interval MS    pause between two weight reads (default 350)\n"
    "  --scanner, --scale   the profile's device class for info, stats, directio and health\n"
    "                   (default: a Scanner profile of that name, else a Scale profile)\n"
    "  -h, --help       print this help\n"
    "\n"
    "Without --count the data commands run until SIGINT or SIGTERM, which close the devices.\n"
    "Exit status: 0 on success; 1 when a step fails, data events do not come in time or the\n"
    "run is interrupted before --count was reached (one line on standard error names the\n"
    "step, its result code and name); 2 for a bad command line.\n";

// --- output ---

void Print(const JsonLine& line) {
    const std::string text = line.str() + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

JsonLine StepLine(const char* device, const char* step, std::int32_t rc) {
    JsonLine line;
    line.Add("device", device).Add("step", step).Add("ResultCode", rc);
    line.Add("Result", ResultName(rc));
    return line;
}

std::string CodeText(std::int32_t code) {
    std::string text = std::to_string(code);
    const std::string_view name = ResultName(code);
    if (!name.empty()) {
        text += " " + std::string(name);
    }
    return text;
}

// --- signals: a self-pipe the main loop polls beside the control objects' event descriptor ---

int g_SignalPipe[2] = {-1, -1};
volatile sig_atomic_t g_Signal = 0;

void OnSignal(int signal) {
    g_Signal = signal;
    const char byte = 1;
    (void)!::write(g_SignalPipe[1], &byte, 1);
}

bool InstallSignals() {
    if (::pipe2(g_SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    return true;
}

// --- the command line ---

enum class ProfileClass { Any, Scanner, Scale };

struct Options {
    std::string command;
    std::vector<std::string> args;
    bool decode = false;
    bool async = false;
    std::optional<int> count;
    std::optional<double> timeout;  // seconds
    int claimMs = 1000;
    int intervalMs = 350;
    ProfileClass profileClass = ProfileClass::Any;
    bool help = false;
};

struct UsageError {
    std::string message;
};

bool ParseInt(const std::string& text, long low, long high, int& out) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < low || value > high) {
        return false;
    }
    out = static_cast<int>(value);
    return true;
}

Options Parse(int argc, char** argv) {
    Options o;
    struct Rule {
        const char* command;
        std::size_t minArgs, maxArgs;
        std::set<std::string> options;
    };
    const Rule rules[] = {
        {"scanner", 1, 1, {"--decode", "--count", "--timeout", "--claim"}},
        {"scale", 1, 1, {"--async", "--count", "--timeout", "--claim", "--interval"}},
        {"lane", 2, 2, {"--count", "--timeout", "--claim", "--interval"}},
        {"info", 1, 1, {"--scanner", "--scale"}},
        {"stats", 1, 2, {"--scanner", "--scale", "--claim"}},
        {"directio", 2, 4, {"--scanner", "--scale", "--claim"}},
        {"health", 2, 2, {"--scanner", "--scale", "--claim"}},
    };
    std::vector<std::string> words(argv + 1, argv + argc);
    for (const std::string& w : words) {
        if (w == "-h" || w == "--help") {
            o.help = true;
            return o;
        }
    }
    if (words.empty()) {
        throw UsageError{"no command given"};
    }
    o.command = words[0];
    const Rule* rule = nullptr;
    for (const Rule& r : rules) {
        if (o.command == r.command) {
            rule = &r;
        }
    }
    if (rule == nullptr) {
        throw UsageError{"unknown command \"" + o.command + "\""};
    }
    for (std::size_t i = 1; i < words.size(); ++i) {
        std::string w = words[i];
        if (w.size() < 3 || w.compare(0, 2, "--") != 0) {
            o.args.push_back(w);
            continue;
        }
        std::optional<std::string> value;
        if (const std::size_t eq = w.find('='); eq != std::string::npos) {
            value = w.substr(eq + 1);
            w.resize(eq);
        }
        if (rule->options.count(w) == 0) {
            throw UsageError{"the command " + o.command + " takes no option " + w};
        }
        auto take = [&]() -> std::string {
            if (value) {
                return *value;
            }
            if (i + 1 >= words.size()) {
                throw UsageError{w + " needs a value"};
            }
            return words[++i];
        };
        if (w == "--decode") {
            o.decode = true;
        } else if (w == "--async") {
            o.async = true;
        } else if (w == "--scanner") {
            o.profileClass = ProfileClass::Scanner;
        } else if (w == "--scale") {
            o.profileClass = ProfileClass::Scale;
        } else if (w == "--count") {
            int n = 0;
            const std::string v = take();
            if (!ParseInt(v, 1, 1000000000, n)) {
                throw UsageError{"--count needs a positive whole number, not \"" + v + "\""};
            }
            o.count = n;
        } else if (w == "--timeout") {
            const std::string v = take();
            char* end = nullptr;
            const double s = std::strtod(v.c_str(), &end);
            if (v.empty() || *end != '\0' || !(s > 0) || s > 1e7) {
                throw UsageError{"--timeout needs a positive number of seconds, not \"" + v + "\""};
            }
            o.timeout = s;
        } else if (w == "--claim") {
            const std::string v = take();
            if (!ParseInt(v, -1, 2147483647, o.claimMs)) {
                throw UsageError{"--claim needs milliseconds (-1 or more), not \"" + v + "\""};
            }
        } else if (w == "--interval") {
            const std::string v = take();
            if (!ParseInt(v, 0, 86400000, o.intervalMs)) {
                throw UsageError{"--interval needs milliseconds (0 or more), not \"" + v + "\""};
            }
        }
    }
    if (o.args.size() < rule->minArgs || o.args.size() > rule->maxArgs) {
        throw UsageError{"wrong number of arguments for " + o.command};
    }
    return o;
}

// --- a run: steps, failures, the devices it opened ---

struct Device {
    const char* name;  // "scanner" / "scale"
    OposControl* control;
    int dataEvents = 0;
    bool open = false;
};

class Run {
  public:
    // Prints the step's line (with `extra` fields after the result); false, with the failure
    // kept, when rc is not OPOS_SUCCESS.
    bool Step(Device& d, const char* step, std::int32_t rc, const JsonLine& extra = {}) {
        Print(StepLine(d.name, step, rc).Append(extra));
        if (rc != OPOS_SUCCESS) {
            const std::string detail = d.control->ErrorDetail();
            Fail(std::string(step) + " failed: " + CodeText(rc) +
                 (detail.empty() ? "" : " (" + detail + ")"));
            return false;
        }
        return true;
    }
    // A property set: its result is the ResultCode right after it.
    bool Set(Device& d, const char* property) { return Step(d, property, d.control->ResultCode()); }

    void Fail(std::string message) {
        if (m_Failure.empty()) {
            m_Failure = std::move(message);
        }
    }
    bool Failed() const { return !m_Failure.empty(); }

    // Closes what is open (printing each Close), reports the failure, answers the exit status.
    int Finish(const std::vector<Device*>& devices) {
        for (Device* d : devices) {
            if (d->open) {
                d->open = false;
                const std::int32_t rc = d->control->Close();
                Print(StepLine(d->name, "Close", rc));
            }
        }
        if (!m_Failure.empty()) {
            std::fprintf(stderr, "sorvex-pos: %s\n", m_Failure.c_str());
            return 1;
        }
        return 0;
    }

  private:
    std::string m_Failure;
};

// Open with its result and open result; the device counts as open from here.
bool OpenStep(Run& run, Device& d, const std::string& profile) {
    const std::int32_t rc = d.control->Open(profile);
    JsonLine extra;
    extra.Add("Profile", profile).Add("OpenResult", d.control->OpenResult());
    Print(StepLine(d.name, "Open", rc).Append(extra));
    if (rc != OPOS_SUCCESS) {
        const std::int32_t why = d.control->OpenResult();
        const std::string detail = d.control->ErrorDetail();
        run.Fail("Open failed: " + CodeText(rc) + " (OpenResult " + CodeText(why) +
                 (detail.empty() ? "" : ": " + detail) + ")");
        return false;
    }
    d.open = true;
    return true;
}

// Open, ClaimDevice, DeviceEnabled.
bool StartDevice(Run& run, Device& d, const std::string& profile, int claimMs) {
    if (!OpenStep(run, d, profile) ||
        !run.Step(d, "ClaimDevice", d.control->ClaimDevice(claimMs))) {
        return false;
    }
    d.control->SetDeviceEnabled(true);
    return run.Set(d, "DeviceEnabled");
}

// --- the data commands: scanner, scale, lane ---

struct DataRun {
    OposScanner* scanner = nullptr;
    OposScale* scale = nullptr;
    Device scannerDevice{"scanner", nullptr};
    Device scaleDevice{"scale", nullptr};
    bool scaleAsync = true;
    std::optional<Clock::time_point> nextRead;  // the next asynchronous or synchronous read
};

bool Reached(const Options& o, const Device& d) {
    return o.count && d.dataEvents >= *o.count;
}

int RunData(const Options& o, const std::string* scannerProfile, const std::string* scaleProfile) {
    Run run;
    OposScanner scanner;
    OposScale scale;
    DataRun r;
    r.scannerDevice.control = &scanner;
    r.scaleDevice.control = &scale;
    r.scaleAsync = o.command == "lane" || o.async;
    std::vector<Device*> devices;
    if (scannerProfile != nullptr) {
        r.scanner = &scanner;
        devices.push_back(&r.scannerDevice);
    }
    if (scaleProfile != nullptr) {
        r.scale = &scale;
        devices.push_back(&r.scaleDevice);
    }
    const auto readAgain = [&] {
        r.nextRead = Clock::now() + std::chrono::milliseconds(o.intervalMs);
    };

    scanner.SetDataEventHandler([&](std::int32_t) {
        Device& d = r.scannerDevice;
        JsonLine line;
        line.Add("device", d.name).Add("event", "DataEvent");
        line.Add("ScanData", scanner.ScanData()).Add("ScanDataLabel", scanner.ScanDataLabel());
        line.Add("ScanDataType", scanner.ScanDataType());
        Print(line);
        ++d.dataEvents;
        if (!Reached(o, d)) {
            scanner.SetDataEventEnabled(true);
            if (scanner.ResultCode() != OPOS_SUCCESS) {
                run.Set(d, "DataEventEnabled");
            }
        }
    });
    scale.SetDataEventHandler([&](std::int32_t weight) {
        Device& d = r.scaleDevice;
        JsonLine line;
        line.Add("device", d.name).Add("event", "DataEvent").Add("Weight", weight);
        line.Add("WeightUnit", scale.WeightUnit());
        Print(line);
        ++d.dataEvents;
        if (!Reached(o, d)) {
            readAgain();
        }
    });
    for (Device* d : devices) {
        OposControl* control = d->control;
        control->SetErrorEventHandler([d, &r, &o, &readAgain](std::int32_t rc, std::int32_t rce,
                                                              std::int32_t locus,
                                                              std::int32_t& response) {
            JsonLine line;
            line.Add("device", d->name).Add("event", "ErrorEvent").Add("ResultCode", rc);
            line.Add("Result", ResultName(rc)).Add("ResultCodeExtended", rce);
            line.Add("ErrorLocus", locus).Add("ErrorResponse", response);
            Print(line);
            if (d == &r.scaleDevice && r.scaleAsync && !Reached(o, *d)) {
                readAgain();  // the read ended; start the next one
            }
        });
    }

    // Set-up: every step printed, the first failure ends the run.
    bool ok = true;
    if (r.scanner != nullptr) {
        Device& d = r.scannerDevice;
        ok = StartDevice(run, d, *scannerProfile, o.claimMs);
        if (ok) {
            scanner.SetDecodeData(o.decode || o.command == "lane");
            ok = run.Set(d, "DecodeData");
        }
        if (ok) {
            scanner.SetDataEventEnabled(true);
            ok = run.Set(d, "DataEventEnabled");
        }
    }
    if (ok && r.scale != nullptr) {
        Device& d = r.scaleDevice;
        ok = StartDevice(run, d, *scaleProfile, o.claimMs);
        if (ok) {
            scale.SetAsyncMode(r.scaleAsync);
            ok = run.Set(d, "AsyncMode");
        }
        if (ok) {
            r.nextRead = Clock::now();
        }
    }

    // Serve events until the counts are reached, the time is up, a step fails or a signal
    // comes.
    const bool hasDeadline = o.timeout.has_value();
    const Clock::time_point deadline =
        Clock::now() +
        std::chrono::milliseconds(static_cast<long long>(std::ceil(o.timeout.value_or(0) * 1000)));
    auto allReached = [&] {
        for (Device* d : devices) {
            if (!Reached(o, *d)) {
                return false;
            }
        }
        return true;
    };
    while (ok && !run.Failed() && g_Signal == 0 && !allReached()) {
        const auto now = Clock::now();
        if (hasDeadline && now >= deadline) {
            std::string progress;
            for (Device* d : devices) {
                if (!Reached(o, *d)) {
                    JsonLine extra;
                    extra.Add("DataEvents", d->dataEvents);
                    if (o.count) {
                        extra.Add("Count", *o.count);
                    }
                    Print(StepLine(d->name, "DataEvent", OPOS_E_TIMEOUT).Append(extra));
                }
                progress += (progress.empty() ? "" : ", ") + std::to_string(d->dataEvents) +
                            (o.count ? " of " + std::to_string(*o.count) : std::string()) +
                            " from the " + d->name;
            }
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%g", *o.timeout);
            run.Fail("DataEvent failed: " + CodeText(OPOS_E_TIMEOUT) +
                     " (data events: " + progress + " within " + seconds + " s)");
            break;
        }
        if (r.scale != nullptr && r.nextRead && now >= *r.nextRead && !Reached(o, r.scaleDevice)) {
            r.nextRead.reset();
            Device& d = r.scaleDevice;
            std::int32_t weight = 0;
            if (r.scaleAsync) {
                scale.SetDataEventEnabled(true);
                if (scale.ResultCode() != OPOS_SUCCESS) {
                    run.Set(d, "DataEventEnabled");
                    break;
                }
                const std::int32_t rc = scale.ReadWeight(weight, OPOS_FOREVER);
                if (rc != OPOS_SUCCESS) {
                    run.Step(d, "ReadWeight", rc);
                    break;
                }
            } else {
                // Synchronous: short reads, so that a signal or the deadline is seen in time.
                int slice = 1000;
                if (hasDeadline) {
                    const auto left =
                        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
                    slice = static_cast<int>(
                        std::max<long long>(1, std::min<long long>(1000, left.count())));
                }
                const std::int32_t rc = scale.ReadWeight(weight, slice);
                JsonLine extra;
                if (rc == OPOS_SUCCESS) {
                    extra.Add("Weight", weight).Add("WeightUnit", scale.WeightUnit());
                }
                if (rc != OPOS_SUCCESS && rc != OPOS_E_TIMEOUT) {
                    run.Step(d, "ReadWeight", rc, extra);
                    break;
                }
                Print(StepLine(d.name, "ReadWeight", rc).Append(extra));
                if (rc == OPOS_SUCCESS) {
                    ++d.dataEvents;
                }
                if (!Reached(o, d)) {
                    r.nextRead = Clock::now() +
                                 std::chrono::milliseconds(rc == OPOS_SUCCESS ? o.intervalMs : 0);
                }
            }
            continue;
        }
        // Wait for events, the signal pipe, the next read or the deadline.
        int wait = -1;
        auto limit = [&](Clock::time_point t) {
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - now).count();
            const int w =
                static_cast<int>(std::max<long long>(0, std::min<long long>(ms + 1, 86400000)));
            wait = wait < 0 ? w : std::min(wait, w);
        };
        if (hasDeadline) {
            limit(deadline);
        }
        if (r.nextRead) {
            limit(*r.nextRead);
        }
        pollfd fds[2] = {{EventFd(), POLLIN, 0}, {g_SignalPipe[0], POLLIN, 0}};
        if (::poll(fds, 2, wait) > 0 && (fds[0].revents & POLLIN) != 0) {
            DispatchEvents();
        }
    }
    if (g_Signal != 0 && !run.Failed() && o.count && !allReached()) {
        std::string progress;
        for (Device* d : devices) {
            progress += (progress.empty() ? "" : ", ") + std::to_string(d->dataEvents) + " of " +
                        std::to_string(*o.count) + " from the " + d->name;
        }
        run.Fail(std::string("interrupted by ") + (g_Signal == SIGINT ? "SIGINT" : "SIGTERM") +
                 " after data events: " + progress);
    }
    return run.Finish(devices);
}

// --- the one-shot commands: info, stats, directio, health ---

// Opens the profile as a scanner or a scale (by --scanner / --scale, else a Scanner profile of
// that name and, when there is none, a Scale profile).
struct OneShot {
    std::unique_ptr<OposScanner> scanner;
    std::unique_ptr<OposScale> scale;
    Device device{"scanner", nullptr};
};

bool OpenEither(Run& run, OneShot& s, const Options& o, const std::string& profile) {
    if (o.profileClass != ProfileClass::Scale) {
        s.scanner = std::make_unique<OposScanner>();
        if (o.profileClass == ProfileClass::Scanner) {
            s.device = Device{"scanner", s.scanner.get()};
            return OpenStep(run, s.device, profile);
        }
        const std::int32_t rc = s.scanner->Open(profile);
        if (rc != OPOS_E_NOEXIST || s.scanner->OpenResult() != OPOS_OR_REGBADNAME) {
            s.device = Device{"scanner", s.scanner.get()};
            JsonLine extra;
            extra.Add("Profile", profile).Add("OpenResult", s.scanner->OpenResult());
            Print(StepLine("scanner", "Open", rc).Append(extra));
            if (rc != OPOS_SUCCESS) {
                run.Fail("Open failed: " + CodeText(rc) + " (OpenResult " +
                         CodeText(s.scanner->OpenResult()) + ": " + s.scanner->ErrorDetail() + ")");
                return false;
            }
            s.device.open = true;
            return true;
        }
        s.scanner.reset();
    }
    s.scale = std::make_unique<OposScale>();
    s.device = Device{"scale", s.scale.get()};
    const bool opened = OpenStep(run, s.device, profile);
    if (!opened && o.profileClass == ProfileClass::Any &&
        s.scale->OpenResult() == OPOS_OR_REGBADNAME) {
        run = Run();
        run.Fail("Open failed: " + CodeText(OPOS_E_NOEXIST) + " (OpenResult " +
                 CodeText(OPOS_OR_REGBADNAME) + ": no profile \"" + profile +
                 "\" under HKEY_LOCAL_MACHINE\\SOFTWARE\\OLEforRetail\\ServiceOPOS\\Scanner or "
                 "\\Scale)");
    }
    return opened;
}

int RunOneShot(const Options& o) {
    Run run;
    OneShot s;
    const std::string& profile = o.args[0];
    if (!OpenEither(run, s, o, profile)) {
        return run.Finish({&s.device});
    }
    Device& d = s.device;
    OposControl& c = *d.control;
    if (o.command == "info") {
        JsonLine line;
        line.Add("device", d.name).Add("step", "Properties");
        line.Add("DeviceName", c.DeviceName()).Add("DeviceDescription", c.DeviceDescription());
        line.Add("ServiceObjectDescription", c.ServiceObjectDescription());
        line.Add("ServiceObjectVersion", c.ServiceObjectVersion());
        line.Add("ControlObjectDescription", c.ControlObjectDescription());
        line.Add("ControlObjectVersion", c.ControlObjectVersion());
        line.Add("State", c.State()).Add("CapPowerReporting", c.CapPowerReporting());
        line.Add("CapStatisticsReporting", c.CapStatisticsReporting());
        line.Add("CapUpdateStatistics", c.CapUpdateStatistics());
        if (s.scale) {
            OposScale& scale = *s.scale;
            line.Add("MaximumWeight", scale.MaximumWeight()).Add("WeightUnit", scale.WeightUnit());
            line.Add("CapDisplay", scale.CapDisplay())
                .Add("CapDisplayText", scale.CapDisplayText());
            line.Add("CapPriceCalculating", scale.CapPriceCalculating());
            line.Add("CapTareWeight", scale.CapTareWeight());
            line.Add("CapZeroScale", scale.CapZeroScale());
        }
        Print(line);
        return run.Finish({&d});
    }
    if (!run.Step(d, "ClaimDevice", c.ClaimDevice(o.claimMs))) {
        return run.Finish({&d});
    }
    c.SetDeviceEnabled(true);
    if (!run.Set(d, "DeviceEnabled")) {
        return run.Finish({&d});
    }
    if (o.command == "stats") {
        std::string statistics = o.args.size() > 1 ? o.args[1] : std::string();
        const std::int32_t rc = c.RetrieveStatistics(statistics);
        JsonLine extra;
        extra.Add("Statistics", statistics);
        run.Step(d, "RetrieveStatistics", rc, extra);
    } else if (o.command == "directio") {
        int command = 0;
        int data = 0;
        if (!ParseInt(o.args[1], -2147483648L, 2147483647L, command) ||
            (o.args.size() > 2 && !ParseInt(o.args[2], -2147483648L, 2147483647L, data))) {
            run.Fail("DirectIO: COMMAND and DATA must be whole numbers");
            return run.Finish({&d});
        }
        std::string text = o.args.size() > 3 ? o.args[3] : std::string();
        std::int32_t number = data;
        const std::int32_t rc = c.DirectIO(command, number, text);
        JsonLine extra;
        extra.Add("Command", command).Add("Data", number).Add("String", text);
        run.Step(d, "DirectIO", rc, extra);
    } else {
        int level = 0;
        if (!ParseInt(o.args[1], -2147483648L, 2147483647L, level)) {
            run.Fail("CheckHealth: LEVEL must be a whole number");
            return run.Finish({&d});
        }
        const std::int32_t rc = c.CheckHealth(level);
        JsonLine extra;
        extra.Add("Level", level).Add("CheckHealthText", c.CheckHealthText());
        run.Step(d, "CheckHealth", rc, extra);
    }
    return run.Finish({&d});
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    try {
        o = Parse(argc, argv);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "sorvex-pos: %s (see sorvex-pos --help)\n", e.message.c_str());
        return 2;
    }
    if (o.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (!InstallSignals()) {
        std::fprintf(stderr, "sorvex-pos: cannot create the signal pipe\n");
        return 1;
    }
    try {
        if (o.command == "scanner") {
            return RunData(o, &o.args[0], nullptr);
        }
        if (o.command == "scale") {
            return RunData(o, nullptr, &o.args[0]);
        }
        if (o.command == "lane") {
            return RunData(o, &o.args[0], &o.args[1]);
        }
        return RunOneShot(o);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "sorvex-pos: %s\n", e.what());
        return 1;
    }
}
