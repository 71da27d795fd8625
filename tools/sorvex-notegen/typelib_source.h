// The source language of type libraries: a subset of MIDL, written once by a server's author.
//
//   import "oaidl.idl";                         // accepted and ignored
//
//   [uuid(6B29FC40-CA47-1067-B31D-00DD010662DA), version(1.0), lcid(1033),
//    helpstring("TalvexSO 1.0 Type Library")]
//   library TALVEXSOLib
//   {
//       importlib("stdole2.tlb");               // accepted and ignored
//
//       [object, uuid(...), dual, oleautomation, nonextensible,
//        helpstring("ITalvexScanner Interface")]
//       interface ITalvexScanner : IDispatch
//       {
//           [id(1), helpstring("method OpenService")]
//           HRESULT OpenService([in] BSTR DeviceClass, [in] BSTR DeviceName,
//                               [in] IDispatch* pDispatch, [out, retval] long* pRC);
//       };
//
//       [uuid(...), helpstring("Orvanta OPOS Scanner Class")]
//       coclass TalvexScanner
//       {
//           [default] interface ITalvexScanner;
//       };
//   };
//
// Interfaces may also stand before the library block (all interfaces of the file belong to the
// library). Interfaces derive from IDispatch; every method returns HRESULT and has an id.
// Parameter types: long, BSTR, IDispatch*, VARIANT_BOOL, CURRENCY (or CY), and long*, BSTR*,
// VARIANT_BOOL*, CURRENCY*; directions [in], [out], [in, out], [out, retval]. Coclasses are
// creatable unless [noncreatable]; without [default] the first interface is the default.
// Comments: // and /* */. Strings: C escapes \" \\ \n \r \t \xHH (any byte).
#pragma once

#include <string>
#include <string_view>

#include "platform/com/typelib_format.h"

namespace sorvex::notegen {

// False with "file:line: what is wrong" in `error` when the source is not valid.
bool ParseTypeLibSource(std::string_view text, std::string_view fileName, com::TypeLibDesc& out,
                        std::string& error);

}  // namespace sorvex::notegen
