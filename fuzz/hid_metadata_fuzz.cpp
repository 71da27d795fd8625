// Any bytes as a simulated device's metadata file: parsing never fails badly, and whatever
// parses survives formatting and parsing again unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/hid/simulated_metadata.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::optional<sorvex::hid::SimulatedDeviceMetadata> parsed =
        sorvex::hid::ParseSimulatedMetadata(text);
    if (parsed) {
        std::optional<sorvex::hid::SimulatedDeviceMetadata> again =
            sorvex::hid::ParseSimulatedMetadata(sorvex::hid::FormatSimulatedMetadata(*parsed));
        if (!again || again->usagePage != parsed->usagePage || again->usage != parsed->usage ||
            again->vendorId != parsed->vendorId || again->productId != parsed->productId) {
            std::abort();
        }
    }
    return 0;
}
