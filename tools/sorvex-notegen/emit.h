// The C++ sources sorvex-notegen writes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/com/typelib_format.h"

namespace sorvex::notegen {

// A .cpp that defines one note (SORVEX_ELF_NOTE) holding `data`.
std::string NoteSource(std::string_view origin, std::string_view section,
                       std::string_view typeConstant, std::string_view data);

// A header for server code: LIBID_<lib>, <lib>_MajorVersion/_MinorVersion/_Lcid, IID_<itf>
// and CLSID_<coclass> constants, each interface as a class in slot order, and each
// interface's dispatch table <itf>_DispatchMembers.
std::string TypeLibHeader(std::string_view origin, const com::TypeLibDesc& lib);

}  // namespace sorvex::notegen
