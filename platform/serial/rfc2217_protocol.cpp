// RFC 2217 state machines.
//
// Quirks and decisions this code relies on:
// - Data is binary in both directions whatever the BINARY negotiation ends in: no NVT
//   translation, "CR NUL" is two data bytes. Bytes are bytes; every server we target (ser2net
//   4.x, device servers) passes the line through untouched.
// - IAC followed by a byte below 240 is not a command. The byte is kept as data and the IAC
//   dropped (a peer that forgot to double a 0xFF loses that byte only); counted as malformed.
// - IAC followed by a command inside a subnegotiation (no IAC SE): the subnegotiation is dropped
//   and the command is carried out. Subnegotiations longer than 256 bytes are dropped.
// - COM-PORT subnegotiations are accepted before the negotiation of the option has finished:
//   servers send NOTIFY-MODEMSTATE right after their DO, sometimes before our WILL arrived.
// - ser2net 4.3 serving a pty ("local") answers SET-BAUDRATE, SET-DATASIZE, SET-PARITY,
//   SET-STOPSIZE and the flow control SET-CONTROL values, but never DTR/RTS ON/OFF (a pty has no
//   modem lines). The client shell therefore waits a bounded time for each answer and stops
//   waiting for slots a server never answers.
// - ser2net answers the DTR and RTS questions (SET-CONTROL 7, 10) with the question itself
//   (105 7, 105 10): counted as an answer that confirms no value.
// - ser2net answers BREAK OFF (6) with 5; break answers are not used.
// - ser2net opens with WILL SGA, DO SGA, WILL ECHO, DONT ECHO, DO BINARY, WILL BINARY,
//   DO COM-PORT-OPTION and sends NOTIFY-MODEMSTATE as soon as the option is agreed. A second
//   client gets the same negotiation, then the text "Port already in use" and end of stream:
//   the client shell treats a connection that ends while opening as a refused (in use) port.
// - A server answers with what it applied, not with what was asked: a USB virtual COM port
//   behind a device server (or the simulator with ignoreBaud300) answers a 300-baud request with
//   its unchanged rate. That answer is the read-back the USB probe uses.
// - FLOWCONTROL-SUSPEND/RESUME from the server are ignored: TCP's own flow control already
//   stops us when the server stops reading.
// - Answers for SET-CONTROL are matched to slots by value (flow 1/2/3/17/18/19, DTR 8/9,
//   RTS 11/12); BREAK answers (5/6) and inbound flow answers (14/15/16) confirm nothing we read
//   back and are ignored.
#include "platform/serial/rfc2217_protocol.h"

#include <utility>

namespace sorvex::serial::rfc2217 {

namespace {

std::uint8_t Byte(char c) {
    return static_cast<std::uint8_t>(c);
}

std::string One(std::uint8_t value) {
    return std::string(1, static_cast<char>(value));
}

std::string Be32(std::uint32_t value) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) {
        s[static_cast<std::size_t>(i)] = static_cast<char>((value >> (24 - 8 * i)) & 0xFF);
    }
    return s;
}

std::uint32_t FromBe32(std::string_view data) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
        v = (v << 8) | Byte(data[static_cast<std::size_t>(i)]);
    }
    return v;
}

void AppendCommand(std::uint8_t verb, std::uint8_t option, std::string& out) {
    out.push_back(static_cast<char>(kIac));
    out.push_back(static_cast<char>(verb));
    out.push_back(static_cast<char>(option));
}

std::uint8_t ParityCode(Parity p) {
    switch (p) {
        case Parity::None:
            return 1;
        case Parity::Odd:
            return 2;
        case Parity::Even:
            return 3;
        case Parity::Mark:
            return 4;
        case Parity::Space:
            return 5;
    }
    return 1;
}

bool ParityFromCode(std::uint8_t code, Parity& p) {
    static constexpr Parity kParity[] = {Parity::None, Parity::Odd, Parity::Even, Parity::Mark,
                                         Parity::Space};
    if (code < 1 || code > 5) {
        return false;
    }
    p = kParity[code - 1];
    return true;
}

std::uint8_t StopCode(StopBits s) {
    switch (s) {
        case StopBits::One:
            return 1;
        case StopBits::Two:
            return 2;
        case StopBits::OnePointFive:
            return 3;
    }
    return 1;
}

bool StopFromCode(std::uint8_t code, StopBits& s) {
    switch (code) {
        case 1:
            s = StopBits::One;
            return true;
        case 2:
            s = StopBits::Two;
            return true;
        case 3:
            s = StopBits::OnePointFive;
            return true;
        default:
            return false;
    }
}

std::uint8_t FlowCode(const LineSettings& s) {
    if (s.ctsFlow) {
        return kFlowHardware;
    }
    if (s.xonXoff) {
        return kFlowXonXoff;
    }
    if (s.dsrFlow) {
        return kFlowDsr;
    }
    return kFlowNone;
}

bool IsFlowValue(std::uint8_t v) {
    return v == kFlowNone || v == kFlowXonXoff || v == kFlowHardware || v == kFlowDcd ||
           v == kFlowDtr || v == kFlowDsr;
}

void ApplyFlow(std::uint8_t v, LineSettings& s) {
    s.ctsFlow = v == kFlowHardware;
    s.xonXoff = v == kFlowXonXoff;
    s.dsrFlow = v == kFlowDsr;
}

}  // namespace

void AppendData(std::string_view data, std::string& out) {
    out.reserve(out.size() + data.size());
    for (char c : data) {
        out.push_back(c);
        if (Byte(c) == kIac) {
            out.push_back(c);
        }
    }
}

void AppendComPort(std::uint8_t command, std::string_view data, std::string& out) {
    out.push_back(static_cast<char>(kIac));
    out.push_back(static_cast<char>(kSb));
    out.push_back(static_cast<char>(kOptComPort));
    out.push_back(static_cast<char>(command));
    AppendData(data, out);
    out.push_back(static_cast<char>(kIac));
    out.push_back(static_cast<char>(kSe));
}

// ---- TelnetEngine ----

TelnetEngine::TelnetEngine(std::initializer_list<std::uint8_t> local,
                           std::initializer_list<std::uint8_t> remote) {
    for (std::uint8_t o : local) {
        m_AcceptLocal[o] = true;
    }
    for (std::uint8_t o : remote) {
        m_AcceptRemote[o] = true;
    }
    m_Local.fill(OptionState::No);
    m_Remote.fill(OptionState::No);
}

void TelnetEngine::RequestLocal(std::uint8_t option, std::string& out) {
    if (m_Local[option] == OptionState::No) {
        m_Local[option] = OptionState::WantYes;
        AppendCommand(kWill, option, out);
    }
}

void TelnetEngine::RequestRemote(std::uint8_t option, std::string& out) {
    if (m_Remote[option] == OptionState::No) {
        m_Remote[option] = OptionState::WantYes;
        AppendCommand(kDo, option, out);
    }
}

// RFC 1143: answer only what changes the state, so two engines never loop.
void TelnetEngine::Command(std::uint8_t verb, std::uint8_t option, std::string& reply,
                           Events* events) {
    const bool peerSide = verb == kWill || verb == kWont;
    const bool enable = verb == kWill || verb == kDo;
    OptionState& state = peerSide ? m_Remote[option] : m_Local[option];
    const bool accept = peerSide ? m_AcceptRemote[option] : m_AcceptLocal[option];
    const std::uint8_t yes = peerSide ? kDo : kWill;
    const std::uint8_t no = peerSide ? kDont : kWont;
    const OptionState before = state;
    switch (state) {
        case OptionState::No:
            if (enable) {
                if (accept) {
                    state = OptionState::Yes;
                    AppendCommand(yes, option, reply);
                } else {
                    AppendCommand(no, option, reply);
                }
            }
            break;
        case OptionState::Yes:
            if (!enable) {
                state = OptionState::No;
                AppendCommand(no, option, reply);
            }
            break;
        case OptionState::WantNo:
            state = OptionState::No;  // an enable here answers our disable wrongly: stay off
            break;
        case OptionState::WantYes:
            state = enable ? OptionState::Yes : OptionState::No;
            break;
    }
    if (!peerSide && state != before && events != nullptr) {
        events->OnLocalChanged(option, state, reply);
    }
}

void TelnetEngine::EndSubnegotiation(Output& out, Events* events) {
    if (m_SbOverflow || m_Sb.empty()) {
        ++m_Malformed;
    } else if (m_SbOption == kOptComPort) {
        ComPortMessage message;
        message.command = Byte(m_Sb[0]);
        message.data = m_Sb.substr(1);
        if (events != nullptr) {
            events->OnComPort(std::move(message), out);
        } else {
            out.messages.push_back(std::move(message));
        }
    }
    m_Sb.clear();
    m_SbOverflow = false;
}

void TelnetEngine::Receive(std::string_view bytes, Output& out, Events* events) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const std::uint8_t b = Byte(bytes[i]);
        switch (m_State) {
            case State::Data: {
                // Copy the run of plain data at once.
                std::size_t end = i;
                while (end < bytes.size() && Byte(bytes[end]) != kIac) {
                    ++end;
                }
                out.payload.append(bytes.data() + i, end - i);
                if (end < bytes.size()) {
                    m_State = State::Iac;
                }
                i = end;
                break;
            }
            case State::Iac:
                if (b == kIac) {
                    out.payload.push_back(static_cast<char>(kIac));
                    m_State = State::Data;
                } else if (b == kWill || b == kWont || b == kDo || b == kDont) {
                    m_Verb = b;
                    m_State = State::Negotiate;
                } else if (b == kSb) {
                    m_State = State::SbOption;
                } else if (b < kSe) {
                    ++m_Malformed;
                    out.payload.push_back(static_cast<char>(b));
                    m_State = State::Data;
                } else {
                    m_State = State::Data;  // NOP, DM, BRK, IP, AO, AYT, EC, EL, GA, stray SE
                }
                break;
            case State::Negotiate:
                Command(m_Verb, b, out.reply, events);
                m_State = State::Data;
                break;
            case State::SbOption:
                m_SbOption = b;
                m_Sb.clear();
                m_SbOverflow = false;
                m_State = State::Sb;
                break;
            case State::Sb:
                if (b == kIac) {
                    m_State = State::SbIac;
                } else if (m_Sb.size() < kMaxSubnegotiation) {
                    m_Sb.push_back(static_cast<char>(b));
                } else {
                    m_SbOverflow = true;
                }
                break;
            case State::SbIac:
                if (b == kIac) {
                    if (m_Sb.size() < kMaxSubnegotiation) {
                        m_Sb.push_back(static_cast<char>(kIac));
                    } else {
                        m_SbOverflow = true;
                    }
                    m_State = State::Sb;
                } else if (b == kSe) {
                    EndSubnegotiation(out, events);
                    m_State = State::Data;
                } else {
                    ++m_Malformed;
                    m_Sb.clear();
                    m_SbOverflow = false;
                    m_State = State::Iac;
                    --i;  // carry out IAC <b> as a command
                }
                break;
        }
    }
}

// ---- ClientProtocol ----

ClientProtocol::ClientProtocol(std::string signature)
    : m_Telnet({kOptBinary, kOptSga, kOptComPort}, {kOptBinary, kOptSga, kOptEcho}),
      m_Signature(std::move(signature)) {}

std::string ClientProtocol::Start() {
    std::string out;
    m_Telnet.RequestLocal(kOptBinary, out);
    m_Telnet.RequestRemote(kOptBinary, out);
    m_Telnet.RequestLocal(kOptSga, out);
    m_Telnet.RequestRemote(kOptSga, out);
    m_Telnet.RequestLocal(kOptComPort, out);
    return out;
}

void ClientProtocol::Queue(std::uint8_t command, std::string_view data, std::string& out) {
    switch (ComPort()) {
        case OptionState::Yes:
            AppendComPort(command, data, out);
            break;
        case OptionState::WantYes:
            AppendComPort(command, data, m_Deferred);
            break;
        default:
            break;  // refused (or never offered): the server cannot take requests
    }
}

void ClientProtocol::RequestSettings(const LineSettings& s, std::string& out) {
    Queue(kSetBaudRate, Be32(s.baudRate), out);
    Queue(kSetDataSize, One(s.dataBits), out);
    Queue(kSetParity, One(ParityCode(s.parity)), out);
    Queue(kSetStopSize, One(StopCode(s.stopBits)), out);
    Queue(kSetControl, One(FlowCode(s)), out);
    Queue(kSetControl, One(s.dtr ? kDtrOn : kDtrOff), out);
    Queue(kSetControl, One(s.rts ? kRtsOn : kRtsOff), out);
}

void ClientProtocol::RequestQuery(const std::array<bool, kSlotCount>& slots, std::string& out) {
    auto want = [&](Slot s) { return slots[static_cast<std::size_t>(s)]; };
    if (want(Slot::BaudRate)) {
        Queue(kSetBaudRate, Be32(0), out);
    }
    if (want(Slot::DataSize)) {
        Queue(kSetDataSize, One(0), out);
    }
    if (want(Slot::Parity)) {
        Queue(kSetParity, One(0), out);
    }
    if (want(Slot::StopSize)) {
        Queue(kSetStopSize, One(0), out);
    }
    if (want(Slot::Flow)) {
        Queue(kSetControl, One(kFlowAsk), out);
    }
    if (want(Slot::Dtr)) {
        Queue(kSetControl, One(kDtrAsk), out);
    }
    if (want(Slot::Rts)) {
        Queue(kSetControl, One(kRtsAsk), out);
    }
}

void ClientProtocol::RequestBreak(bool on, std::string& out) {
    Queue(kSetControl, One(on ? kBreakOn : kBreakOff), out);
}

void ClientProtocol::Receive(std::string_view bytes, Output& out) {
    m_Telnet.Receive(bytes, out, this);
}

void ClientProtocol::OnLocalChanged(std::uint8_t option, OptionState state, std::string& reply) {
    if (option == kOptComPort) {
        if (state == OptionState::Yes) {
            reply += m_Deferred;
        }
        m_Deferred.clear();
    }
}

void ClientProtocol::OnComPort(ComPortMessage m, Output& out) {
    Handle(m, out.reply);
    out.messages.push_back(std::move(m));
}

void ClientProtocol::Handle(const ComPortMessage& m, std::string& reply) {
    auto count = [this](Slot s) { ++m_Answers[static_cast<std::size_t>(s)]; };
    const std::string& d = m.data;
    if (m.command == kSignature + kServerOffset) {
        if (d.empty()) {
            AppendComPort(kSignature, m_Signature, reply);
        } else {
            m_ServerSignature = d;
        }
        return;
    }
    if (m.command == kSetBaudRate + kServerOffset) {
        if (d.size() != 4) {
            ++m_Malformed;
            return;
        }
        count(Slot::BaudRate);
        if (std::uint32_t baud = FromBe32(d); baud != 0) {
            m_Confirmed.baudRate = baud;
        }
        return;
    }
    if (d.size() != 1) {
        const bool noData = m.command == kFlowControlSuspend + kServerOffset ||
                            m.command == kFlowControlResume + kServerOffset;
        if (!(noData && d.empty())) {
            ++m_Malformed;
        }
        return;
    }
    const std::uint8_t v = Byte(d[0]);
    switch (m.command) {
        case kSetDataSize + kServerOffset:
            count(Slot::DataSize);
            if (v >= 5 && v <= 8) {
                m_Confirmed.dataBits = v;
            }
            break;
        case kSetParity + kServerOffset:
            count(Slot::Parity);
            ParityFromCode(v, m_Confirmed.parity);
            break;
        case kSetStopSize + kServerOffset:
            count(Slot::StopSize);
            StopFromCode(v, m_Confirmed.stopBits);
            break;
        case kSetControl + kServerOffset:
            if (IsFlowValue(v)) {
                count(Slot::Flow);
                ApplyFlow(v, m_Confirmed);
            } else if (v == kDtrOn || v == kDtrOff) {
                count(Slot::Dtr);
                m_Confirmed.dtr = v == kDtrOn;
            } else if (v == kRtsOn || v == kRtsOff) {
                count(Slot::Rts);
                m_Confirmed.rts = v == kRtsOn;
            } else if (v == kFlowAsk || v == kDtrAsk || v == kRtsAsk) {
                // ser2net answers a question it cannot answer with the question: an answer
                // that confirms nothing.
                count(v == kFlowAsk ? Slot::Flow : v == kDtrAsk ? Slot::Dtr : Slot::Rts);
            }
            break;
        case kNotifyLineState + kServerOffset:
            m_LineState = v;
            break;
        case kNotifyModemState + kServerOffset:
            m_ModemState = v;
            break;
        default:
            break;  // mask and purge answers, flow suspend/resume, unknown
    }
}

// ---- ServerProtocol ----

ServerProtocol::ServerProtocol(std::string signature)
    : m_Telnet({kOptBinary, kOptSga}, {kOptBinary, kOptSga, kOptComPort}),
      m_Signature(std::move(signature)) {}

std::string ServerProtocol::Start() {
    std::string out;
    m_Telnet.RequestLocal(kOptBinary, out);
    m_Telnet.RequestRemote(kOptBinary, out);
    m_Telnet.RequestLocal(kOptSga, out);
    m_Telnet.RequestRemote(kOptComPort, out);
    return out;
}

void ServerProtocol::Receive(std::string_view bytes, Output& out) {
    m_Telnet.Receive(bytes, out);
}

void ServerProtocol::Serve(const ComPortMessage& r, ServerModel& model, std::string& out) const {
    LineSettings& s = model.settings;
    const std::string& d = r.data;
    auto answer = [&](std::uint8_t value) {
        AppendComPort(r.command + kServerOffset, One(value), out);
    };
    if (r.command == kSignature) {
        if (d.empty()) {
            AppendComPort(kSignature + kServerOffset, m_Signature, out);
        } else {
            model.clientSignature = d;
        }
        return;
    }
    if (r.command == kSetBaudRate) {
        if (d.size() == 4) {
            std::uint32_t baud = FromBe32(d);
            if (baud != 0 && !(baud == 300 && model.ignoreBaud300)) {
                s.baudRate = baud;
            }
        }
        AppendComPort(kSetBaudRate + kServerOffset, Be32(s.baudRate), out);
        return;
    }
    const std::uint8_t v = d.empty() ? 0 : Byte(d[0]);
    switch (r.command) {
        case kSetDataSize:
            if (v >= 5 && v <= 8) {
                s.dataBits = v;
            }
            answer(s.dataBits);
            break;
        case kSetParity:
            ParityFromCode(v, s.parity);
            answer(ParityCode(s.parity));
            break;
        case kSetStopSize:
            StopFromCode(v, s.stopBits);
            answer(StopCode(s.stopBits));
            break;
        case kSetControl:
            if (v == kFlowAsk || IsFlowValue(v)) {
                if (v != kFlowAsk) {
                    ApplyFlow(v, s);
                }
                answer(FlowCode(s));
            } else if (v >= kBreakAsk && v <= kBreakOff) {
                if (v != kBreakAsk) {
                    model.breakOn = v == kBreakOn;
                }
                answer(model.breakOn ? kBreakOn : kBreakOff);
            } else if (v >= kDtrAsk && v <= kDtrOff) {
                if (v != kDtrAsk) {
                    s.dtr = v == kDtrOn;
                }
                if (model.answerModemLines) {
                    answer(s.dtr ? kDtrOn : kDtrOff);
                }
            } else if (v >= kRtsAsk && v <= kRtsOff) {
                if (v != kRtsAsk) {
                    s.rts = v == kRtsOn;
                }
                if (model.answerModemLines) {
                    answer(s.rts ? kRtsOn : kRtsOff);
                }
            } else if (v >= kInboundFlowAsk && v <= kInboundFlowHardware) {
                if (v != kInboundFlowAsk) {
                    model.inboundFlow = v;
                }
                answer(model.inboundFlow);
            }
            break;
        case kSetLineStateMask:
            model.lineStateMask = v;
            answer(v);
            break;
        case kSetModemStateMask:
            model.modemStateMask = v;
            answer(v);
            break;
        case kPurgeData:
            if (v >= 1 && v <= 3) {
                answer(v);
            }
            break;
        default:
            break;  // notifications and flow suspend/resume get no answer
    }
}

void ServerProtocol::AppendNotifyModemState(std::uint8_t state, std::string& out) {
    AppendComPort(kNotifyModemState + kServerOffset, One(state), out);
}

void ServerProtocol::AppendNotifyLineState(std::uint8_t state, std::string& out) {
    AppendComPort(kNotifyLineState + kServerOffset, One(state), out);
}

}  // namespace sorvex::serial::rfc2217
