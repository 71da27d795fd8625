// Apartments: the threads that may create and call objects.
//
// A thread joins with CoInitialize and leaves with CoUninitialize (calls nest: each successful
// CoInitialize needs one CoUninitialize). A thread's apartment is its message queue
// (platform/window): objects it creates belong to it, are called on it, and their windows and
// timers are served by its message loop. No calls are carried between threads; an object is
// called on the thread that created it.
//
// When the last apartment of the process leaves, libraries whose DllCanUnloadNow answers S_OK
// are unloaded (CoFreeUnusedLibraries); a library that still has live objects stays loaded.
// A thread that ends without leaving is counted out when it ends (nothing is unloaded then).
#pragma once

#include "platform/com/hresult.h"

namespace sorvex::com {

// S_OK when the calling thread joins, S_FALSE when it had joined already (still counted once
// more). Creates the thread's message queue. E_UNEXPECTED (detail in LastErrorDetail()) when
// the queue cannot be made.
HRESULT CoInitialize();

// Leaves once; a thread that has not joined is ignored.
void CoUninitialize();

// True while the calling thread has joined.
bool IsApartmentThread();

}  // namespace sorvex::com
