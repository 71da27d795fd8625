// The RFC 2217 server shell. One thread polls the listening socket, the client and a wake
// eventfd; it parses, serves requests and calls the handlers. Send may run on any thread; it
// and the server thread's answers share m_SendMutex, so bytes never interleave.
#include "platform/serial/rfc2217_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace sorvex::serial {

namespace {

[[noreturn]] void ThrowErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

Rfc2217Server::Rfc2217Server(DataHandler onData) : Rfc2217Server(std::move(onData), Options{}) {}

Rfc2217Server::Rfc2217Server(DataHandler onData, Options options)
    : m_OnData(std::move(onData)),
      m_Options(std::move(options)),
      m_Model(m_Options.model),
      m_Protocol(m_Options.signature) {
    m_Listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_Listen < 0) {
        ThrowErrno("RFC 2217 server: socket");
    }
    int one = 1;
    ::setsockopt(m_Listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(m_Options.port);
    socklen_t len = sizeof addr;
    if (::bind(m_Listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(m_Listen, 4) != 0 ||
        ::getsockname(m_Listen, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        int err = errno;
        ::close(m_Listen);
        errno = err;
        ThrowErrno("RFC 2217 server: listen on 127.0.0.1:" + std::to_string(m_Options.port));
    }
    m_Port = ntohs(addr.sin_port);
    m_Wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_Wake < 0) {
        int err = errno;
        ::close(m_Listen);
        errno = err;
        ThrowErrno("RFC 2217 server: eventfd");
    }
    m_Thread = std::thread([this] { Run(); });
}

Rfc2217Server::~Rfc2217Server() {
    std::uint64_t one = 1;
    (void)!::write(m_Wake, &one, sizeof one);
    m_Thread.join();
    CloseClient();
    ::close(m_Listen);
    ::close(m_Wake);
}

std::string Rfc2217Server::Url() const {
    return "rfc2217://127.0.0.1:" + std::to_string(m_Port);
}

bool Rfc2217Server::WaitForClient(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_SendMutex);
    return m_ClientChanged.wait_for(lock, timeout, [this] { return m_Client >= 0; });
}

bool Rfc2217Server::Connected() const {
    std::lock_guard lock(m_SendMutex);
    return m_Client >= 0;
}

bool Rfc2217Server::Send(std::string_view payload) {
    std::string encoded;
    rfc2217::AppendData(payload, encoded);
    std::lock_guard lock(m_SendMutex);
    return SendRaw(encoded);
}

void Rfc2217Server::Disconnect() {
    std::lock_guard lock(m_SendMutex);
    if (m_Client >= 0) {
        ::shutdown(m_Client, SHUT_RDWR);  // the server thread sees the end and closes
    }
}

rfc2217::ServerModel Rfc2217Server::Model() const {
    std::lock_guard lock(m_ModelMutex);
    return m_Model;
}

bool Rfc2217Server::SendRaw(std::string_view bytes) {
    if (m_Client < 0) {
        return false;
    }
    while (!bytes.empty()) {
        ssize_t n = ::send(m_Client, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{m_Client, POLLOUT, 0};
            ::poll(&p, 1, -1);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return false;  // the client is gone; the server thread notices and closes
        }
    }
    return true;
}

void Rfc2217Server::CloseClient() {
    std::lock_guard lock(m_SendMutex);
    if (m_Client >= 0) {
        ::close(m_Client);
        m_Client = -1;
    }
    m_ClientChanged.notify_all();
}

void Rfc2217Server::Run() {
    for (;;) {
        int client;
        {
            std::lock_guard lock(m_SendMutex);
            client = m_Client;
        }
        pollfd fds[3] = {{m_Wake, POLLIN, 0}, {m_Listen, POLLIN, 0}, {client, POLLIN, 0}};
        if (::poll(fds, client >= 0 ? 3 : 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;  // cannot happen with valid descriptors; the destructor still joins
        }
        if (fds[0].revents != 0) {
            return;
        }
        if (fds[1].revents != 0) {
            Accept();
        }
        if (client >= 0 && fds[2].revents != 0) {
            Serve();
        }
    }
}

void Rfc2217Server::Accept() {
    int fd = ::accept4(m_Listen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
        return;  // the client gave up before we took it
    }
    std::lock_guard lock(m_SendMutex);
    if (m_Client >= 0) {
        ::close(fd);  // one client at a time, like a serial port
        return;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    m_Client = fd;
    m_Protocol = rfc2217::ServerProtocol(m_Options.signature);
    SendRaw(m_Protocol.Start());
    m_ClientChanged.notify_all();
}

void Rfc2217Server::Serve() {
    char buffer[16384];
    ssize_t n = ::recv(m_Client, buffer, sizeof buffer, 0);  // m_Client changes on this thread only
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    if (n <= 0) {
        CloseClient();
        return;
    }
    rfc2217::Output out;
    m_Protocol.Receive(std::string_view(buffer, static_cast<std::size_t>(n)), out);
    if (!out.reply.empty()) {
        std::lock_guard lock(m_SendMutex);
        SendRaw(out.reply);
    }
    if (!out.payload.empty() && m_OnData) {
        m_OnData(out.payload);
    }
    for (const auto& request : out.messages) {
        std::string answer;
        rfc2217::ServerModel after;
        {
            std::lock_guard lock(m_ModelMutex);
            m_Protocol.Serve(request, m_Model, answer);
            after = m_Model;
        }
        if (!answer.empty()) {
            std::lock_guard lock(m_SendMutex);
            SendRaw(answer);
        }
        if (m_Options.onRequest) {
            m_Options.onRequest(request, after);
        }
    }
}

}  // namespace sorvex::serial
