// Test helpers for the stand-in service objects (standin_so.cpp): registering the stand-in
// library and extra classes of it, and writing OPOS profiles, in the current state root.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace sorvex::opos_test {

// The stand-in library's path.
std::string StandInLibrary();

// Calls the stand-in's DllRegisterServer: its type library and the classes
// "SorvexStandIn.Scanner" and "SorvexStandIn.Scale". Throws std::runtime_error on failure.
void RegisterStandIn();
// Removes the stand-in's type library registration (the classes stay).
void UnregisterStandInTypeLib();

// Registers one more class: `progId` with a new CLSID whose InprocServer32 is `library`
// (default the stand-in), "StandInKind" `kind` ("Scanner" / "Scale") and "StandInHide"
// `hide` (method names, comma separated).
// `fail`: methods whose Invoke then fails.
void RegisterClass(const std::string& progId, const std::string& kind, const std::string& hide = {},
                   const std::string& library = {}, const std::string& fail = {});

// Writes HKLM "SOFTWARE\OLEforRetail\ServiceOPOS\<deviceClass>\<name>" with `progId` as its
// default value (none when empty) and the values given (REG_SZ).
void WriteProfile(const std::string& deviceClass, const std::string& name,
                  const std::string& progId,
                  const std::vector<std::pair<std::string, std::string>>& values = {});

}  // namespace sorvex::opos_test
