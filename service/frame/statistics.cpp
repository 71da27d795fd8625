#include "service/frame/statistics.h"

#include <vector>

namespace talvex {

namespace {

const char* GoodCountName(StatisticsDevice device) {
    return device == StatisticsDevice::Scanner ? "GoodScanCount" : "GoodWeightReadCount";
}

// Text from a device as XML character data: markup characters become entities; bytes XML 1.0
// cannot carry (control characters, bytes that are not part of valid UTF-8) become '?'.
std::string XmlText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        unsigned char c = p[i];
        if (c < 0x80) {
            switch (c) {
                case '<':
                    out += "&lt;";
                    break;
                case '>':
                    out += "&gt;";
                    break;
                case '&':
                    out += "&amp;";
                    break;
                case '"':
                    out += "&quot;";
                    break;
                case '\'':
                    out += "&apos;";
                    break;
                default:
                    out += (c < 0x20 && c != '\t' && c != '\n' && c != '\r') ? '?'
                                                                             : static_cast<char>(c);
                    break;
            }
            ++i;
            continue;
        }
        // A well-formed UTF-8 sequence of 2 to 4 bytes (no overlong forms, no surrogates, at
        // most U+10FFFF) is kept as it is.
        std::size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
        bool ok = len != 0 && c <= 0xF4 && i + len <= n;
        for (std::size_t k = 1; ok && k < len; ++k) {
            ok = (p[i + k] & 0xC0) == 0x80;
        }
        if (ok && len == 3) {
            ok = !(c == 0xE0 && p[i + 1] < 0xA0) && !(c == 0xED && p[i + 1] >= 0xA0);
        }
        if (ok && len == 4) {
            ok = !(c == 0xF0 && p[i + 1] < 0x90) && !(c == 0xF4 && p[i + 1] >= 0x90);
        }
        if (ok) {
            out.append(text, i, len);
            i += len;
        } else {
            out += '?';
            ++i;
        }
    }
    return out;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

EquipmentInfo DefaultEquipment(StatisticsDevice device, std::int32_t interfaceKind) {
    const bool scanner = device == StatisticsDevice::Scanner;
    EquipmentInfo e;
    e.unifiedPosVersion = "1.8.0";
    e.deviceCategory = scanner ? "Scanner" : "Scale";
    e.manufacturerName = "Orvanta Vuvozadezud Inc.";
    e.modelName = scanner ? "Orvanta Scanner" : "Orvanta Scale";
    e.serialNumber = "0000000000";
    e.manufactureDate = "yyyy-mm-dd";
    e.mechanicalRevision = "x";
    e.firmwareRevision = "xxxxx";
    e.interface = interfaceKind == 3 ? "POS USB" : interfaceKind == 2 ? "IBM OEM USB" : "RS232";
    e.installationDate = "yyyy-mm-dd";
    return e;
}

void ApplyStatisticsReply(const std::string& reply, EquipmentInfo& e) {
    // Only fields followed by a comma count; the text after the last comma is ignored.
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t comma; (comma = reply.find(',', start)) != std::string::npos;
         start = comma + 1) {
        fields.push_back(reply.substr(start, comma - start));
    }
    for (std::size_t i = 0; i < fields.size() && i < 9; ++i) {
        const std::string& f = fields[i];
        switch (i) {
            case 0:
                for (std::size_t k = 0; k < f.size(); ++k) {
                    if (IsDigit(f[k])) {
                        e.unifiedPosVersion = f.substr(k);
                        break;
                    }
                }
                break;
            case 1:
                if (!f.empty()) {
                    e.deviceCategory = f;
                }
                break;
            case 2:
                if (!f.empty()) {
                    e.manufacturerName = f;
                }
                break;
            case 3:
                if (!f.empty()) {
                    e.modelName = f;
                }
                break;
            case 4:
                if (f.size() > 9) {
                    e.serialNumber = f;
                }
                break;
            case 5: {
                // Derived from the serial number: characters 2-3 are the year, 4-5 the week.
                const std::string& s = e.serialNumber;
                if (s.size() == 10 && s != "0000000000" && IsDigit(s[4]) && IsDigit(s[5])) {
                    int week = (s[4] - '0') * 10 + (s[5] - '0');
                    if (week >= 1 && week <= 54) {
                        std::string year = (s[2] == '9' ? "19" : "20") + s.substr(2, 2);
                        e.manufactureDate = year + "-mm-dd (Week " + s.substr(4, 2) + ")";
                    }
                }
                break;
            }
            case 6:
                if (!f.empty()) {
                    e.mechanicalRevision = f;
                }
                break;
            case 7:
                if (f.size() > 4) {
                    e.firmwareRevision = f;
                }
                break;
            case 8:
                if (!f.empty()) {
                    e.interface = f;
                }
                break;
        }
    }
}

StatisticsSelection SelectStatistics(const std::string& request, StatisticsDevice device) {
    StatisticsSelection s;
    if (request.empty()) {
        s.hoursPowered = s.communicationErrors = s.goodCount = s.manufacturerSpecific = true;
        return s;
    }
    if (request == "U_") {
        s.hoursPowered = s.communicationErrors = s.goodCount = true;
        return s;
    }
    if (request == "M_") {
        s.manufacturerSpecific = true;
        return s;
    }
    std::size_t start = 0;
    for (;;) {
        std::size_t comma = request.find(',', start);
        std::string name =
            request.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (name == "HoursPoweredCount") {
            s.hoursPowered = true;
        } else if (name == "CommunicationErrorCount") {
            s.communicationErrors = true;
        } else if (name == GoodCountName(device)) {
            s.goodCount = true;
        } else if (!name.empty()) {
            s.unknownName = true;
        }
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    return s;
}

std::string BuildStatisticsDocument(const EquipmentInfo& e, const StatisticsSelection& s,
                                    StatisticsDevice device) {
    static const char* kNamespace = "http://www.nrf-arts.org/IXRetail/namespace/";
    std::string doc = "<?xml version=\"1.0\"?>";
    doc += "<UPOSStat version=\"1.8.0\"";
    doc += " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"";
    doc += std::string(" xmlns=\"") + kNamespace + "\"";
    doc += std::string(" xsi:schemaLocation=\"") + kNamespace + "UPOSStat.xsd\">";
    doc += "<Event>";
    auto parameter = [&doc](const char* name) {
        doc += std::string("<Parameter><Name>") + name + "</Name><Value>0</Value></Parameter>";
    };
    if (s.hoursPowered) {
        parameter("HoursPoweredCount");
    }
    if (s.communicationErrors) {
        parameter("CommunicationErrorCount");
    }
    if (s.goodCount) {
        parameter(GoodCountName(device));
    }
    if (s.manufacturerSpecific) {
        doc += "<ManufacturerSpecific></ManufacturerSpecific>";
    }
    doc += "</Event><Equipment>";
    doc += "<UnifiedPOSVersion>" + XmlText(e.unifiedPosVersion) + "</UnifiedPOSVersion>";
    doc += "<DeviceCategory UPOS=\"" + XmlText(e.deviceCategory) + "\" />";
    doc += "<ManufacturerName>" + XmlText(e.manufacturerName) + "</ManufacturerName>";
    doc += "<ModelName>" + XmlText(e.modelName) + "</ModelName>";
    doc += "<SerialNumber>" + XmlText(e.serialNumber) + "</SerialNumber>";
    doc += "<ManufactureDate>" + XmlText(e.manufactureDate) + "</ManufactureDate>";
    doc += "<MechanicalRevision>" + XmlText(e.mechanicalRevision) + "</MechanicalRevision>";
    doc += "<FirmwareRevision>" + XmlText(e.firmwareRevision) + "</FirmwareRevision>";
    doc += "<Interface>" + XmlText(e.interface) + "</Interface>";
    doc += "<InstallationDate>" + XmlText(e.installationDate) + "</InstallationDate>";
    doc += "</Equipment></UPOSStat>";
    return doc;
}

}  // namespace talvex
