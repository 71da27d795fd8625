// A small RFC 2217 server on loopback: the I/O shell around ServerProtocol, for the device
// simulator and the tests. It serves one client at a time (a second connection is accepted and
// closed at once, as a serial port in use), bridges the client's payload to a callback, applies
// the client's requests to a ServerModel and answers them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "platform/serial/rfc2217_protocol.h"

namespace sorvex::serial {

class Rfc2217Server {
  public:
    // Called on the server thread with payload bytes from the client. Of one received chunk,
    // the payload is handed over before the requests in it are served.
    using DataHandler = std::function<void(std::string_view)>;
    // Called on the server thread after a request changed (or asked about) the model.
    using RequestHandler =
        std::function<void(const rfc2217::ComPortMessage&, const rfc2217::ServerModel&)>;

    struct Options {
        rfc2217::ServerModel model;  // the port's initial state and quirks
        std::string signature = "Sorvex simulator";
        RequestHandler onRequest;  // optional
        std::uint16_t port = 0;    // 0: any free port
    };

    // Listens on 127.0.0.1 and starts the server thread. Throws std::system_error when the
    // socket cannot be set up.
    explicit Rfc2217Server(DataHandler onData);
    Rfc2217Server(DataHandler onData, Options options);
    // Drops the client and stops the thread; the handlers are not called any more afterwards.
    ~Rfc2217Server();
    Rfc2217Server(const Rfc2217Server&) = delete;
    Rfc2217Server& operator=(const Rfc2217Server&) = delete;

    std::uint16_t Port() const { return m_Port; }
    std::string Url() const;  // "rfc2217://127.0.0.1:<port>"

    // True once a client is connected (waits at most `timeout`).
    bool WaitForClient(std::chrono::milliseconds timeout);
    bool Connected() const;

    // Sends payload to the client (0xFF doubled); waits while the client does not read. False
    // when no client is connected. Any thread, the handlers included.
    bool Send(std::string_view payload);
    // Ends the client's connection: it reads what was sent, then end of stream. The server then
    // accepts the next client. Any thread.
    void Disconnect();

    // The model as the requests left it.
    rfc2217::ServerModel Model() const;

  private:
    void Run();
    void Accept();
    void Serve();
    void CloseClient();
    bool SendRaw(std::string_view bytes);  // m_SendMutex held

    DataHandler m_OnData;
    Options m_Options;
    int m_Listen = -1;
    int m_Wake = -1;
    std::uint16_t m_Port = 0;

    mutable std::mutex m_SendMutex;  // guards m_Client and writes to it
    int m_Client = -1;
    std::condition_variable m_ClientChanged;

    mutable std::mutex m_ModelMutex;
    rfc2217::ServerModel m_Model;

    rfc2217::ServerProtocol m_Protocol;  // server thread only
    std::thread m_Thread;
};

}  // namespace sorvex::serial
