// The single-cable scale's serial replies fed to CScale as the frame router delivers them
// (ProcessDataEvent), and status bytes and digits straight to ProcessScaleData, in every
// combination of the pending and mode bits. No crash, no exception out of the callback, a
// decoded weight is -1 or a 32-bit value the digits can make, and a frame that arrives when
// nothing is pending changes nothing.
//
// Input: byte 0 chooses the state (bit 0 weight request pending, bit 1 status request pending,
// bit 2 AsyncMode, bit 3 Kilograms, bit 4 AutoDisable, bit 5 straight to ProcessScaleData with
// the rest split at its first 0xF1 into status and digits); the rest is the frame.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/scale_fuzz_access.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    talvex::CScale& scale = talvex::ScaleTestAccess::Instance(0);
    const std::uint8_t mode = data[0];
    const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::uint32_t bits = talvex::ScaleTestAccess::Bits(mode);
    talvex::ScaleTestAccess::Set(scale, bits);
    if (mode & 0x20) {
        std::size_t split = rest.find('\xF1');
        std::string status = rest.substr(0, split);
        std::string digits = split == std::string::npos ? "" : rest.substr(split + 1);
        talvex::ScaleTestAccess::Check(scale.ProcessScaleData(status, digits) <= 1);
    } else {
        talvex::ScaleTestAccess::Check(talvex::ScaleTestAccess::Serial(scale, rest) == 0);
    }
    talvex::ScaleTestAccess::CheckAfter(scale, bits);
    return 0;
}
