// What an in-process server library exports, and helpers its entry points use.
//
// A server exports exactly four functions with C linkage and default visibility (everything
// else hidden; cmake/SorvexCom.cmake's sorvex_com_server() enforces it with a version script):
//
//   DllGetClassObject(clsid, iid, out)  the class object of a class the library implements;
//                                       CLASS_E_CLASSNOTAVAILABLE for other classes
//   DllCanUnloadNow()                   S_OK when no object and no server lock is alive
//                                       (the loader may then unload the library), else S_FALSE
//   DllRegisterServer()                 writes the class keys and registers the type library
//   DllUnregisterServer()               removes them
//
// Including this header gives the definitions the right linkage and visibility.
#pragma once

#include <filesystem>

#include "platform/com/guid.h"
#include "platform/com/hresult.h"

#define SORVEX_COM_EXPORT extern "C" __attribute__((visibility("default")))

SORVEX_COM_EXPORT sorvex::com::HRESULT DllGetClassObject(const sorvex::com::CLSID& clsid,
                                                         const sorvex::com::IID& iid,
                                                         void** object);
SORVEX_COM_EXPORT sorvex::com::HRESULT DllCanUnloadNow();
SORVEX_COM_EXPORT sorvex::com::HRESULT DllRegisterServer();
SORVEX_COM_EXPORT sorvex::com::HRESULT DllUnregisterServer();

namespace sorvex::com {

using DllGetClassObjectFunc = HRESULT (*)(const CLSID& clsid, const IID& iid, void** object);
using DllCanUnloadNowFunc = HRESULT (*)();
using DllRegisterServerFunc = HRESULT (*)();
using DllUnregisterServerFunc = HRESULT (*)();

// The absolute path of the loaded module that contains `address` (for a server: the path it was
// loaded from, which is the path it registers); empty when no module contains it. The main
// program answers /proc/self/exe's target.
std::filesystem::path ModulePath(const void* address);

}  // namespace sorvex::com
