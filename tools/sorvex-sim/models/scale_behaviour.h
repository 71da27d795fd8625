// A simulated scale: the weighing mechanism (a load, its unit, settling, centre of zero, over
// capacity) and the scale protocol around it, for the single-cable scale (serial), the USB POS
// scale and the scale half of the single-cable scanner-scale. Pure logic: commands in, replies
// and notes out through the Host.
//
// Behaviour (documented for users in docs/simulator.md, "Scale models"):
//   - The scale shows the load in its own unit (pounds or kilograms, `unit`), whatever unit a
//     weight request asks for; a reply flags kilograms in status byte 1, bit 0.
//   - A load placed (`weight`, `zero`, `over`) is in motion for the settle time (`motion`,
//     default 0) and steady afterwards; replies in motion set status byte 1, bit 2.
//   - Centre of zero (status byte 2, bit 3) when the reading is 0. Over capacity (status byte 2,
//     bit 2, together with the motion bit) above 30 lb / 15 kg or after `over`.
//   - The host's zero command makes the present load the new zero; `zero` on standard input
//     takes the load off and forgets that zero.
//   - `silent on` answers nothing; `busy N` answers the next N weight requests without a weight
//     (serial: a status-only reply; USB: a report with two status bytes).
//   - Every command from the host is noted as a "command" event ("weight-lb", "weight-kg",
//     "zero", "status", or "unknown" with the bytes), every reply as a "reply" event ("weight",
//     "motion", "over" followed by the digits, "status", "busy"), every command from standard
//     input as an "applied" event (`mark TEXT` does nothing else).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tools/sorvex-sim/model.h"

namespace sorvex::sim {

enum class ScaleUnit { Pounds, Kilograms };

// What the scale shows now.
struct ScaleReading {
    bool motion = false;
    bool centreOfZero = false;
    bool overCapacity = false;
    bool kilograms = false;
    std::string digits;  // ASCII digits, 4 (hundredths) or 5 (thousandths) of them
};

// The answer to one host command.
struct ScaleAnswer {
    enum Kind { None, Status, Weight, Busy } kind = None;
    ScaleReading reading;
};

class ScaleBehaviour {
  public:
    // Options: digits=4|5 (default 5), unit=lb|kg (default lb), motion=<duration> (default 0).
    // Throws std::invalid_argument naming the option for a bad value.
    explicit ScaleBehaviour(const ModelOptions& options);

    // One host command (command and argument byte): notes it and decides the answer.
    ScaleAnswer OnHostCommand(std::uint8_t command, std::uint8_t argument, Host& host);
    // Commands from standard input. `handled` is false for verbs the scale does not know (the
    // caller may try others); otherwise the result tells whether the command was well-formed.
    bool OnCommand(const std::vector<std::string>& words, Host& host, std::string& error,
                   bool& handled);
    static std::vector<std::string> CommandHelp();

    ScaleReading Read(std::chrono::steady_clock::time_point now) const;

  private:
    bool Apply(const std::vector<std::string>& words, Host& host, std::string& error);
    void Changed(Host& host);

    int m_Digits = 5;
    ScaleUnit m_Unit = ScaleUnit::Pounds;
    std::chrono::milliseconds m_Settle{0};
    double m_LoadKg = 0;
    double m_ZeroKg = 0;
    bool m_Over = false;
    bool m_Silent = false;
    int m_Busy = 0;
    std::chrono::steady_clock::time_point m_ChangedAt{};
};

// The serial reply: F8, status bytes 0 to 2 as two decimal digit characters each, the weight
// digits (absent in a status-only reply), F1.
std::string SerialScaleReply(const ScaleAnswer& answer);
// The USB input report: report id 0, then status byte 0 with bit 2 set and status bytes 1 and
// 2 followed by the digits as raw values 0 to 9; a busy answer has status byte 0 with bit 2
// clear and status byte 1 only.
std::string UsbScaleReport(const ScaleAnswer& answer);

// Cuts the 7-byte scale commands (F8, command, argument, three bytes, F1) out of a serial byte
// stream. Bytes outside a command go to `other` (for the scanner of a scanner-scale); an F8
// whose seventh byte is not F1 is no command and goes there too.
class SerialScaleCommands {
  public:
    template <class OnCommand, class OnOther>
    void Feed(std::string_view bytes, OnCommand&& onCommand, OnOther&& onOther);
    // Bytes held back because they may begin a command.
    std::size_t Pending() const { return m_Buffer.size(); }

  private:
    std::string m_Buffer;
};

// The single-cable scale's side of a serial port: commands in, replies out.
class SerialScale {
  public:
    explicit SerialScale(const ModelOptions& options) : m_Behaviour(options) {}
    // One frame from 0xF8 to 0xF1; a frame that is not 7 bytes long is noted and ignored.
    void OnFrame(std::string_view frame, Host& host);
    ScaleBehaviour& Behaviour() { return m_Behaviour; }

  private:
    ScaleBehaviour m_Behaviour;
};

template <class OnCommand, class OnOther>
void SerialScaleCommands::Feed(std::string_view bytes, OnCommand&& onCommand, OnOther&& onOther) {
    m_Buffer.append(bytes);
    std::size_t at = 0;
    while (at < m_Buffer.size()) {
        std::size_t start = m_Buffer.find('\xF8', at);
        if (start == std::string::npos) {
            onOther(std::string_view(m_Buffer).substr(at));
            at = m_Buffer.size();
            break;
        }
        if (start > at) {
            onOther(std::string_view(m_Buffer).substr(at, start - at));
        }
        if (m_Buffer.size() - start < 7) {
            at = start;  // wait for the rest
            break;
        }
        std::string_view frame = std::string_view(m_Buffer).substr(start, 7);
        if (frame[6] == '\xF1') {
            onCommand(frame);
            at = start + 7;
        } else {
            onOther(frame.substr(0, 1));
            at = start + 1;
        }
    }
    m_Buffer.erase(0, at);
}

}  // namespace sorvex::sim
