// The scanner half of a single-cable scanner-scale (interface kind 0), as a reusable piece: the
// model "scanner-single-cable" is this scanner alone on the cable; the scanner-scale composite
// puts it beside the scale on one port.
//
// On the cable every command is a frame from a start byte to 0xF1: 0xF3 for the scanner (4
// bytes: F3 command argument F1), 0xF8 for the scale. The scanner answers each of its commands
// with F3 'S' command argument F1 (the second byte 'S' marks a reply) and logs it as a "command"
// event with its hex. F3 11 00 F1 enables scanning, F3 12 00 F1 disables it; the scanner starts
// disabled and, like the real one, reads labels only while enabled (option
// scan-when-disabled=1 reads regardless). Labels go out as F3 s1 s2 label F1.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tools/sorvex-sim/model.h"

namespace sorvex::sim {

// Cuts what the host sends on the single cable into frames (0xF3 or 0xF8 up to 0xF1) and loose
// bytes (anything outside a frame, such as a text written as it is). A frame may arrive in
// several chunks; loose bytes are returned with the chunk they came in.
class SingleCableFramer {
  public:
    struct Piece {
        std::string bytes;
        bool frame = false;
    };
    std::vector<Piece> Feed(std::string_view bytes);

  private:
    std::string m_Open;  // an unfinished frame
};

class SingleCableScanner {
  public:
    explicit SingleCableScanner(const ModelOptions& options);

    // A frame from the host. True when it was the scanner's (starts with 0xF3): it is logged
    // and answered. False for frames of others; nothing happens then.
    bool OnHostFrame(std::string_view frame, Host& host);

    // Whether `verb` is one of the scanner's commands ("scan", "scan-hex").
    static bool IsScannerCommand(const std::string& verb);
    // Runs a scanner command; false with `error` set when it is malformed, names an unknown
    // symbology, or the scanner is disabled.
    bool OnCommand(const std::vector<std::string>& words, Host& host, std::string& error);
    std::vector<std::string> CommandHelp() const;

    bool Enabled() const { return m_Enabled; }

  private:
    bool m_Enabled = false;
    bool m_ScanWhenDisabled = false;
};

}  // namespace sorvex::sim
