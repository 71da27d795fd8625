// What the end-to-end tests and benchmarks share: the real libTalvexSO.so registered in the
// current state root, device profiles and COM port mappings written with the registry API,
// serving the control objects' events with a generous time-out, and a pty pair on which a test
// plays a serial device itself.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "sorvex/opos.h"
#include "tests/support/pty.h"

namespace sorvex::e2e {

using namespace std::chrono_literals;

// Generous bound for what should happen soon; only there to avoid hangs.
inline constexpr std::chrono::milliseconds kPatience = 20s;

// The path of build/lib/libTalvexSO.so.
std::string ServerLibrary();
// Registers the server into the current state root with `sorvex-regsvr /s` (or unregisters it
// with /u). Fails with the tool's standard error.
::testing::AssertionResult RegisterServer(bool unregister = false);
// Removes the registration of the server's type library (HKEY_CLASSES_ROOT TypeLib\{libid}, the
// libid read from the scanner class's TypeLib key), leaving the classes registered.
::testing::AssertionResult UnregisterTypeLibrary();

// Profile values, REG_SZ.
using Values = std::vector<std::pair<std::string, std::string>>;
// Writes HKLM "SOFTWARE\OLEforRetail\ServiceOPOS\<deviceClass>\<name>" afresh: its default value
// `progId` (not written when empty) and the values. Throws std::runtime_error naming the key.
void WriteProfile(const std::string& deviceClass, const std::string& name,
                  const std::string& progId, const Values& values);
// The profiles of the real service objects.
void WriteScannerProfile(const std::string& name, const Values& values);
void WriteScaleProfile(const std::string& name, const Values& values);
// A profile value as text; nullopt when it is missing.
std::optional<std::string> ProfileValue(const std::string& deviceClass, const std::string& name,
                                        const std::string& value);
// HKLM "HARDWARE\DEVICEMAP\SERIALCOMM" value "COM<n>" = target.
void MapComPort(int number, const std::string& target);
// A value of the maker's global key HKLM "SOFTWARE\OLEforRetail\ServiceInfo\Orvanta".
void SetGlobalValue(const std::string& name, const std::string& value);

// Serves the calling thread's control object events until `done` holds (true) or the patience
// ran out (false).
bool Serve(const std::function<bool()>& done, std::chrono::milliseconds patience = kPatience);

// Open, ClaimDevice (1 s), DeviceEnabled: each must succeed; the failure names the step, its
// result, the OpenResult and the control object's own words.
::testing::AssertionResult OpenClaimEnable(opos::OposControl& device, const std::string& profile);

// One label as the application's DataEvent handler saw it.
struct SeenLabel {
    std::string scanData;
    std::string scanDataLabel;
    std::int32_t scanDataType = 0;
    std::int32_t status = -1;
    std::thread::id thread;  // the thread that ran the handler
};

// A point-of-sale application's scanner: an OposScanner whose DataEvent handler records the
// label and asks for the next one (DataEventEnabled again), as applications do. Create, use
// and destroy it on one thread.
struct ScannerApp {
    ScannerApp();
    // OpenClaimEnable, then DecodeData and DataEventEnabled on.
    ::testing::AssertionResult Start(const std::string& profile);
    // Serves events until `count` labels have arrived in all.
    bool WaitForLabels(std::size_t count, std::chrono::milliseconds patience = kPatience);

    opos::OposScanner scanner;
    std::vector<SeenLabel> labels;
    std::size_t errorEvents = 0;
};

// Bytes as the simulator's hex words ("41 00 FF").
std::string HexWords(std::string_view bytes);

// A pseudo terminal whose master the test or benchmark plays the device on; the slave is what
// a COM port mapping names, set to raw mode for readers that are not a link.
class Pty : public test::Pty {
  public:
    Pty() : test::Pty(test::PtyLine::Raw) {}
};

}  // namespace sorvex::e2e
