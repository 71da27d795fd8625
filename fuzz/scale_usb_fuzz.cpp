// The USB POS scale's input reports fed to CScale as its USB link delivers them
// (ProcessUsbDataEvent), in every combination of the pending and mode bits. No crash, no
// exception out of the callback, a decoded weight is -1 or a value the digits can make, and a
// report that arrives when nothing is pending changes nothing. The pause before a new request
// is shortened to 0 ms.
//
// Input: byte 0 chooses the state as in scale_serial_fuzz.cpp (bits 0 to 4); the rest is the
// report, report id first.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/scale_fuzz_access.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    talvex::CScale& scale = talvex::ScaleTestAccess::Instance(2);
    const std::uint32_t bits = talvex::ScaleTestAccess::Bits(data[0]);
    talvex::ScaleTestAccess::Set(scale, bits);
    const std::string report(reinterpret_cast<const char*>(data + 1), size - 1);
    talvex::ScaleTestAccess::Check(talvex::ScaleTestAccess::Usb(scale, report) == 0);
    talvex::ScaleTestAccess::CheckAfter(scale, bits);
    return 0;
}
