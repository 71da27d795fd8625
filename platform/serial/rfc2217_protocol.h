// RFC 2217 (telnet COM-PORT-OPTION) as pure state machines: bytes in; payload, replies and
// COM-PORT messages out. Nothing here touches a file descriptor or a clock, so tests and the
// fuzzer drive both sides with byte tables, and the I/O shells (rfc2217_port.cpp for the client,
// rfc2217_server.cpp for the server) only move bytes and wait.
//
// Device and server quirks this code relies on are noted at the top of rfc2217_protocol.cpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/serial/serial_port.h"

namespace sorvex::serial::rfc2217 {

// Telnet (RFC 854/855) command bytes.
inline constexpr std::uint8_t kIac = 255;
inline constexpr std::uint8_t kDont = 254;
inline constexpr std::uint8_t kDo = 253;
inline constexpr std::uint8_t kWont = 252;
inline constexpr std::uint8_t kWill = 251;
inline constexpr std::uint8_t kSb = 250;
inline constexpr std::uint8_t kNop = 241;
inline constexpr std::uint8_t kSe = 240;

// Telnet options this code knows.
inline constexpr std::uint8_t kOptBinary = 0;    // RFC 856
inline constexpr std::uint8_t kOptEcho = 1;      // RFC 857
inline constexpr std::uint8_t kOptSga = 3;       // RFC 858, suppress go-ahead
inline constexpr std::uint8_t kOptComPort = 44;  // RFC 2217

// COM-PORT-OPTION commands as the client sends them; the server's message for command c is
// c + kServerOffset.
enum Command : std::uint8_t {
    kSignature = 0,
    kSetBaudRate = 1,  // 4 bytes, network order; 0 asks for the current rate
    kSetDataSize = 2,  // 5..8; 0 asks
    kSetParity = 3,    // 1 none, 2 odd, 3 even, 4 mark, 5 space; 0 asks
    kSetStopSize = 4,  // 1 one, 2 two, 3 one and a half; 0 asks
    kSetControl = 5,   // see the Control values
    kNotifyLineState = 6,
    kNotifyModemState = 7,
    kFlowControlSuspend = 8,
    kFlowControlResume = 9,
    kSetLineStateMask = 10,
    kSetModemStateMask = 11,
    kPurgeData = 12,
};
inline constexpr std::uint8_t kServerOffset = 100;

// SET-CONTROL values (RFC 2217, section "SET-CONTROL").
enum Control : std::uint8_t {
    kFlowAsk = 0,  // outbound (or both) flow control setting
    kFlowNone = 1,
    kFlowXonXoff = 2,
    kFlowHardware = 3,
    kBreakAsk = 4,
    kBreakOn = 5,
    kBreakOff = 6,
    kDtrAsk = 7,
    kDtrOn = 8,
    kDtrOff = 9,
    kRtsAsk = 10,
    kRtsOn = 11,
    kRtsOff = 12,
    kInboundFlowAsk = 13,
    kInboundFlowNone = 14,
    kInboundFlowXonXoff = 15,
    kInboundFlowHardware = 16,
    kFlowDcd = 17,
    kFlowDtr = 18,
    kFlowDsr = 19,
};

// Appends data bytes for the peer with every 0xFF doubled.
void AppendData(std::string_view data, std::string& out);
// Appends IAC SB COM-PORT-OPTION <command> <data, 0xFF doubled> IAC SE.
void AppendComPort(std::uint8_t command, std::string_view data, std::string& out);

// One COM-PORT-OPTION subnegotiation the peer sent, data with the doubling undone.
struct ComPortMessage {
    std::uint8_t command = 0;  // as received: server messages carry the +100
    std::string data;
};

// What one Receive call produced; calls append, so one Output may collect several calls.
struct Output {
    std::string payload;                   // data bytes
    std::string reply;                     // bytes to send to the peer, encoded
    std::vector<ComPortMessage> messages;  // COM-PORT-OPTION subnegotiations
    void Clear() {
        payload.clear();
        reply.clear();
        messages.clear();
    }
};

// The negotiation state of one option on one side (RFC 1143 "Q method", without the queue
// bits: nobody here changes its mind while a request is pending).
enum class OptionState : std::uint8_t { No, Yes, WantNo, WantYes };

// The telnet layer both sides share. Splits the byte stream into payload, commands and
// subnegotiations, across any split of the input; answers option requests by a fixed policy
// (accept the options it was given, refuse every other with DONT/WONT) and never loops.
class TelnetEngine {
  public:
    // `local`: options this side agrees to perform (answers DO with WILL);
    // `remote`: options this side lets the peer perform (answers WILL with DO).
    TelnetEngine(std::initializer_list<std::uint8_t> local,
                 std::initializer_list<std::uint8_t> remote);

    // What the owner of an engine hears, in stream order, while Receive runs.
    class Events {
      public:
        // A COM-PORT-OPTION subnegotiation (without Events it goes to out.messages).
        virtual void OnComPort(ComPortMessage message, Output& out) = 0;
        // This side's state of an option changed.
        virtual void OnLocalChanged(std::uint8_t option, OptionState state, std::string& reply) = 0;

      protected:
        ~Events() = default;
    };

    // Parses bytes from the peer. COM-PORT-OPTION subnegotiations go to `events` or to
    // out.messages; those of other options are dropped. Other commands inside the data (NOP,
    // GA, ...) are dropped. Any cut of the same bytes into calls gives the same output.
    void Receive(std::string_view bytes, Output& out, Events* events = nullptr);

    // Asks to enable an option on this side (WILL) or the peer's (DO); appends the request
    // unless the option is on or already requested.
    void RequestLocal(std::uint8_t option, std::string& out);
    void RequestRemote(std::uint8_t option, std::string& out);

    OptionState Local(std::uint8_t option) const { return m_Local[option]; }
    OptionState Remote(std::uint8_t option) const { return m_Remote[option]; }

    // Protocol violations seen and tolerated (stray bytes after IAC, broken subnegotiations).
    std::size_t Malformed() const { return m_Malformed; }

  private:
    enum class State : std::uint8_t { Data, Iac, Negotiate, SbOption, Sb, SbIac };
    static constexpr std::size_t kMaxSubnegotiation = 256;

    void Command(std::uint8_t command, std::uint8_t option, std::string& reply, Events* events);
    void EndSubnegotiation(Output& out, Events* events);

    std::array<bool, 256> m_AcceptLocal{};
    std::array<bool, 256> m_AcceptRemote{};
    std::array<OptionState, 256> m_Local{};
    std::array<OptionState, 256> m_Remote{};
    State m_State = State::Data;
    std::uint8_t m_Verb = 0;
    std::uint8_t m_SbOption = 0;
    bool m_SbOverflow = false;
    std::string m_Sb;
    std::size_t m_Malformed = 0;
};

// The settings a client asks for and a server confirms, one slot per independent answer.
enum class Slot : std::uint8_t { BaudRate, DataSize, Parity, StopSize, Flow, Dtr, Rts, Count };
inline constexpr std::size_t kSlotCount = static_cast<std::size_t>(Slot::Count);

// The client side. Offers BINARY both ways, SGA both ways and WILL COM-PORT-OPTION; lets the
// server ECHO (a serial server never echoes data, and refusing would only add a round trip).
// COM-PORT requests made before the server agreed (DO COM-PORT-OPTION) are held back and go out
// with the reply to that DO; after a refusal they are dropped.
class ClientProtocol : private TelnetEngine::Events {
  public:
    explicit ClientProtocol(std::string signature = "Sorvex");

    // The bytes to send as soon as the connection stands.
    std::string Start();

    // Parses bytes from the server; server answers update Confirmed() and Answers().
    void Receive(std::string_view bytes, Output& out);

    // Appends the requests that set every slot from `settings`.
    void RequestSettings(const LineSettings& settings, std::string& out);
    // Appends requests that ask for the current value of the slots in `slots`.
    void RequestQuery(const std::array<bool, kSlotCount>& slots, std::string& out);
    // Appends BREAK on/off (SET-CONTROL 5/6).
    void RequestBreak(bool on, std::string& out);

    OptionState ComPort() const { return m_Telnet.Local(kOptComPort); }
    // How many answers the server gave for the slot so far (valid or not).
    std::uint64_t Answers(Slot slot) const { return m_Answers[static_cast<std::size_t>(slot)]; }
    // The settings as the server last confirmed them, slot by slot (defaults where it never did).
    const LineSettings& Confirmed() const { return m_Confirmed; }
    // The last NOTIFY-MODEMSTATE / NOTIFY-LINESTATE bits (0 until one came).
    std::uint8_t ModemState() const { return m_ModemState; }
    std::uint8_t LineState() const { return m_LineState; }
    const std::string& ServerSignature() const { return m_ServerSignature; }
    std::size_t Malformed() const { return m_Telnet.Malformed() + m_Malformed; }

  private:
    void Queue(std::uint8_t command, std::string_view data, std::string& out);
    void OnComPort(ComPortMessage message, Output& out) override;
    void OnLocalChanged(std::uint8_t option, OptionState state, std::string& reply) override;
    void Handle(const ComPortMessage& message, std::string& reply);

    TelnetEngine m_Telnet;
    std::string m_Signature;
    std::string m_Deferred;  // COM-PORT requests waiting for DO COM-PORT-OPTION
    LineSettings m_Confirmed;
    std::array<std::uint64_t, kSlotCount> m_Answers{};
    std::uint8_t m_ModemState = 0;
    std::uint8_t m_LineState = 0;
    std::string m_ServerSignature;
    std::size_t m_Malformed = 0;
};

// The port a server serves, as far as RFC 2217 can see it.
struct ServerModel {
    LineSettings settings;
    bool breakOn = false;
    std::uint8_t inboundFlow = kInboundFlowNone;
    std::uint8_t lineStateMask = 0;
    std::uint8_t modemStateMask = 0;
    std::string clientSignature;
    // A USB virtual COM port: a request for 300 baud leaves the rate unchanged, and the answer
    // says so.
    bool ignoreBaud300 = false;
    // Whether DTR/RTS requests are answered (ser2net serving a pty applies nothing and says
    // nothing); they are applied to the model either way.
    bool answerModemLines = true;
};

// The server side. Offers BINARY and SGA, asks the client for COM-PORT-OPTION, and turns the
// client's requests into changes of a ServerModel and answers (Serve).
class ServerProtocol {
  public:
    explicit ServerProtocol(std::string signature = "Sorvex simulator");

    std::string Start();
    // Parses bytes from the client; its COM-PORT requests go to out.messages.
    void Receive(std::string_view bytes, Output& out);
    // Applies one client request to the model and appends the answer (if the request gets
    // one). Requests with values outside the RFC leave the model as it is and are answered
    // with the current value.
    void Serve(const ComPortMessage& request, ServerModel& model, std::string& out) const;

    // NOTIFY-MODEMSTATE / NOTIFY-LINESTATE for the client.
    static void AppendNotifyModemState(std::uint8_t state, std::string& out);
    static void AppendNotifyLineState(std::uint8_t state, std::string& out);

    OptionState ComPort() const { return m_Telnet.Remote(kOptComPort); }
    std::size_t Malformed() const { return m_Telnet.Malformed(); }

  private:
    TelnetEngine m_Telnet;
    std::string m_Signature;
};

}  // namespace sorvex::serial::rfc2217
