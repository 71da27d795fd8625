// A complete small point-of-sale lane on the Sorvex OPOS control objects: opens a scanner
// (and, when named, a scale), claims and enables them, prints every label and weight, and
// stops after a number of labels. Build it with
//   c++ -std=c++20 pos_lane.cpp $(pkg-config --cflags --libs sorvex-opos) -o pos_lane
// and run it as `pos_lane SCANNER_PROFILE [SCALE_PROFILE] [LABELS]`.
#include <sorvex/opos.h>

#include <cstdio>
#include <cstdlib>
#include <string>

using namespace sorvex::opos;

namespace {

// Prints what failed, with the control object's own words when it has them.
bool Check(OposControl& device, const char* step, std::int32_t rc) {
    if (rc == OPOS_SUCCESS) {
        return true;
    }
    std::fprintf(stderr, "pos_lane: %s failed: %d %.*s", step, rc,
                 static_cast<int>(ResultName(rc).size()), ResultName(rc).data());
    if (std::string(step) == "Open") {
        std::fprintf(stderr, " (OpenResult %d)", device.OpenResult());
    }
    if (!device.ErrorDetail().empty()) {
        std::fprintf(stderr, ": %s", device.ErrorDetail().c_str());
    }
    std::fprintf(stderr, "\n");
    return false;
}

// Open, claim, enable: the steps every OPOS device goes through before it delivers data.
bool Start(OposControl& device, const char* profile) {
    if (!Check(device, "Open", device.Open(profile)) ||
        !Check(device, "ClaimDevice", device.ClaimDevice(1000))) {
        return false;
    }
    device.SetDeviceEnabled(true);
    return Check(device, "DeviceEnabled", device.ResultCode());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::string(argv[1]) == "--help") {
        std::printf("Usage: pos_lane SCANNER_PROFILE [SCALE_PROFILE] [LABELS]\n");
        return argc < 2 ? 2 : 0;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // one line at a time, also into a pipe
    const char* scaleProfile = argc > 2 && std::string(argv[2]) != "-" ? argv[2] : nullptr;
    const int wanted = argc > 3 ? std::atoi(argv[3]) : 1;

    // The control objects belong to this thread; their events arrive here while it waits in
    // WaitUntil / WaitForEvents.
    OposScanner scanner;
    OposScale scale;
    int labels = 0;
    std::int32_t shownWeight = -1;

    scanner.SetDataEventHandler([&](std::int32_t) {
        const std::string label = scanner.ScanDataLabel();
        std::printf("label %s (type %d)\n", label.c_str(), scanner.ScanDataType());
        ++labels;
        scanner.SetDataEventEnabled(true);  // one DataEvent per setting: ask for the next
    });
    scale.SetDataEventHandler([&](std::int32_t weight) {
        if (weight != shownWeight) {  // the scale is read continuously: show changes only
            std::printf("weight %d.%03d %s\n", weight / 1000, weight % 1000,
                        scale.WeightUnit() == SCAL_WU_POUND ? "lb" : "kg");
            shownWeight = weight;
        }
        scale.SetDataEventEnabled(true);
        std::int32_t ignored = 0;
        scale.ReadWeight(ignored, OPOS_FOREVER);  // asynchronous: the next weight
    });
    scale.SetErrorEventHandler(
        [&](std::int32_t rc, std::int32_t, std::int32_t, std::int32_t& response) {
            std::printf("scale error %d\n", rc);
            response = OPOS_ER_CLEAR;
        });

    if (!Start(scanner, argv[1])) {
        return 1;
    }
    scanner.SetDecodeData(true);
    scanner.SetDataEventEnabled(true);

    if (scaleProfile != nullptr) {
        if (!Start(scale, scaleProfile)) {
            return 1;
        }
        scale.SetAsyncMode(true);
        scale.SetDataEventEnabled(true);
        std::int32_t ignored = 0;
        if (!Check(scale, "ReadWeight", scale.ReadWeight(ignored, OPOS_FOREVER))) {
            return 1;
        }
    }
    std::printf("ready\n");

    // Serve events until enough labels came (the handlers run inside this call).
    WaitUntil([&] { return labels >= wanted; }, OPOS_FOREVER);

    // Close releases and disables; the destructors would do it as well.
    scale.Close();
    scanner.Close();
    return 0;
}
