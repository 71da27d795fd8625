// Creating objects of in-process servers: ProgID, CLSID, "InprocServer32", dlopen,
// DllGetClassObject, the class factory; and unloading the libraries again.
//
// Registry (HKEY_CLASSES_ROOT):
//   <ProgID>\CLSID                 (default) = "{clsid}"
//   <ProgID>\CurVer                (default) = the current versioned ProgID (followed first)
//   CLSID\{clsid}\InprocServer32   (default) = the library's absolute path
//
// Errors, as COM answers them:
//   E_INVALIDARG               null out pointer (which is otherwise always cleared first)
//   CO_E_NOTINITIALIZED        the calling thread has not called CoInitialize
//   CO_E_CLASSSTRING           unknown ProgID, or its CLSID value is no GUID
//   REGDB_E_CLASSNOTREG        no "CLSID\{clsid}" key, no "InprocServer32" key or an empty path,
//                              or a context without CLSCTX_INPROC_SERVER
//   CO_E_DLLNOTFOUND           the registered path is not absolute, or no file is there
//   CO_E_ERRORINDLL            the file cannot be loaded (dlopen's reason in the detail) or does
//                              not export DllGetClassObject
//   REGDB_E_READREGDB          the registry cannot be read
//   CLASS_E_CLASSNOTAVAILABLE  (from the library) it does not implement the class
//   E_NOINTERFACE, CLASS_E_NOAGGREGATION, ... (from the class factory) as answered
// Every failure leaves a detail in LastErrorDetail() that names the key or path.
//
// Libraries are loaded once (RTLD_NOW | RTLD_LOCAL) and kept until CoFreeUnusedLibraries or the
// last CoUninitialize finds that their DllCanUnloadNow answers S_OK; one without
// DllCanUnloadNow stays loaded. A library is never unloaded while the loader is creating an
// object in it, nor when an object was created in it after it was asked. Servers keep their
// lock count up while any object or server lock is alive; objects are released on their
// apartment's thread (so no object code runs when the count reaches 0).
//
// All functions may be called from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string_view>

#include "platform/com/guid.h"
#include "platform/com/unknown.h"

namespace sorvex::com {

inline constexpr std::uint32_t CLSCTX_INPROC_SERVER = 0x1;
inline constexpr std::uint32_t CLSCTX_INPROC_HANDLER = 0x2;
inline constexpr std::uint32_t CLSCTX_LOCAL_SERVER = 0x4;
inline constexpr std::uint32_t CLSCTX_REMOTE_SERVER = 0x10;
inline constexpr std::uint32_t CLSCTX_INPROC = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER;
inline constexpr std::uint32_t CLSCTX_SERVER =
    CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
inline constexpr std::uint32_t CLSCTX_ALL =
    CLSCTX_INPROC | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

// The class of a ProgID. A "CurVer" naming a ProgID with a CLSID is followed (up to 8 steps, so
// a loop ends); otherwise the ProgID's own "CLSID" counts. Needs no apartment.
HRESULT CLSIDFromProgID(std::string_view progId, CLSID* clsid);

// The library's class object for the class, asked for `iid`. Holding a class object does not
// keep the library loaded; IClassFactory::LockServer(true) does.
HRESULT CoGetClassObject(const CLSID& clsid, std::uint32_t context, const IID& iid, void** object);

// A new object: the class object's IClassFactory::CreateInstance(outer, iid, object).
HRESULT CoCreateInstance(const CLSID& clsid, IUnknown* outer, std::uint32_t context, const IID& iid,
                         void** object);

// CLSIDFromProgID, then CoCreateInstance with CLSCTX_INPROC_SERVER.
HRESULT CreateInstanceByProgID(std::string_view progId, const IID& iid, void** object);

// Unloads every loaded library whose DllCanUnloadNow answers S_OK. Must not be called from a
// library's own static constructors or destructors (such a nested call does nothing).
void CoFreeUnusedLibraries();

// The same, but a library is unloaded only once it has answered S_OK for at least `delay`
// (since the first such answer, with no object created in it since): the first call that
// sees it idle only notes the time. With several apartments, a delay covers the last
// instructions an object's final Release runs on another thread after the server's count
// reached 0. A delay of 0 is CoFreeUnusedLibraries.
void CoFreeUnusedLibrariesEx(std::chrono::milliseconds delay);

// Whether the loader holds the library (by the path registered for it) loaded.
bool IsLibraryLoaded(const std::filesystem::path& path);

}  // namespace sorvex::com
