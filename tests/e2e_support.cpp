#include "tests/e2e_support.h"

#include <cstdio>
#include <stdexcept>

#include "platform/registry/registry.h"
#include "sorvex/opos.h"
#include "tests/support/subprocess.h"
#include "tests/support/temp_root.h"

namespace sorvex::e2e {

namespace reg = sorvex::registry;

namespace {

constexpr char kProfileRoot[] = "SOFTWARE\\OLEforRetail\\ServiceOPOS\\";

std::optional<std::string> Read(reg::Hive hive, const std::string& path, const std::string& name) {
    reg::Key key;
    reg::Value value;
    if (reg::Key::Open(hive, path, reg::kRead, key) != reg::Status::Ok ||
        key.Get(name, value) != reg::Status::Ok) {
        return std::nullopt;
    }
    return value.data;
}

void SetString(reg::Hive hive, const std::string& path, const std::string& name,
               const std::string& text) {
    reg::Key key;
    reg::Status status = reg::Key::Create(hive, path, key);
    if (status == reg::Status::Ok) {
        status = key.SetString(name, text);
    }
    if (status != reg::Status::Ok) {
        throw std::runtime_error("cannot set \"" + name + "\" of " + path + ": " +
                                 std::string(reg::StatusText(status)));
    }
}

}  // namespace

std::string ServerLibrary() {
    return TALVEXSO_PATH;
}

::testing::AssertionResult RegisterServer(bool unregister) {
    std::vector<std::string> argv = {test::BinPath("sorvex-regsvr").string(), "/s"};
    if (unregister) {
        argv.push_back("/u");
    }
    argv.push_back(ServerLibrary());
    const test::RunResult r = test::Run(argv);
    if (r.exitCode != 0) {
        return ::testing::AssertionFailure()
               << "sorvex-regsvr " << (unregister ? "/u " : "") << ServerLibrary() << " ended with "
               << r.exitCode << ": " << r.err;
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult UnregisterTypeLibrary() {
    const std::optional<std::string> clsid =
        Read(reg::Hive::ClassesRoot, "Orvanta.Opos.Scanner\\CLSID", "");
    if (!clsid) {
        return ::testing::AssertionFailure() << "Orvanta.Opos.Scanner is not registered";
    }
    const std::optional<std::string> libid =
        Read(reg::Hive::ClassesRoot, "CLSID\\" + *clsid + "\\TypeLib", "");
    if (!libid) {
        return ::testing::AssertionFailure() << "CLSID\\" << *clsid << " names no type library";
    }
    const reg::Status status = reg::DeleteTree(reg::Hive::ClassesRoot, "TypeLib\\" + *libid);
    if (status != reg::Status::Ok) {
        return ::testing::AssertionFailure() << "cannot delete HKEY_CLASSES_ROOT\\TypeLib\\"
                                             << *libid << ": " << reg::StatusText(status);
    }
    return ::testing::AssertionSuccess();
}

void WriteProfile(const std::string& deviceClass, const std::string& name,
                  const std::string& progId, const Values& values) {
    const std::string path = kProfileRoot + deviceClass + "\\" + name;
    const reg::Status deleted = reg::DeleteTree(reg::Hive::LocalMachine, path);
    if (deleted != reg::Status::Ok && deleted != reg::Status::NotFound) {
        throw std::runtime_error("cannot delete " + path + ": " +
                                 std::string(reg::StatusText(deleted)));
    }
    reg::Key key;
    if (reg::Key::Create(reg::Hive::LocalMachine, path, key) != reg::Status::Ok) {
        throw std::runtime_error("cannot create " + path);
    }
    if (!progId.empty()) {
        SetString(reg::Hive::LocalMachine, path, "", progId);
    }
    for (const auto& [value, text] : values) {
        SetString(reg::Hive::LocalMachine, path, value, text);
    }
}

void WriteScannerProfile(const std::string& name, const Values& values) {
    WriteProfile("Scanner", name, "Orvanta.Opos.Scanner", values);
}

void WriteScaleProfile(const std::string& name, const Values& values) {
    WriteProfile("Scale", name, "Orvanta.OPOS.Scale", values);
}

std::optional<std::string> ProfileValue(const std::string& deviceClass, const std::string& name,
                                        const std::string& value) {
    return Read(reg::Hive::LocalMachine, kProfileRoot + deviceClass + "\\" + name, value);
}

void MapComPort(int number, const std::string& target) {
    SetString(reg::Hive::LocalMachine, "HARDWARE\\DEVICEMAP\\SERIALCOMM",
              "COM" + std::to_string(number), target);
}

void SetGlobalValue(const std::string& name, const std::string& value) {
    SetString(reg::Hive::LocalMachine, "SOFTWARE\\OLEforRetail\\ServiceInfo\\Orvanta", name, value);
}

bool Serve(const std::function<bool()>& done, std::chrono::milliseconds patience) {
    return opos::WaitUntil(done, static_cast<int>(patience.count()));
}

::testing::AssertionResult OpenClaimEnable(opos::OposControl& device, const std::string& profile) {
    auto failed = [&](const char* step, std::int32_t rc) {
        ::testing::AssertionResult r = ::testing::AssertionFailure();
        r << step << " of \"" << profile << "\" answered " << rc << " " << opos::ResultName(rc);
        if (std::string(step) == "Open") {
            r << " (OpenResult " << device.OpenResult() << ")";
        }
        if (!device.ErrorDetail().empty()) {
            r << ": " << device.ErrorDetail();
        }
        return r;
    };
    std::int32_t rc = device.Open(profile);
    if (rc != opos::OPOS_SUCCESS) {
        return failed("Open", rc);
    }
    rc = device.ClaimDevice(1000);
    if (rc != opos::OPOS_SUCCESS) {
        return failed("ClaimDevice", rc);
    }
    device.SetDeviceEnabled(true);
    rc = device.ResultCode();
    if (rc != opos::OPOS_SUCCESS) {
        return failed("DeviceEnabled", rc);
    }
    return ::testing::AssertionSuccess();
}

ScannerApp::ScannerApp() {
    scanner.SetDataEventHandler([this](std::int32_t status) {
        labels.push_back({scanner.ScanData(), scanner.ScanDataLabel(), scanner.ScanDataType(),
                          status, std::this_thread::get_id()});
        scanner.SetDataEventEnabled(true);
    });
    scanner.SetErrorEventHandler(
        [this](std::int32_t, std::int32_t, std::int32_t, std::int32_t&) { ++errorEvents; });
}

::testing::AssertionResult ScannerApp::Start(const std::string& profile) {
    ::testing::AssertionResult r = OpenClaimEnable(scanner, profile);
    if (!r) {
        return r;
    }
    scanner.SetDecodeData(true);
    if (scanner.ResultCode() != opos::OPOS_SUCCESS) {
        return ::testing::AssertionFailure() << "DecodeData answered " << scanner.ResultCode();
    }
    scanner.SetDataEventEnabled(true);
    if (scanner.ResultCode() != opos::OPOS_SUCCESS) {
        return ::testing::AssertionFailure()
               << "DataEventEnabled answered " << scanner.ResultCode();
    }
    return ::testing::AssertionSuccess();
}

bool ScannerApp::WaitForLabels(std::size_t count, std::chrono::milliseconds patience) {
    return Serve([&] { return labels.size() >= count; }, patience);
}

std::string HexWords(std::string_view bytes) {
    std::string words;
    char word[4];
    for (unsigned char c : bytes) {
        std::snprintf(word, sizeof word, "%02X", c);
        if (!words.empty()) {
            words += ' ';
        }
        words += word;
    }
    return words;
}

}  // namespace sorvex::e2e
