// Registration of type libraries in HKEY_CLASSES_ROOT, and loading them from there.
//
// RegisterTypeLib writes, for a library {L} version M.m (hex digits, as COM spells them) and
// locale lcid (hex without "0x": 1033 is "409"):
//
//   TypeLib\{L}\M.m                     (default) = the library's help string (else its name)
//   TypeLib\{L}\M.m\<lcid>\linux64      (default) = the library's full path
//   TypeLib\{L}\M.m\FLAGS               (default) = the library flags in decimal ("0")
//   TypeLib\{L}\M.m\HELPDIR             (default) = the help folder ("" when none)
//
// and for every interface marked dual or oleautomation, {I}:
//
//   Interface\{I}                       (default) = the interface name
//   Interface\{I}\ProxyStubClsid        (default) = {00020424-0000-0000-C000-000000000046}
//   Interface\{I}\ProxyStubClsid32      (default) = {00020424-0000-0000-C000-000000000046}
//   Interface\{I}\TypeLib               (default) = {L}, "Version" = "M.m"
//
// The platform subkey follows the library's system kind: "linux64" for every library built
// here ("win32" / "win64" for the Windows kinds). All values are REG_SZ; all keys are written
// in one transaction.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/com/typeinfo.h"

namespace sorvex::com {

// The universal marshaler, named as the proxy of every automation interface.
inline constexpr GUID CLSID_PSOAInterface{
    0x00020424, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// Writes the keys above. `fullPath` must be absolute (E_INVALIDARG otherwise); `helpDir` may
// be empty. TYPE_E_REGISTRYACCESS (E_ACCESSDENIED when the hive is read-only) when the keys
// cannot be written; nothing is written then.
HRESULT RegisterTypeLib(ITypeLib* lib, const std::filesystem::path& fullPath,
                        const std::filesystem::path& helpDir);

// Removes one registration: the "<lcid>\<platform>" path key of version M.m, then the
// "<lcid>" key when nothing else is below it, then the version key (FLAGS and HELPDIR
// included) when no other locale is registered for it, and then the library key when no
// other version remains. When the version key goes, so do the Interface\{I} keys whose
// "TypeLib" names this library and version (found by scanning HKCR\Interface, so it works
// also when the library file is gone or has changed). TYPE_E_LIBNOTREGISTERED when that
// registration does not exist; TYPE_E_REGISTRYACCESS when the keys cannot be changed.
HRESULT UnRegisterTypeLib(const GUID& libid, std::uint16_t major, std::uint16_t minor, LCID lcid,
                          SysKind syskind);

// The registered path of a library. Version: the same major and the highest registered minor
// not below `minor`. Locale: LOCALE_USER_DEFAULT and LOCALE_SYSTEM_DEFAULT stand for 1033;
// then the exact locale, its primary language (lcid & 0x3FF), the neutral locale 0, and then
// any other registered locale, lowest first (names in a type library are not translated, so a
// library registered for another locale serves as well). Only this system's platform subkey
// counts. TYPE_E_LIBNOTREGISTERED when nothing matches.
HRESULT QueryPathOfRegTypeLib(const GUID& libid, std::uint16_t major, std::uint16_t minor,
                              LCID lcid, std::filesystem::path& path);

// Loads a registered library: QueryPathOfRegTypeLib, then LoadTypeLib of that path; the
// library found there must carry the requested identifier and major version
// (TYPE_E_LIBNOTREGISTERED otherwise).
HRESULT LoadRegTypeLib(const GUID& libid, std::uint16_t major, std::uint16_t minor, LCID lcid,
                       ITypeLib** lib);

// Registry path of a version key, "TypeLib\{L}\1.0".
std::string TypeLibVersionKey(const GUID& libid, std::uint16_t major, std::uint16_t minor);

// UnRegisterTypeLib under a stable C name, for servers that look the unregistration step up
// at run time (as a Windows server looks up the automation library's export) and skip it when
// it is missing.
using UnRegisterTypeLibFunc = HRESULT (*)(const GUID* libid, std::uint16_t major,
                                          std::uint16_t minor, LCID lcid, std::uint16_t syskind);
inline constexpr char kUnRegisterTypeLibSymbol[] = "SorvexUnRegisterTypeLib";

// Looks kUnRegisterTypeLibSymbol up in the platform library with dlsym; null when missing.
UnRegisterTypeLibFunc FindUnRegisterTypeLib();

}  // namespace sorvex::com

extern "C" sorvex::com::HRESULT SorvexUnRegisterTypeLib(const sorvex::com::GUID* libid,
                                                        std::uint16_t major, std::uint16_t minor,
                                                        sorvex::com::LCID lcid,
                                                        std::uint16_t syskind);
