// A pseudo terminal for tests and benchmarks that play a serial device themselves: the device
// side is the master; a COM port mapping names the slave, which the link under test opens. The
// pty keeps a slave descriptor open itself (never reading it), so that it survives the link's
// closes and reopens.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace sorvex::test {

// How the slave's line starts: as the kernel creates it (the link under test must make it raw
// itself), or already raw (for readers that are not a link).
enum class PtyLine { AsCreated, Raw };

class Pty {
  public:
    explicit Pty(PtyLine line = PtyLine::AsCreated);  // throws std::system_error
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const std::string& SlavePath() const { return m_SlavePath; }
    int Master() const { return m_Master; }
    int Slave() const { return m_Slave; }
    // Device to host: writes all bytes to the master. Throws std::system_error.
    void Send(std::string_view bytes);
    // Host to device: what arrives within `timeout` (stops early once `atLeast` bytes came).
    std::string Receive(std::chrono::milliseconds timeout, std::size_t atLeast = SIZE_MAX);
    // Closes the master: the host sees the device hang up.
    void CloseMaster();

  private:
    int m_Master = -1;
    int m_Slave = -1;
    std::string m_SlavePath;
};

}  // namespace sorvex::test
