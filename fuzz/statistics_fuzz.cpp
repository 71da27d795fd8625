// The statistics reply parser and document builder fed arbitrary replies and requests: no crash,
// and no markup character of the input reaches the document unescaped.
#include <cstddef>
#include <cstdint>
#include <string>

#include "service/frame/statistics.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    auto split = input.find('\n');
    std::string reply = input.substr(0, split);
    std::string request = split == std::string::npos ? "" : input.substr(split + 1);
    talvex::EquipmentInfo e = talvex::DefaultEquipment(talvex::StatisticsDevice::Scanner, 1);
    talvex::ApplyStatisticsReply(reply, e);
    auto selection = talvex::SelectStatistics(request, talvex::StatisticsDevice::Scanner);
    std::string doc =
        talvex::BuildStatisticsDocument(e, selection, talvex::StatisticsDevice::Scanner);
    // Every '<' in the document opens one of our own tags.
    for (std::size_t at = doc.find('<'); at != std::string::npos; at = doc.find('<', at + 1)) {
        char next = at + 1 < doc.size() ? doc[at + 1] : '\0';
        if (!(next == '?' || next == '/' || (next >= 'A' && next <= 'Z'))) {
            __builtin_trap();
        }
    }
    return 0;
}
