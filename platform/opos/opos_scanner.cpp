// OposScanner: the scanner's own properties.
#include "platform/opos/core_access.h"
#include "sorvex/opos.h"

namespace sorvex::opos {

namespace {

constexpr std::int32_t PIDX_SCAN_DecodeData = 10001;
constexpr std::int32_t PIDX_SCAN_ScanDataType = 10002;
constexpr std::int32_t PIDX_SCAN_ScanData = 1010001;
constexpr std::int32_t PIDX_SCAN_ScanDataLabel = 1010002;

}  // namespace

OposScanner::OposScanner() : OposControl(DeviceClass::Scanner) {}
OposScanner::~OposScanner() = default;

bool OposScanner::DecodeData() {
    SORVEX_OPOS_ENTER(false);
    return m_Core->GetBool(PIDX_SCAN_DecodeData);
}
void OposScanner::SetDecodeData(bool on) {
    SORVEX_OPOS_ENTER();
    m_Core->SetBool(PIDX_SCAN_DecodeData, on);
}
std::string OposScanner::ScanData() {
    SORVEX_OPOS_ENTER({});
    return m_Core->GetString(PIDX_SCAN_ScanData);
}
std::string OposScanner::ScanDataLabel() {
    SORVEX_OPOS_ENTER({});
    return m_Core->GetString(PIDX_SCAN_ScanDataLabel);
}
std::int32_t OposScanner::ScanDataType() {
    SORVEX_OPOS_ENTER(0);
    return m_Core->GetNumber(PIDX_SCAN_ScanDataType);
}

}  // namespace sorvex::opos
