// The single-cable scanner-scale: the scanner (scanner_single_cable.h) and the scale
// (scale_behaviour.h) on one serial port. The host's frames go to the device their start byte
// names (0xF3 scanner, 0xF8 scale); labels and weights go out interleaved as they happen.
// Every command from standard input is noted as an "applied" event, the scanner's too.
#include "tools/sorvex-sim/models/scale_behaviour.h"
#include "tools/sorvex-sim/models/scanner_single_cable.h"

namespace sorvex::sim {

namespace {

class ScannerScaleModel final : public DeviceModel {
  public:
    explicit ScannerScaleModel(const ModelOptions& options)
        : m_Scanner(options), m_Scale(options) {}

    void OnHostData(std::string_view bytes, Host& host) override {
        for (const SingleCableFramer::Piece& piece : m_Framer.Feed(bytes)) {
            if (!piece.frame) {
                host.Note("command", "data " + std::to_string(piece.bytes.size()) + " bytes");
            } else if (!m_Scanner.OnHostFrame(piece.bytes, host)) {
                m_Scale.OnFrame(piece.bytes, host);
            }
        }
    }

    bool OnCommand(const std::vector<std::string>& words, Host& host, std::string& error) override {
        if (SingleCableScanner::IsScannerCommand(words.front())) {
            if (!m_Scanner.OnCommand(words, host, error)) {
                return false;
            }
            std::string line;
            for (const std::string& w : words) {
                line += (line.empty() ? "" : " ") + w;
            }
            host.Note("applied", line);
            return true;
        }
        bool handled = false;
        bool ok = m_Scale.Behaviour().OnCommand(words, host, error, handled);
        if (!handled) {
            error = "unknown command \"" + words.front() + "\"";
        }
        return ok;
    }

    std::vector<std::string> CommandHelp() const override {
        std::vector<std::string> help = m_Scanner.CommandHelp();
        for (const std::string& line : ScaleBehaviour::CommandHelp()) {
            help.push_back(line);
        }
        return help;
    }

  private:
    SingleCableFramer m_Framer;
    SingleCableScanner m_Scanner;
    SerialScale m_Scale;
};

const ModelRegistration kScannerScale(
    {"scanner-scale",
     "a single-cable scanner-scale: scanner frames F3 ... F1 and scale frames F8 ... F1 on one "
     "port",
     "pty", 0, 0, false,
     [](const ModelOptions& options) { return std::make_unique<ScannerScaleModel>(options); }});

}  // namespace

}  // namespace sorvex::sim
