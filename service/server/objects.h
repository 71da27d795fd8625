// The device objects of the server: the COM objects around the scanner and scale service
// objects, and the module lock count they keep.
#pragma once

#include "platform/com/unknown.h"
#include "talvexso_typelib.h"

namespace talvex::server {

// The number of live device objects plus outstanding server locks; DllCanUnloadNow answers S_OK
// when it is 0.
void ModuleLock();
void ModuleUnlock();

// Create a device object on the calling thread (its apartment), with its hidden window, and
// answer the requested interface. E_OUTOFMEMORY, E_FAIL (the device could not start its
// delivery thread), the window's error as a Win32 HRESULT, or E_NOINTERFACE on failure (the
// object is destroyed again).
sorvex::com::HRESULT CreateScannerObject(const sorvex::com::IID& iid, void** object);
sorvex::com::HRESULT CreateScaleObject(const sorvex::com::IID& iid, void** object);

}  // namespace talvex::server
