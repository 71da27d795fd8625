// The POS USB scanner: the RS-232 scanner's protocol on a port that presents itself as a USB
// virtual COM port (over RFC 2217 the 300-baud request is ignored, as such ports do), with the
// AX310 accessory bytes logged.
#include "tools/sorvex-sim/models/scanner_rs232.h"

namespace sorvex::sim {

namespace {

const ModelRegistration kPosUsb({"scanner-pos-usb",
                                 "POS USB scanner: the RS-232 scanner on a USB virtual COM port",
                                 "rfc2217", 0, 0, true, [](const ModelOptions& options) {
                                     return std::make_unique<Rs232Scanner>(options, true);
                                 }});

}  // namespace

}  // namespace sorvex::sim
