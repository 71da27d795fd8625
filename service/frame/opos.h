// OPOS constants by their standard names and values.
#pragma once

#include <cstdint>

namespace talvex {

// Result codes.
inline constexpr std::int32_t OPOS_SUCCESS = 0;
inline constexpr std::int32_t OPOS_E_CLOSED = 101;
inline constexpr std::int32_t OPOS_E_CLAIMED = 102;
inline constexpr std::int32_t OPOS_E_NOTCLAIMED = 103;
inline constexpr std::int32_t OPOS_E_NOSERVICE = 104;
inline constexpr std::int32_t OPOS_E_DISABLED = 105;
inline constexpr std::int32_t OPOS_E_ILLEGAL = 106;
inline constexpr std::int32_t OPOS_E_NOHARDWARE = 107;
inline constexpr std::int32_t OPOS_E_OFFLINE = 108;
inline constexpr std::int32_t OPOS_E_NOEXIST = 109;
inline constexpr std::int32_t OPOS_E_EXISTS = 110;
inline constexpr std::int32_t OPOS_E_FAILURE = 111;
inline constexpr std::int32_t OPOS_E_TIMEOUT = 112;
inline constexpr std::int32_t OPOS_E_BUSY = 113;
inline constexpr std::int32_t OPOS_E_EXTENDED = 114;
inline constexpr std::int32_t OPOS_ESCAL_OVERWEIGHT = 201;

// Open results.
inline constexpr std::int32_t OPOS_OR_ALREADYOPEN = 301;
inline constexpr std::int32_t OPOS_OR_REGBADNAME = 302;
inline constexpr std::int32_t OPOS_OR_REGPROGID = 303;
inline constexpr std::int32_t OPOS_OR_CREATE = 304;
inline constexpr std::int32_t OPOS_OR_BADIF = 305;
inline constexpr std::int32_t OPOS_OR_FAILEDOPEN = 306;
inline constexpr std::int32_t OPOS_OR_BADVERSION = 307;
inline constexpr std::int32_t OPOS_ORS_NOPORT = 401;
inline constexpr std::int32_t OPOS_ORS_NOTSUPPORTED = 402;
inline constexpr std::int32_t OPOS_ORS_CONFIG = 403;

// States.
inline constexpr std::int32_t OPOS_S_CLOSED = 1;
inline constexpr std::int32_t OPOS_S_IDLE = 2;
inline constexpr std::int32_t OPOS_S_BUSY = 3;
inline constexpr std::int32_t OPOS_S_ERROR = 4;

// Error loci and responses.
inline constexpr std::int32_t OPOS_EL_OUTPUT = 1;
inline constexpr std::int32_t OPOS_EL_INPUT = 2;
inline constexpr std::int32_t OPOS_EL_INPUT_DATA = 3;
inline constexpr std::int32_t OPOS_ER_RETRY = 11;
inline constexpr std::int32_t OPOS_ER_CLEAR = 12;
inline constexpr std::int32_t OPOS_ER_CONTINUEINPUT = 13;

// CheckHealth levels.
inline constexpr std::int32_t OPOS_CH_INTERNAL = 1;
inline constexpr std::int32_t OPOS_CH_EXTERNAL = 2;
inline constexpr std::int32_t OPOS_CH_INTERACTIVE = 3;

inline constexpr std::int32_t OPOS_FOREVER = -1;

// BinaryConversion, power.
inline constexpr std::int32_t OPOS_BC_NONE = 0;
inline constexpr std::int32_t OPOS_BC_NIBBLE = 1;
inline constexpr std::int32_t OPOS_BC_DECIMAL = 2;
inline constexpr std::int32_t OPOS_PR_NONE = 0;
inline constexpr std::int32_t OPOS_PS_UNKNOWN = 2000;

// Property indices.
inline constexpr std::int32_t PIDX_NUMBER = 0;
inline constexpr std::int32_t PIDX_STRING = 1000000;

inline constexpr std::int32_t PIDX_Claimed = 1;
inline constexpr std::int32_t PIDX_DataEventEnabled = 2;
inline constexpr std::int32_t PIDX_DeviceEnabled = 3;
inline constexpr std::int32_t PIDX_FreezeEvents = 4;
inline constexpr std::int32_t PIDX_OutputID = 5;
inline constexpr std::int32_t PIDX_ResultCode = 6;
inline constexpr std::int32_t PIDX_ResultCodeExtended = 7;
inline constexpr std::int32_t PIDX_ServiceObjectVersion = 8;
inline constexpr std::int32_t PIDX_State = 9;
inline constexpr std::int32_t PIDX_AutoDisable = 10;
inline constexpr std::int32_t PIDX_BinaryConversion = 11;
inline constexpr std::int32_t PIDX_DataCount = 12;
inline constexpr std::int32_t PIDX_PowerNotify = 13;
inline constexpr std::int32_t PIDX_PowerState = 14;
inline constexpr std::int32_t PIDX_CapPowerReporting = 501;
inline constexpr std::int32_t PIDX_CapStatisticsReporting = 502;
inline constexpr std::int32_t PIDX_CapUpdateStatistics = 503;

inline constexpr std::int32_t PIDX_CheckHealthText = PIDX_STRING + 1;
inline constexpr std::int32_t PIDX_DeviceDescription = PIDX_STRING + 2;
inline constexpr std::int32_t PIDX_DeviceName = PIDX_STRING + 3;
inline constexpr std::int32_t PIDX_ServiceObjectDescription = PIDX_STRING + 4;

// Scanner.
inline constexpr std::int32_t PIDX_SCAN = 10000;
inline constexpr std::int32_t PIDX_SCAN_DecodeData = PIDX_SCAN + 1;
inline constexpr std::int32_t PIDX_SCAN_ScanDataType = PIDX_SCAN + 2;
inline constexpr std::int32_t PIDX_SCAN_ScanData = PIDX_STRING + PIDX_SCAN + 1;
inline constexpr std::int32_t PIDX_SCAN_ScanDataLabel = PIDX_STRING + PIDX_SCAN + 2;

inline constexpr std::int32_t SCAN_SDT_UNKNOWN = 0;
inline constexpr std::int32_t SCAN_SDT_UPCA = 101;
inline constexpr std::int32_t SCAN_SDT_UPCE = 102;
inline constexpr std::int32_t SCAN_SDT_EAN8 = 103;
inline constexpr std::int32_t SCAN_SDT_EAN13 = 104;
inline constexpr std::int32_t SCAN_SDT_TF = 105;
inline constexpr std::int32_t SCAN_SDT_ITF = 106;
inline constexpr std::int32_t SCAN_SDT_Codabar = 107;
inline constexpr std::int32_t SCAN_SDT_Code39 = 108;
inline constexpr std::int32_t SCAN_SDT_Code93 = 109;
inline constexpr std::int32_t SCAN_SDT_Code128 = 110;
inline constexpr std::int32_t SCAN_SDT_UPCA_S = 111;
inline constexpr std::int32_t SCAN_SDT_UPCE_S = 112;
inline constexpr std::int32_t SCAN_SDT_UPCD1 = 113;
inline constexpr std::int32_t SCAN_SDT_UPCD2 = 114;
inline constexpr std::int32_t SCAN_SDT_UPCD3 = 115;
inline constexpr std::int32_t SCAN_SDT_UPCD4 = 116;
inline constexpr std::int32_t SCAN_SDT_UPCD5 = 117;
inline constexpr std::int32_t SCAN_SDT_EAN8_S = 118;
inline constexpr std::int32_t SCAN_SDT_EAN13_S = 119;
inline constexpr std::int32_t SCAN_SDT_EAN128 = 120;
inline constexpr std::int32_t SCAN_SDT_PDF417 = 201;
inline constexpr std::int32_t SCAN_SDT_OTHER = 501;

// Scale.
inline constexpr std::int32_t PIDX_SCAL = 9000;
inline constexpr std::int32_t PIDX_SCAL_MaximumWeight = PIDX_SCAL + 1;
inline constexpr std::int32_t PIDX_SCAL_WeightUnit = PIDX_SCAL + 2;
inline constexpr std::int32_t PIDX_SCAL_AsyncMode = PIDX_SCAL + 3;
inline constexpr std::int32_t PIDX_SCAL_MaxDisplayTextChars = PIDX_SCAL + 4;
inline constexpr std::int32_t PIDX_SCAL_TareWeight = PIDX_SCAL + 5;
inline constexpr std::int32_t PIDX_SCAL_CapDisplay = PIDX_SCAL + 501;
inline constexpr std::int32_t PIDX_SCAL_CapDisplayText = PIDX_SCAL + 502;
inline constexpr std::int32_t PIDX_SCAL_CapPriceCalculating = PIDX_SCAL + 503;
inline constexpr std::int32_t PIDX_SCAL_CapTareWeight = PIDX_SCAL + 504;
inline constexpr std::int32_t PIDX_SCAL_CapZeroScale = PIDX_SCAL + 505;

inline constexpr std::int32_t SCAL_WU_GRAM = 1;
inline constexpr std::int32_t SCAL_WU_KILOGRAM = 2;
inline constexpr std::int32_t SCAL_WU_OUNCE = 3;
inline constexpr std::int32_t SCAL_WU_POUND = 4;

}  // namespace talvex
