// The scanner's USB report handling fed arbitrary report sequences: ProcessUsbDataEvent (header
// and length checks, continuation parts, the partial-label cap) and the USB decoder. The input is
// a sequence of reports, each preceded by its length byte; a length byte of 0xFF stands for the
// device going away.
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
    talvex::CScanner& s = Scanner();
    const bool decode = size > 0 && (data[0] & 1) != 0;
    talvex::CScannerProbe::Enable(s, 2, false, decode);
    std::string partial;
    bool overflowed = false;
    for (std::size_t i = 0; i < size;) {
        const std::size_t length = data[i++];
        if (length == 0xFF) {
            s.ProcessUsbDataEvent(std::string(), 1);  // lost: the partial label goes
            partial.clear();
            overflowed = false;
            continue;
        }
        const std::size_t n = length < size - i ? length : size - i;
        const std::string report(reinterpret_cast<const char*>(data + i), n);
        i += n;
        s.ProcessUsbDataEvent(report, 0);
        // The same steps by hand must agree with the object and never read past the report.
        talvex::UsbReportResult step = talvex::AssembleUsbReport(report, partial, overflowed);
        if (partial.size() > talvex::kMaxUsbPartialLabel ||
            talvex::CScannerProbe::PartialLabelSize(s) != partial.size()) {
            __builtin_trap();
        }
        if (step.outcome == talvex::UsbReportOutcome::Label) {
            talvex::ScanLabel label = talvex::ParseIbmUsbScannerData(step.part, decode);
            if (label.scanData.size() >= step.part.size()) {
                __builtin_trap();
            }
            talvex::CScannerProbe::Handle(s, talvex::OposEvent::Data(2, step.part));
        }
    }
    s.EventQueue().Clear();
    return 0;
}
