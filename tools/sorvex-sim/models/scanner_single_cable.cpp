#include "tools/sorvex-sim/models/scanner_single_cable.h"

#include "tools/sorvex-sim/models/scanner_frames.h"

namespace sorvex::sim {

namespace {

constexpr char kScannerStart = '\xF3';
constexpr char kScaleStart = '\xF8';
constexpr char kStop = '\xF1';

}  // namespace

std::vector<SingleCableFramer::Piece> SingleCableFramer::Feed(std::string_view bytes) {
    std::vector<Piece> pieces;
    std::string loose;
    for (char c : bytes) {
        if (m_Open.empty()) {
            if (c == kScannerStart || c == kScaleStart) {
                if (!loose.empty()) {
                    pieces.push_back({std::move(loose), false});
                    loose.clear();
                }
                m_Open += c;
            } else {
                loose += c;
            }
            continue;
        }
        m_Open += c;
        if (c == kStop) {
            pieces.push_back({std::move(m_Open), true});
            m_Open.clear();
        }
    }
    if (!loose.empty()) {
        pieces.push_back({std::move(loose), false});
    }
    return pieces;
}

SingleCableScanner::SingleCableScanner(const ModelOptions& options)
    : m_ScanWhenDisabled(options.Get("scan-when-disabled", "0") == "1") {}

bool SingleCableScanner::OnHostFrame(std::string_view frame, Host& host) {
    if (frame.empty() || frame.front() != kScannerStart) {
        return false;
    }
    host.Note("command", scanner::Hex(frame));
    if (frame.size() == 4) {
        if (frame[1] == '\x11') {
            m_Enabled = true;
        } else if (frame[1] == '\x12') {
            m_Enabled = false;
        }
        std::string reply = "\xF3S";
        reply.append(frame.substr(1, 2));
        reply += kStop;
        host.Send(reply);
    }
    return true;
}

bool SingleCableScanner::IsScannerCommand(const std::string& verb) {
    return verb == "scan" || verb == "scan-hex";
}

bool SingleCableScanner::OnCommand(const std::vector<std::string>& words, Host& host,
                                   std::string& error) {
    std::string label;
    if (!scanner::ScanLabel(words, label, error)) {
        return false;
    }
    std::optional<scanner::SingleCableCodes> codes =
        scanner::SingleCableSymbology(words[1], label.size());
    if (!codes) {
        error = "unknown symbology " + words[1] +
                " (single cable: UPCA UPCE EAN8 EAN13 UPCA_S UPCE_S EAN8_S EAN13_S Code39 "
                "Codabar ITF Code128 Code93 EAN128)";
        return false;
    }
    if (!m_Enabled && !m_ScanWhenDisabled) {
        error =
            "the scanner is disabled: the host has not sent F3 11 00 F1 (--set "
            "scan-when-disabled=1 scans regardless)";
        return false;
    }
    host.Send(scanner::SingleCableFrame(*codes, label));
    return true;
}

std::vector<std::string> SingleCableScanner::CommandHelp() const {
    return {"scan SYMBOLOGY LABEL...   send F3 s1 s2 label F1 (only while enabled)",
            "scan-hex SYMBOLOGY HEX... the same with the label given as hex bytes"};
}

namespace {

// The single-cable scanner alone on its cable: scale frames and loose bytes are only logged.
class SingleCableScannerModel final : public DeviceModel {
  public:
    explicit SingleCableScannerModel(const ModelOptions& options) : m_Scanner(options) {}

    void OnHostData(std::string_view bytes, Host& host) override {
        for (const SingleCableFramer::Piece& piece : m_Framer.Feed(bytes)) {
            if (!piece.frame || !m_Scanner.OnHostFrame(piece.bytes, host)) {
                host.Note("command", (piece.frame ? "" : "data ") + scanner::Hex(piece.bytes));
            }
        }
    }
    bool OnCommand(const std::vector<std::string>& words, Host& host, std::string& error) override {
        if (!SingleCableScanner::IsScannerCommand(words.front())) {
            error = "unknown command \"" + words.front() + "\"";
            return false;
        }
        return m_Scanner.OnCommand(words, host, error);
    }
    std::vector<std::string> CommandHelp() const override { return m_Scanner.CommandHelp(); }

  private:
    SingleCableFramer m_Framer;
    SingleCableScanner m_Scanner;
};

const ModelRegistration kSingleCable({"scanner-single-cable",
                                      "the scanner of a single-cable scanner-scale: F3 s1 s2 "
                                      "label F1, answers its commands with F3 S ...",
                                      "pty", 0, 0, false, [](const ModelOptions& options) {
                                          return std::make_unique<SingleCableScannerModel>(options);
                                      }});

}  // namespace

}  // namespace sorvex::sim
