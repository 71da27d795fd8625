// The RFC 2217 backend: the I/O shell around ClientProtocol (rfc2217_protocol.h).
//
// One TCP socket carries data and the server's answers, so there is one reader at a time: the
// thread that needs bytes (Read, or SetSettings and the opening waiting for answers) becomes the
// reader, polls the socket with the mutex released, feeds what arrived to the protocol and wakes
// the others. Read waits without time-out and wakes on CancelRead's eventfd; settings calls wait
// at most kAnswerWait for the server's answers, and a slot the server once left unanswered is
// not waited for again (ser2net serving a pty never answers DTR/RTS).
//
// Sending goes through one queue: a writer appends and sends under m_WriteMutex; the reader
// appends its negotiation replies and sends them only if nobody else is sending (whoever holds
// m_WriteMutex sends them before letting go), so the reader never waits for a writer that is
// itself waiting for the server to read.
//
// Lock order: m_Mutex is never held while m_WriteMutex is taken or while polling.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <system_error>
#include <utility>

#include "platform/serial/rfc2217_protocol.h"
#include "platform/serial/serial_backends.h"

namespace sorvex::serial {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using rfc2217::OptionState;
using rfc2217::Slot;

constexpr auto kConnectWait = 5s;
// How long a settings call waits for the server's answers. Loopback and LAN servers answer in
// well under a millisecond; this covers slow device servers on a WAN.
constexpr auto kAnswerWait = 500ms;

std::string ErrnoText(int err) {
    return std::generic_category().message(err);
}

int RemainingMs(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

std::string Printable(std::string_view bytes) {
    std::string s;
    for (char c : bytes.substr(0, 120)) {
        s.push_back(c >= 0x20 && c < 0x7F ? c : ' ');
    }
    while (!s.empty() && s.back() == ' ') {
        s.pop_back();
    }
    return s;
}

// Sends everything; 0 or the errno that stopped it.
int SendAll(int sock, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::send(sock, data.data(), data.size(), MSG_NOSIGNAL);
        if (n > 0) {
            data.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            pollfd fd{sock, POLLOUT, 0};
            if (::poll(&fd, 1, -1) < 0 && errno != EINTR) {
                return errno;
            }
            continue;
        }
        return n < 0 ? errno : EPIPE;
    }
    return 0;
}

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

class Rfc2217Port final : public Port {
  public:
    Rfc2217Port(std::string name, int sock, int cancelFd)
        : m_Name(std::move(name)), m_Socket(sock), m_Cancel(cancelFd) {}

    ~Rfc2217Port() override {
        ::close(m_Socket);
        ::close(m_Cancel);
    }

    // Opens the telnet conversation and asks for the port's settings (the questions go out as
    // soon as the server agrees to COM-PORT-OPTION), waiting for the answers as a settings call
    // does. A server that ends the connection meanwhile refuses the port (ser2net: "Port
    // already in use"): PortError(5) with what it said.
    void Begin() {
        std::array<bool, rfc2217::kSlotCount> all;
        all.fill(true);
        std::string start;
        {
            std::lock_guard lock(m_Mutex);
            start = m_Protocol.Start();
            m_Protocol.RequestQuery(all, start);
        }
        Send(std::move(start));
        Lock lock(m_Mutex);
        try {
            WaitForAnswers(lock, all, {});
        } catch (const PortError& e) {
            std::string said = Printable(std::string_view(m_In.payload).substr(m_PendingOff));
            throw PortError(e.code() == 1167 ? 5 : e.code(),
                            m_Name + ": the server ended the connection while opening" +
                                (said.empty() ? std::string() : " (\"" + said + "\")"));
        }
    }

    LineSettings GetSettings() override {
        std::lock_guard lock(m_Mutex);
        const LineSettings& c = m_Protocol.Confirmed();
        const LineSettings& r = m_Requested;
        auto server = [&](Slot s) {
            auto i = static_cast<std::size_t>(s);
            return !m_Asked[i] || m_Protocol.Answers(s) > m_AnswersAtRequest[i];
        };
        LineSettings out;
        out.baudRate = server(Slot::BaudRate) ? c.baudRate : r.baudRate;
        out.dataBits = server(Slot::DataSize) ? c.dataBits : r.dataBits;
        out.parity = server(Slot::Parity) ? c.parity : r.parity;
        out.stopBits = server(Slot::StopSize) ? c.stopBits : r.stopBits;
        const LineSettings& flow = server(Slot::Flow) ? c : r;
        out.ctsFlow = flow.ctsFlow;
        out.dsrFlow = flow.dsrFlow;
        out.xonXoff = flow.xonXoff;
        out.dtr = server(Slot::Dtr) ? c.dtr : r.dtr;
        out.rts = server(Slot::Rts) ? c.rts : r.rts;
        return out;
    }

    void SetSettings(const LineSettings& s) override {
        if (s.baudRate == 0) {
            throw PortError(87, m_Name + ": baud rate 0 is not a line speed");
        }
        if (s.dataBits < 5 || s.dataBits > 8) {
            throw PortError(87, m_Name + ": " + std::to_string(s.dataBits) +
                                    " data bits are not supported (5..8)");
        }
        Lock lock(m_Mutex);
        std::array<bool, rfc2217::kSlotCount> wait{};
        m_AnswersAtRequest = Snapshot();
        for (std::size_t i = 0; i < wait.size(); ++i) {
            m_Asked[i] = true;
            wait[i] = !m_Silent[i];
        }
        m_Requested = s;
        std::string request;
        m_Protocol.RequestSettings(s, request);
        const bool answerable = m_Protocol.ComPort() != OptionState::No;
        auto before = m_AnswersAtRequest;
        lock.unlock();
        Send(std::move(request));
        lock.lock();
        if (answerable) {
            WaitForAnswers(lock, wait, before);
        }
    }

    std::size_t Read(void* buffer, std::size_t size) override {
        if (size == 0) {
            return 0;
        }
        Lock lock(m_Mutex);
        for (;;) {
            if (m_Cancelled) {
                return 0;
            }
            if (m_PendingOff < m_In.payload.size()) {
                std::size_t n = std::min(size, m_In.payload.size() - m_PendingOff);
                std::memcpy(buffer, m_In.payload.data() + m_PendingOff, n);
                m_PendingOff += n;
                if (m_PendingOff == m_In.payload.size()) {
                    m_In.payload.clear();
                    m_PendingOff = 0;
                } else if (m_PendingOff > 65536) {
                    m_In.payload.erase(0, m_PendingOff);  // bytes kept coming meanwhile
                    m_PendingOff = 0;
                }
                return n;
            }
            if (m_Failure) {
                throw *m_Failure;
            }
            if (!m_ReaderActive) {
                ReadOnce(lock, -1, true);
            } else {
                m_Changed.wait(lock);
            }
        }
    }

    void Write(const void* data, std::size_t size) override {
        std::string encoded;
        rfc2217::AppendData(std::string_view(static_cast<const char*>(data), size), encoded);
        Send(std::move(encoded));
    }

    void SetBreak(bool on) override {
        std::string request;
        {
            std::lock_guard lock(m_Mutex);
            m_Protocol.RequestBreak(on, request);
        }
        Send(std::move(request));
    }

    void CancelRead() override {
        {
            std::lock_guard lock(m_Mutex);
            m_Cancelled = true;
        }
        m_Changed.notify_all();
        std::uint64_t one = 1;
        // The counter cannot overflow from a few cancels; a failure leaves the flag to do it.
        (void)!::write(m_Cancel, &one, sizeof one);
    }

    bool OnUsbBus() const override { return false; }
    const std::string& Name() const override { return m_Name; }

  private:
    using Lock = std::unique_lock<std::mutex>;

    std::array<std::uint64_t, rfc2217::kSlotCount> Snapshot() const {
        std::array<std::uint64_t, rfc2217::kSlotCount> counts{};
        for (std::size_t i = 0; i < counts.size(); ++i) {
            counts[i] = m_Protocol.Answers(Slot(i));
        }
        return counts;
    }

    // Called with m_Mutex held and nobody else reading: becomes the reader for one poll.
    void ReadOnce(Lock& lock, int timeoutMs, bool withCancel) {
        m_ReaderActive = true;
        lock.unlock();
        pollfd fds[2] = {{m_Socket, POLLIN, 0}, {m_Cancel, POLLIN, 0}};
        int ready = ::poll(fds, withCancel ? 2 : 1, timeoutMs);
        int pollErr = ready < 0 ? errno : 0;
        char buffer[16384];
        ssize_t got = -1;
        int recvErr = EAGAIN;
        if (ready > 0 && fds[0].revents != 0) {
            got = ::recv(m_Socket, buffer, sizeof buffer, 0);
            recvErr = got < 0 ? errno : 0;
        }
        lock.lock();
        m_ReaderActive = false;
        std::string reply;
        if (ready < 0 && pollErr != EINTR) {
            m_Failure.emplace(Win32FromErrno(pollErr),
                              m_Name + ": poll failed: " + ErrnoText(pollErr));
        } else if (got > 0) {
            m_Protocol.Receive(std::string_view(buffer, static_cast<std::size_t>(got)), m_In);
            reply.swap(m_In.reply);
            m_In.messages.clear();
        } else if (got == 0) {
            m_Failure.emplace(1167, m_Name + ": the server closed the connection");
        } else if (recvErr != EAGAIN && recvErr != EINTR) {
            m_Failure.emplace(Win32FromErrno(recvErr),
                              m_Name + ": connection lost: " + ErrnoText(recvErr));
        }
        m_Changed.notify_all();
        if (!reply.empty()) {
            lock.unlock();
            Post(std::move(reply));
            lock.lock();
        }
    }

    void WaitForAnswers(Lock& lock, const std::array<bool, rfc2217::kSlotCount>& slots,
                        const std::array<std::uint64_t, rfc2217::kSlotCount>& before) {
        const auto deadline = Clock::now() + kAnswerWait;
        for (;;) {
            bool done = true;
            for (std::size_t i = 0; i < slots.size(); ++i) {
                done = done && (!slots[i] || m_Protocol.Answers(Slot(i)) > before[i]);
            }
            if (done || m_Protocol.ComPort() == OptionState::No) {
                return;
            }
            if (m_Failure) {
                throw *m_Failure;
            }
            if (Clock::now() >= deadline) {
                for (std::size_t i = 0; i < slots.size(); ++i) {
                    if (slots[i] && m_Protocol.Answers(Slot(i)) <= before[i]) {
                        m_Silent[i] = true;  // this server does not answer it: stop waiting
                    }
                }
                return;
            }
            if (!m_ReaderActive) {
                ReadOnce(lock, RemainingMs(deadline), false);
            } else {
                m_Changed.wait_until(lock, deadline);
            }
        }
    }

    // Any thread but the reader's polling: sends the bytes (and whatever else is queued).
    void Send(std::string bytes) {
        {
            std::lock_guard q(m_QueueMutex);
            if (m_SendError != 0) {
                throw SendFailure(m_SendError);
            }
            m_Outgoing += bytes;
        }
        Drain(true);
        std::lock_guard q(m_QueueMutex);
        if (m_SendError != 0) {
            throw SendFailure(m_SendError);
        }
    }

    // The reader's replies: sent now if nobody else is sending, else by whoever is.
    void Post(std::string bytes) {
        {
            std::lock_guard q(m_QueueMutex);
            if (m_SendError != 0) {
                return;  // the connection is gone; Read reports it
            }
            m_Outgoing += bytes;
        }
        Drain(false);
    }

    void Drain(bool wait) {
        for (;;) {
            std::unique_lock w(m_WriteMutex, std::defer_lock);
            if (wait) {
                w.lock();
            } else if (!w.try_lock()) {
                return;  // the holder sends our bytes before it lets go
            }
            for (;;) {
                std::string chunk;
                {
                    std::lock_guard q(m_QueueMutex);
                    if (m_SendError != 0) {
                        m_Outgoing.clear();
                    }
                    chunk.swap(m_Outgoing);
                }
                if (chunk.empty()) {
                    break;
                }
                if (int err = SendAll(m_Socket, chunk); err != 0) {
                    std::lock_guard q(m_QueueMutex);
                    m_SendError = err;
                }
            }
            w.unlock();
            std::lock_guard q(m_QueueMutex);
            if (m_Outgoing.empty() || m_SendError != 0) {
                return;
            }
            wait = false;  // queued after our last look: send it unless someone else is
        }
    }

    PortError SendFailure(int err) const {
        return PortError(Win32FromErrno(err), m_Name + ": send failed: " + ErrnoText(err));
    }

    const std::string m_Name;
    const int m_Socket;
    const int m_Cancel;

    std::mutex m_Mutex;  // guards the protocol and everything down to m_Silent
    std::condition_variable m_Changed;
    rfc2217::ClientProtocol m_Protocol;
    rfc2217::Output m_In;  // payload: received, not yet read
    std::size_t m_PendingOff = 0;
    bool m_ReaderActive = false;
    bool m_Cancelled = false;
    std::optional<PortError> m_Failure;
    LineSettings m_Requested;
    std::array<std::uint64_t, rfc2217::kSlotCount> m_AnswersAtRequest{};
    std::array<bool, rfc2217::kSlotCount> m_Asked{};
    std::array<bool, rfc2217::kSlotCount> m_Silent{};

    std::mutex m_WriteMutex;  // one sender on the socket at a time
    std::mutex m_QueueMutex;  // guards m_Outgoing and m_SendError
    std::string m_Outgoing;
    int m_SendError = 0;
};

std::string UrlOf(const std::string& host, std::uint16_t port) {
    bool v6 = host.find(':') != std::string::npos;
    return "rfc2217://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

// A connected, non-blocking socket.
int Connect(const std::string& name, const std::string& host, std::uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
    if (rc != 0) {
        unsigned long code = 31;
        if (rc == EAI_NONAME || rc == EAI_FAIL || rc == EAI_NODATA) {
            code = 2;
        } else if (rc == EAI_AGAIN) {
            code = 121;
        } else if (rc == EAI_SYSTEM) {
            code = Win32FromErrno(errno);
        }
        throw PortError(code,
                        name + ": cannot resolve host \"" + host + "\": " + ::gai_strerror(rc));
    }
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> guard(list, &::freeaddrinfo);
    int lastErr = EHOSTUNREACH;
    const auto deadline = Clock::now() + kConnectWait;
    for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        Fd sock{::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                         ai->ai_protocol)};
        if (sock.fd < 0) {
            lastErr = errno;
            continue;
        }
        if (::connect(sock.fd, ai->ai_addr, ai->ai_addrlen) != 0) {
            if (errno != EINPROGRESS) {
                lastErr = errno;
                continue;
            }
            pollfd p{sock.fd, POLLOUT, 0};
            int ready;
            do {
                ready = ::poll(&p, 1, RemainingMs(deadline));
            } while (ready < 0 && errno == EINTR);
            if (ready == 0) {
                lastErr = ETIMEDOUT;
                continue;
            }
            int err = 0;
            socklen_t len = sizeof err;
            if (ready < 0 || ::getsockopt(sock.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
                err = errno;
            }
            if (err != 0) {
                lastErr = err;
                continue;
            }
        }
        int one = 1;
        ::setsockopt(sock.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // latency matters
        ::setsockopt(sock.fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
        return std::exchange(sock.fd, -1);
    }
    throw PortError(Win32FromErrno(lastErr), name + ": cannot connect: " + ErrnoText(lastErr));
}

}  // namespace

std::unique_ptr<Port> OpenRfc2217Port(const std::string& host, std::uint16_t port) {
    const std::string name = UrlOf(host, port);
    Fd sock{Connect(name, host, port)};
    Fd cancel{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    if (cancel.fd < 0) {
        int err = errno;
        throw PortError(Win32FromErrno(err),
                        name + ": cannot create the cancel event: " + ErrnoText(err));
    }
    auto p = std::make_unique<Rfc2217Port>(name, sock.fd, cancel.fd);
    sock.fd = cancel.fd = -1;
    p->Begin();
    return p;
}

}  // namespace sorvex::serial
