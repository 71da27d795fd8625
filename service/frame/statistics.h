// The UnifiedPOS statistics document both service objects return from RetrieveStatistics.
//
// The scanner fills the equipment section from the device's identification reply (a list of
// comma-separated fields; a field counts only when a comma follows it); the scale uses the
// defaults. Statistic counters are always 0. The document is one line of XML. Values taken from
// a device's reply are escaped and stripped of what XML cannot carry, so the document stays
// well-formed whatever the device sends.
#pragma once

#include <cstdint>
#include <string>

namespace talvex {

struct EquipmentInfo {
    std::string unifiedPosVersion;
    std::string deviceCategory;
    std::string manufacturerName;
    std::string modelName;
    std::string serialNumber;
    std::string manufactureDate;
    std::string mechanicalRevision;
    std::string firmwareRevision;
    std::string interface;
    std::string installationDate;
};

enum class StatisticsDevice { Scanner, Scale };

// The defaults: "1.8.0", "Scanner"/"Scale", "Orvanta Vuvozadezud Inc.", "Orvanta Scanner"/
// "Orvanta Scale", "0000000000", "yyyy-mm-dd", "x", "xxxxx", the interface of the kind ("POS USB"
// for 3, "IBM OEM USB" for 2, "RS232" otherwise), "yyyy-mm-dd".
EquipmentInfo DefaultEquipment(StatisticsDevice device, std::int32_t interfaceKind);

// Applies the fields of an identification reply (without its SOH and ETX) to the equipment.
void ApplyStatisticsReply(const std::string& reply, EquipmentInfo& equipment);

struct StatisticsSelection {
    bool hoursPowered = false;
    bool communicationErrors = false;
    bool goodCount = false;  // GoodScanCount or GoodWeightReadCount
    bool manufacturerSpecific = false;
    bool unknownName = false;  // the request named a statistic that does not exist
};

// "" selects the three statistics and the ManufacturerSpecific element; "U_" the three
// statistics; "M_" ManufacturerSpecific only; anything else is a comma-separated list of names.
StatisticsSelection SelectStatistics(const std::string& request, StatisticsDevice device);

std::string BuildStatisticsDocument(const EquipmentInfo& equipment,
                                    const StatisticsSelection& selection, StatisticsDevice device);

}  // namespace talvex
