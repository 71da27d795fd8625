// The device links' common base and the callbacks subscribers register.
//
// Callbacks run on a link's read thread. Frames and reports are byte strings that may hold any
// byte value, 0x00 and 0xFF included.
#pragma once

#include <string>

namespace talvex {

// Serial subscriptions: called with one complete frame, start and stop byte included. For the
// serial link itself (whose subscriber is the port's frame router) the bytes are one chunk as
// read; a return value of 1 tells the link to stop reading.
using DataCallback = int (*)(void* context, const std::string& data);

// USB links: called with one input report (report id first) and lost = 0, or once with an
// empty report and lost = 1 when a scanner went away. The return value is not used.
using UsbDataCallback = int (*)(void* context, const std::string& report, int lost);

// A link to one device. Links belong to the port arbiter, which serialises WriteString and the
// destructor with its lock.
class CComm {
  public:
    virtual ~CComm() = default;
    // Writes the bytes to the device. The base does nothing.
    virtual void WriteString(const std::string& ToWrite) { (void)ToWrite; }
    // True when the link is a USB virtual COM port. The base says false.
    virtual bool IsUsbPort() { return false; }
};

}  // namespace talvex
