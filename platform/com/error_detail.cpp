#include "platform/com/error_detail.h"

#include <utility>

namespace sorvex::com {

namespace {
thread_local std::string t_Detail;
}

std::string LastErrorDetail() {
    return t_Detail;
}

void SetLastErrorDetail(std::string detail) {
    t_Detail = std::move(detail);
}

void ClearLastErrorDetail() {
    t_Detail.clear();
}

}  // namespace sorvex::com
