// Any bytes as a HID report descriptor: the item walk stays inside the buffer.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/hid/report_descriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    sorvex::hid::detail::UsesReportIds(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
