#include "tools/sorvex-sim/models/scanner_rs232.h"

#include "tools/sorvex-sim/models/scanner_frames.h"

namespace sorvex::sim {

Rs232Scanner::Rs232Scanner(const ModelOptions& options, bool posUsb)
    : m_PosUsb(posUsb), m_Stats(options.Get("stats", kDefaultStats)) {
    if (m_Stats == "off") {
        m_StatsOn = false;
        m_Stats = kDefaultStats;
    }
}

void Rs232Scanner::OnHostData(std::string_view bytes, Host& host) {
    std::string other;
    auto flushOther = [&] {
        if (!other.empty()) {
            host.Note("command", "data " + scanner::Hex(other));
            other.clear();
        }
    };
    for (char c : bytes) {
        const char* name = nullptr;
        switch (static_cast<unsigned char>(c)) {
            case 0x06:
                name = "ACK";
                break;
            case 0x07:
                name = "BEL";
                break;
            case 'z':
                name = "z";
                break;
            case 'U':
                name = "U";
                break;
            case 0xFF:
                name = m_PosUsb ? "AX310 FF" : nullptr;
                break;
            case 0x80:
                name = m_PosUsb ? "AX310 80" : nullptr;
                break;
            default:
                break;
        }
        if (name == nullptr) {
            other += c;
            continue;
        }
        flushOther();
        host.Note("command", name);
        if (c == 'U' && m_StatsOn) {
            host.Send("\x01" + m_Stats + "\x03");
        }
    }
    flushOther();
}

bool Rs232Scanner::OnCommand(const std::vector<std::string>& words, Host& host,
                             std::string& error) {
    const std::string& verb = words.front();
    if (verb == "scan" || verb == "scan-hex") {
        std::string label;
        if (!scanner::ScanLabel(words, label, error)) {
            return false;
        }
        std::optional<char> id = scanner::Rs232Identifier(words[1]);
        if (!id) {
            error = "unknown symbology " + words[1] +
                    " (RS-232: UPCA UPCE EAN8 EAN13 UPCA_S UPCE_S EAN8_S EAN13_S Code39 "
                    "Codabar ITF Code93 Code128)";
            return false;
        }
        host.Send(scanner::Rs232Frame(*id, label));
        return true;
    }
    if (verb == "reply-stats") {
        if (words.size() < 2) {
            error = "reply-stats needs the reply text, or off";
            return false;
        }
        if (words.size() == 2 && words[1] == "off") {
            m_StatsOn = false;
        } else {
            m_Stats.clear();
            for (std::size_t i = 1; i < words.size(); ++i) {
                m_Stats += (i > 1 ? " " : "") + words[i];
            }
            m_StatsOn = true;
        }
        // Tells a test that a "U" from now on gets this reply.
        host.Note("applied", m_StatsOn ? "reply-stats " + m_Stats : "reply-stats off");
        return true;
    }
    error = "unknown command \"" + verb + "\"";
    return false;
}

std::vector<std::string> Rs232Scanner::CommandHelp() const {
    return {"scan SYMBOLOGY LABEL...   send STX, identifier, label, ETX",
            "scan-hex SYMBOLOGY HEX... the same with the label given as hex bytes",
            "reply-stats FIELDS...     the identification reply to \"U\" (off: no reply)"};
}

namespace {

const ModelRegistration kRs232({"scanner-rs232",
                                "RS-232 scanner: STX id label ETX, answers U with its "
                                "identification",
                                "pty", 0, 0, false, [](const ModelOptions& options) {
                                    return std::make_unique<Rs232Scanner>(options, false);
                                }});

}  // namespace

}  // namespace sorvex::sim
