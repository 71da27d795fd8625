#include <cstdint>
#include <string_view>

#include "sorvex/opos.h"

namespace sorvex::opos {

std::string_view ResultName(std::int32_t code) {
    switch (code) {
        case OPOS_SUCCESS:
            return "OPOS_SUCCESS";
        case OPOS_E_CLOSED:
            return "OPOS_E_CLOSED";
        case OPOS_E_CLAIMED:
            return "OPOS_E_CLAIMED";
        case OPOS_E_NOTCLAIMED:
            return "OPOS_E_NOTCLAIMED";
        case OPOS_E_NOSERVICE:
            return "OPOS_E_NOSERVICE";
        case OPOS_E_DISABLED:
            return "OPOS_E_DISABLED";
        case OPOS_E_ILLEGAL:
            return "OPOS_E_ILLEGAL";
        case OPOS_E_NOHARDWARE:
            return "OPOS_E_NOHARDWARE";
        case OPOS_E_OFFLINE:
            return "OPOS_E_OFFLINE";
        case OPOS_E_NOEXIST:
            return "OPOS_E_NOEXIST";
        case OPOS_E_EXISTS:
            return "OPOS_E_EXISTS";
        case OPOS_E_FAILURE:
            return "OPOS_E_FAILURE";
        case OPOS_E_TIMEOUT:
            return "OPOS_E_TIMEOUT";
        case OPOS_E_BUSY:
            return "OPOS_E_BUSY";
        case OPOS_E_EXTENDED:
            return "OPOS_E_EXTENDED";
        case OPOS_ESCAL_OVERWEIGHT:
            return "OPOS_ESCAL_OVERWEIGHT";
        case OPOS_OPENRESULT:
            return "OPOS_OPENRESULT";
        case OPOS_OR_ALREADYOPEN:
            return "OPOS_OR_ALREADYOPEN";
        case OPOS_OR_REGBADNAME:
            return "OPOS_OR_REGBADNAME";
        case OPOS_OR_REGPROGID:
            return "OPOS_OR_REGPROGID";
        case OPOS_OR_CREATE:
            return "OPOS_OR_CREATE";
        case OPOS_OR_BADIF:
            return "OPOS_OR_BADIF";
        case OPOS_OR_FAILEDOPEN:
            return "OPOS_OR_FAILEDOPEN";
        case OPOS_OR_BADVERSION:
            return "OPOS_OR_BADVERSION";
        case OPOS_ORS_NOPORT:
            return "OPOS_ORS_NOPORT";
        case OPOS_ORS_NOTSUPPORTED:
            return "OPOS_ORS_NOTSUPPORTED";
        case OPOS_ORS_CONFIG:
            return "OPOS_ORS_CONFIG";
        case OPOS_ORS_SPECIFIC:
            return "OPOS_ORS_SPECIFIC";
        default:
            return {};
    }
}

}  // namespace sorvex::opos
