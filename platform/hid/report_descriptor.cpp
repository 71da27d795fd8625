// HID report descriptors are a sequence of items. A short item is one prefix byte (bits 0-1
// size 0, 1, 2 or 4 bytes, bits 2-3 type, bits 4-7 tag) followed by its data; a long item is
// 0xFE, a data size byte, a tag byte and the data.
#include "platform/hid/report_descriptor.h"

#include <cstddef>
#include <cstdint>

namespace sorvex::hid::detail {

namespace {

constexpr std::uint8_t kLongItemPrefix = 0xFE;
constexpr unsigned kTypeGlobal = 1;
constexpr unsigned kTagReportId = 8;

}  // namespace

bool UsesReportIds(std::string_view descriptor) {
    std::size_t i = 0;
    const std::size_t n = descriptor.size();
    while (i < n) {
        const auto prefix = static_cast<std::uint8_t>(descriptor[i]);
        if (prefix == kLongItemPrefix) {
            if (i + 2 >= n) {
                return false;
            }
            i += 3 + static_cast<std::uint8_t>(descriptor[i + 1]);
            continue;
        }
        std::size_t size = prefix & 0x03u;
        if (size == 3) {
            size = 4;
        }
        const unsigned type = (prefix >> 2) & 0x03u;
        const unsigned tag = prefix >> 4;
        if (i + 1 + size > n) {
            return false;  // truncated item
        }
        if (type == kTypeGlobal && tag == kTagReportId && size > 0) {
            return true;
        }
        i += 1 + size;
    }
    return false;
}

}  // namespace sorvex::hid::detail
