// Reading HID report descriptors: pure bytes in, answers out. Not part of the API.
#pragma once

#include <string_view>

namespace sorvex::hid::detail {

// Whether the descriptor declares report ids: any complete Report ID item (a global item with
// tag 8: prefix 0x85, 0x86 or 0x87). Long items and item data are skipped, never taken for item
// prefixes; a truncated last item counts as absent.
bool UsesReportIds(std::string_view descriptor);

}  // namespace sorvex::hid::detail
