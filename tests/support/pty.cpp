#include "tests/support/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace sorvex::test {

Pty::Pty(PtyLine line) {
    char name[256] = {};
    if (::openpty(&m_Master, &m_Slave, name, nullptr, nullptr) != 0) {
        throw std::system_error(errno, std::generic_category(), "openpty");
    }
    ::fcntl(m_Master, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_Slave, F_SETFD, FD_CLOEXEC);
    m_SlavePath = name;
    termios tio{};
    if (line == PtyLine::Raw && ::tcgetattr(m_Slave, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(m_Slave, TCSANOW, &tio);
    }
}

Pty::~Pty() {
    CloseMaster();
    ::close(m_Slave);
}

void Pty::Send(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(m_Master, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::system_error(errno, std::generic_category(), "write to the pty master");
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

std::string Pty::Receive(std::chrono::milliseconds timeout, std::size_t atLeast) {
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (got.size() < atLeast) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            break;
        }
        pollfd fd{m_Master, POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(left)) <= 0) {
            break;
        }
        char buffer[256];
        ssize_t n = ::read(m_Master, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

void Pty::CloseMaster() {
    if (m_Master >= 0) {
        ::close(m_Master);
        m_Master = -1;
    }
}

}  // namespace sorvex::test
