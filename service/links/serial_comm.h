// The link to one serial port: an RS-232 port, or a USB device that presents itself as a
// virtual COM port ("POS USB"). Opens and configures the port (9600 baud, 8N1, no handshake,
// DTR and RTS off), finds out whether it is a USB virtual COM port, reads on a thread of its own
// and hands every chunk of received bytes (at most 32 per read) to the callback, and writes.
//
// Threads: the constructor, WriteString and the destructor run on the arbiter's callers, one at
// a time (the arbiter's lock); WriteString may also run on the read thread (a subscriber that
// answers from inside its callback). The callback runs on the read thread.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "service/links/comm.h"

namespace talvex {

class CSerialComm : public CComm {
  public:
    // Bytes per read.
    static constexpr std::size_t kReadBufferSize = 32;
    // How long the destructor waits for the read thread.
    static constexpr std::chrono::milliseconds kStopWait{100};

    // Opens `portName` ("\\.\COM3", or a name the serial layer resolves, such as "/dev/pts/4" or
    // "rfc2217://127.0.0.1:7000"), configures it and starts the read thread. Raises
    // SerialCommError "Unable to open COM port (<n>).", "Unable to retrieve COM port settings
    // (<n>).", "Unable to update COM port settings (<n>).", "Unable to start read thread (<n>)."
    // or "Error writing data (<n>)." (the probe byte of a USB port); nothing stays open then.
    CSerialComm(const std::string& portName, void* context, DataCallback callback);

    // Stops the read thread and closes the port. Waits at most kStopWait: a thread still inside
    // the callback then finishes on its own (the port is closed at once all the same, so it can
    // be opened again), and is joined when it ends or at module unload.
    ~CSerialComm() override;

    CSerialComm(const CSerialComm&) = delete;
    CSerialComm& operator=(const CSerialComm&) = delete;

    // Writes all bytes. Raises SerialCommError "Error writing data (<n>)." on failure.
    void WriteString(const std::string& ToWrite) override;
    // Whether the open-time probe found a USB virtual COM port.
    bool IsUsbPort() override { return m_USBPort; }

    // Whether the read thread still runs (it ends when the callback returns 1, on a read error,
    // or on destruction). For diagnostics and tests.
    bool Reading() const;

    struct ReadState;

  private:
    void OpenComPort(const std::string& Target);
    static void RunReadThread(const std::shared_ptr<ReadState>& state);

    bool m_USBPort = false;
    std::shared_ptr<ReadState> m_State;  // shared with the read thread; owns the port
};

}  // namespace talvex
