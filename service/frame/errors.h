// The error classes of the service objects. Each carries only its message; none carries a
// result code. Errors travel inside as these exceptions and leave as OPOS result codes at fixed
// points (OpenService, DeviceEnable, the event handlers and the link callbacks).
#pragma once

#include <stdexcept>
#include <string>

namespace talvex {

class TalvexError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class CommArbiterError : public TalvexError {
  public:
    using TalvexError::TalvexError;
};

class CommError : public TalvexError {
  public:
    using TalvexError::TalvexError;
};

class SerialCommError : public CommError {
  public:
    using CommError::CommError;
};

class IbmUsbCommError : public CommError {
  public:
    using CommError::CommError;
};

// Errors of the OPOS frame; only its children are raised.
class OposError : public TalvexError {
  public:
    using TalvexError::TalvexError;
};

class OposRegistryError : public OposError {
  public:
    using OposError::OposError;
};

class OposEventError : public OposError {
  public:
    using OposError::OposError;
};

class OposQueueError : public OposError {
  public:
    using OposError::OposError;
};

// Number/text conversion failures. Not a TalvexError, so the handlers for TalvexError do not
// catch it.
class StringError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

}  // namespace talvex
