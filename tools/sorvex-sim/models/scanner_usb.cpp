// The IBM OEM USB ("Full Speed USB") scanners: a HID device whose input reports carry the labels
// (report id 00, L, status 00 03, 00, label part with its symbology suffix, padded to the report
// size) and whose 12-byte output reports 00 11 00... and 00 12 00... enable and disable it.
// Like a real one it starts disabled and reads labels only while enabled (option
// scan-when-disabled=1 reads regardless); its enable state survives an unplug. Labels longer
// than one report are split, every part but the last ending 10 y 0B.
//
// "scanner-usb-tabletop" publishes usage 0x4A00 (the table-top scanner-scales),
// "scanner-usb-handheld" 0x4B00; both the maker's vendor id unless --vendor-id says otherwise.
#include "service/links/usb_device_info.h"
#include "tools/sorvex-sim/model.h"
#include "tools/sorvex-sim/models/scanner_frames.h"

namespace sorvex::sim {

namespace {

class UsbScanner final : public DeviceModel {
  public:
    explicit UsbScanner(const ModelOptions& options)
        : m_ScanWhenDisabled(options.Get("scan-when-disabled", "0") == "1") {
        const std::string size = options.Get("report-size", "64");
        try {
            m_ReportSize = std::stoul(size);
        } catch (const std::exception&) {
            m_ReportSize = 0;  // refused by every scan, with the reason
        }
    }

    void OnHostData(std::string_view report, Host& host) override {
        if (report.size() == 12 && report[0] == '\x00' && report[1] == '\x11') {
            m_Enabled = true;
            host.Note("command", "enable");
        } else if (report.size() == 12 && report[0] == '\x00' && report[1] == '\x12') {
            m_Enabled = false;
            host.Note("command", "disable");
        } else {
            host.Note("command", "report " + scanner::Hex(report));
        }
    }

    bool OnCommand(const std::vector<std::string>& words, Host& host, std::string& error) override {
        const std::string& verb = words.front();
        if (verb != "scan" && verb != "scan-hex") {
            error = "unknown command \"" + verb + "\"";
            return false;
        }
        std::string label;
        if (!scanner::ScanLabel(words, label, error)) {
            return false;
        }
        std::optional<std::string> suffix = scanner::UsbSuffix(words[1]);
        if (!suffix) {
            error = "unknown symbology " + words[1] +
                    " (USB: UPCA UPCE EAN8 EAN13 UPCD1..UPCD5 UPCA_S UPCE_S EAN8_S EAN13_S "
                    "Code39 Codabar ITF Code93 Code128 EAN128 Other PDF417)";
            return false;
        }
        if (!m_Enabled && !m_ScanWhenDisabled) {
            error =
                "the scanner is disabled: the host has not sent the enable report (--set "
                "scan-when-disabled=1 scans regardless)";
            return false;
        }
        std::vector<std::string> reports = scanner::UsbReports(label, *suffix, m_ReportSize, error);
        if (reports.empty()) {
            return false;
        }
        for (const std::string& report : reports) {
            host.Send(report);
        }
        return true;
    }

    std::vector<std::string> CommandHelp() const override {
        return {"scan SYMBOLOGY LABEL...   send the label's input reports (only while enabled)",
                "scan-hex SYMBOLOGY HEX... the same with the label given as hex bytes"};
    }

  private:
    bool m_Enabled = false;
    bool m_ScanWhenDisabled;
    std::size_t m_ReportSize = 64;
};

std::unique_ptr<DeviceModel> Create(const ModelOptions& options) {
    return std::make_unique<UsbScanner>(options);
}

const ModelRegistration kTableTop({"scanner-usb-tabletop",
                                   "IBM OEM USB table-top scanner (HID usage 0x4A00)", "hid", 0,
                                   talvex::kUsageTableTopScanner, false, Create,
                                   talvex::MakerVendorId});
const ModelRegistration kHandHeld({"scanner-usb-handheld",
                                   "IBM OEM USB hand-held scanner (HID usage 0x4B00)", "hid", 0,
                                   talvex::kUsageHandHeldScanner, false, Create,
                                   talvex::MakerVendorId});

}  // namespace

}  // namespace sorvex::sim
