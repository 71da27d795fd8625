// What went wrong in the last failing call of the object layer on this thread, in words.
//
// The object layer answers with HRESULTs, as its callers expect; the codes say what kind of
// failure it was but not which file, key or name was at fault. The functions of this layer
// (loading and registering type libraries, creating objects, reading notes) clear the detail
// when they start and set it when they fail, so a tool can print one clear line:
//   "HKEY_CLASSES_ROOT\CLSID\{...}\InprocServer32: "libx.so" is not an absolute path".
#pragma once

#include <string>

namespace sorvex::com {

// The detail of the last failure on this thread, or "" when the last call succeeded or the
// failure carried no detail.
std::string LastErrorDetail();

// For implementers of this layer (and of servers that want their own words shown by tools).
void SetLastErrorDetail(std::string detail);
void ClearLastErrorDetail();

}  // namespace sorvex::com
