// The RS-232 scanner (interface kind 1) and, on a USB virtual COM port, the POS USB scanner
// (kind 3): labels go out as STX, identifier, label, ETX; the single byte "U" asks for the
// scanner's identification, answered as SOH, the statistics text, ETX.
//
// What the host sends is logged as "command" events: "ACK" (06), "BEL" (07), "z", "U", and any
// other run of bytes as "data" followed by their hex. On the POS USB port the bytes of the AX310
// accessory handling are logged as "AX310 FF" and "AX310 80" (the USB probe byte that the host
// writes when it opens the port is an 80 as well). A "reply-stats" command is confirmed with an
// "applied" event, after which every "U" gets the new reply.
#pragma once

#include <string>
#include <vector>

#include "tools/sorvex-sim/model.h"

namespace sorvex::sim {

class Rs232Scanner final : public DeviceModel {
  public:
    // Nine comma-terminated fields: UnifiedPOS version, category, maker, model, serial number,
    // manufacture date, mechanical and firmware revisions, interface.
    static constexpr const char* kDefaultStats =
        "UPOS 1.8.0,Scanner,Orvanta Vuvozadezud Inc.,6620,GH07231234,,B,FW1234,RS232,";

    // Options: stats=TEXT (the identification reply, "off" for none).
    Rs232Scanner(const ModelOptions& options, bool posUsb);

    void OnHostData(std::string_view bytes, Host& host) override;
    bool OnCommand(const std::vector<std::string>& words, Host& host, std::string& error) override;
    std::vector<std::string> CommandHelp() const override;

  private:
    bool m_PosUsb;
    bool m_StatsOn = true;
    std::string m_Stats;
};

}  // namespace sorvex::sim
