// The scanner's serial frame handling fed arbitrary frames: ProcessDataEvent (checks,
// acknowledgement, queueing) on every interface kind, ProcessStatsEvent, and the two serial
// decoders through HandleDataEvent. The first input byte picks the kind and the flags; the rest
// is the frame as the frame router would deliver it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/scanner_probe.h"
#include "service/frame/opos.h"
#include "service/scanner/scanner_decoder.h"

namespace {

talvex::CScanner& Scanner() {
    static talvex::CScanner* scanner = new talvex::CScanner();  // lives for the whole run
    return *scanner;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::uint8_t flags = data[0];
    const int kind = (flags & 0x03) == 2 ? 3 : (flags & 0x03);  // 0, 1 or 3 (2 is USB)
    const bool autoDisable = (flags & 0x04) != 0;
    const bool decode = (flags & 0x08) != 0;
    const std::string frame(reinterpret_cast<const char*>(data + 1), size - 1);

    talvex::CScanner& s = Scanner();
    talvex::CScannerProbe::Enable(s, kind, autoDisable, decode);
    const int result = s.ProcessDataEvent(frame);
    if (result != 0 && result != 1) {
        __builtin_trap();
    }
    s.EventQueue().Clear();

    talvex::CScannerProbe::SetStatisticsPending(s, (flags & 0x10) != 0);
    s.ProcessStatsEvent(frame);

    // Both decoders on the same bytes, wherever they came from.
    for (std::int32_t dataKind : {talvex::kDataKindScannerScale, talvex::kDataKindScannerOnly}) {
        talvex::CScannerProbe::Handle(s, talvex::OposEvent::Data(dataKind, frame));
        talvex::ScanLabel label = dataKind == 0 ? talvex::ParseScannerScaleData(frame, decode)
                                                : talvex::ParseScannerOnlyData(frame, decode);
        if (label.scanData.size() > frame.size() ||
            (!decode && (!label.scanDataLabel.empty() || label.scanDataType != 0))) {
            __builtin_trap();
        }
    }
    return 0;
}
