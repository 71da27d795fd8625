#include "tools/sorvex-sim/models/scale_behaviour.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace sorvex::sim {

namespace {

constexpr double kKgPerLb = 0.45359237;
constexpr double kCapacityLb = 30.0;
constexpr double kCapacityKg = 15.0;

// "2s", "1.5s", "300ms", "0"; false when it is none of these.
bool ParseDuration(const std::string& text, std::chrono::milliseconds& out) {
    std::string number = text;
    double scale = 1000;
    if (number.size() > 2 && number.compare(number.size() - 2, 2, "ms") == 0) {
        number.resize(number.size() - 2);
        scale = 1;
    } else if (!number.empty() && number.back() == 's') {
        number.pop_back();
    }
    try {
        std::size_t used = 0;
        double value = std::stod(number, &used);
        if (used != number.size() || value < 0 || value > 3600 * 1000) {
            return false;
        }
        out = std::chrono::milliseconds(std::llround(value * scale));
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool ParseUnit(const std::string& text, ScaleUnit& unit) {
    if (text == "lb") {
        unit = ScaleUnit::Pounds;
    } else if (text == "kg") {
        unit = ScaleUnit::Kilograms;
    } else {
        return false;
    }
    return true;
}

std::string Join(const std::vector<std::string>& words) {
    std::string line;
    for (const std::string& w : words) {
        line += (line.empty() ? "" : " ") + w;
    }
    return line;
}

int StatusByte1(const ScaleReading& r) {
    return ((r.motion || r.overCapacity) ? 0x04 : 0) | (r.kilograms ? 0x01 : 0);
}

int StatusByte2(const ScaleReading& r) {
    return (r.centreOfZero ? 0x08 : 0) | (r.overCapacity ? 0x04 : 0);
}

}  // namespace

ScaleBehaviour::ScaleBehaviour(const ModelOptions& options) {
    std::string digits = options.Get("digits", "5");
    if (digits == "4" || digits == "5") {
        m_Digits = digits[0] - '0';
    } else {
        throw std::invalid_argument("scale option digits must be 4 or 5, not " + digits);
    }
    std::string unit = options.Get("unit", "lb");
    if (!ParseUnit(unit, m_Unit)) {
        throw std::invalid_argument("scale option unit must be lb or kg, not " + unit);
    }
    std::string motion = options.Get("motion", "0");
    if (!ParseDuration(motion, m_Settle)) {
        throw std::invalid_argument("scale option motion must be a duration (2s, 300ms), not " +
                                    motion);
    }
}

std::vector<std::string> ScaleBehaviour::CommandHelp() {
    return {
        "weight W [lb|kg]       put a load of W on the scale (unit: the scale's own)",
        "motion D               later loads move for D (2s, 300ms) before they settle",
        "zero                   take the load off",
        "over                   overload the scale",
        "unit lb|kg             the unit the scale shows",
        "silent on|off          answer nothing / answer again",
        "busy N                 answer the next N weight requests without a weight",
        "mark TEXT              only log TEXT (an \"applied\" event)",
    };
}

ScaleReading ScaleBehaviour::Read(std::chrono::steady_clock::time_point now) const {
    ScaleReading r;
    r.kilograms = m_Unit == ScaleUnit::Kilograms;
    r.motion = now - m_ChangedAt < m_Settle;
    const double netKg = m_LoadKg - m_ZeroKg;
    const double shown = r.kilograms ? netKg : netKg / kKgPerLb;
    const double capacity = r.kilograms ? kCapacityKg : kCapacityLb;
    const double resolution = m_Digits == 5 ? 1000 : 100;
    long long value = std::llround(shown * resolution);
    r.overCapacity = m_Over || shown > capacity;
    if (value < 0) {
        value = 0;
    }
    const long long largest = m_Digits == 5 ? 99999 : 9999;
    if (value > largest) {
        value = largest;
    }
    r.centreOfZero = value == 0 && !r.overCapacity;
    char text[8];
    std::snprintf(text, sizeof text, "%0*lld", m_Digits, value);
    r.digits = text;
    return r;
}

void ScaleBehaviour::Changed(Host& host) {
    m_ChangedAt = host.Now();
}

ScaleAnswer ScaleBehaviour::OnHostCommand(std::uint8_t command, std::uint8_t argument, Host& host) {
    ScaleAnswer answer;
    if (command == 0x01 || command == 0x02) {
        host.Note("command", command == 0x01 ? "weight-lb" : "weight-kg");
        answer.kind = ScaleAnswer::Weight;
        if (m_Busy > 0) {
            --m_Busy;
            answer.kind = ScaleAnswer::Busy;
        }
    } else if (command == 0x03) {
        host.Note("command", "zero");
        m_ZeroKg = m_LoadKg;
    } else if (command == 0x00 && argument == 0x20) {
        host.Note("command", "status");
        answer.kind = ScaleAnswer::Status;
    } else {
        char text[16];
        std::snprintf(text, sizeof text, "unknown %02X %02X", command, argument);
        host.Note("command", text);
    }
    if (m_Silent) {
        answer.kind = ScaleAnswer::None;
    }
    if (answer.kind == ScaleAnswer::None) {
        return answer;
    }
    answer.reading = Read(host.Now());
    switch (answer.kind) {
        case ScaleAnswer::Status:
            host.Note("reply", answer.reading.motion ? "status motion" : "status");
            break;
        case ScaleAnswer::Busy:
            host.Note("reply", "busy");
            break;
        default: {
            const char* kind = answer.reading.overCapacity ? "over"
                               : answer.reading.motion     ? "motion"
                                                           : "weight";
            host.Note("reply", std::string(kind) + " " + answer.reading.digits);
            break;
        }
    }
    return answer;
}

bool ScaleBehaviour::OnCommand(const std::vector<std::string>& words, Host& host,
                               std::string& error, bool& handled) {
    static const char* const kVerbs[] = {"weight", "motion", "zero", "over",
                                         "unit",   "silent", "busy", "mark"};
    handled = false;
    for (const char* verb : kVerbs) {
        handled = handled || words.front() == verb;
    }
    if (!handled) {
        return false;
    }
    if (!Apply(words, host, error)) {
        return false;
    }
    host.Note("applied", Join(words));
    return true;
}

bool ScaleBehaviour::Apply(const std::vector<std::string>& words, Host& host, std::string& error) {
    const std::string& verb = words.front();
    if (verb == "weight") {
        ScaleUnit unit = m_Unit;
        double amount = -1;
        try {
            std::size_t used = 0;
            if (words.size() >= 2) {
                amount = std::stod(words[1], &used);
            }
            if (words.size() < 2 || used != words[1].size()) {
                amount = -1;
            }
        } catch (const std::exception&) {
            amount = -1;
        }
        if (amount < 0 || words.size() > 3 || (words.size() == 3 && !ParseUnit(words[2], unit))) {
            error = "weight needs a load and an optional unit, e.g. weight 1.25 lb";
            return false;
        }
        m_LoadKg = unit == ScaleUnit::Kilograms ? amount : amount * kKgPerLb;
        m_Over = false;
        Changed(host);
    } else if (verb == "motion") {
        if (words.size() != 2 || !ParseDuration(words[1], m_Settle)) {
            error = "motion needs a duration, e.g. motion 2s or motion 300ms";
            return false;
        }
    } else if (verb == "zero" || verb == "over") {
        if (words.size() != 1) {
            error = verb + " takes no arguments";
            return false;
        }
        m_LoadKg = 0;
        m_ZeroKg = 0;
        m_Over = verb == "over";
        Changed(host);
    } else if (verb == "unit") {
        if (words.size() != 2 || !ParseUnit(words[1], m_Unit)) {
            error = "unit needs lb or kg";
            return false;
        }
    } else if (verb == "silent") {
        if (words.size() != 2 || (words[1] != "on" && words[1] != "off")) {
            error = "silent needs on or off";
            return false;
        }
        m_Silent = words[1] == "on";
    } else if (verb == "busy") {
        int count = -1;
        try {
            std::size_t used = 0;
            if (words.size() == 2) {
                count = std::stoi(words[1], &used);
                if (used != words[1].size()) {
                    count = -1;
                }
            }
        } catch (const std::exception&) {
            count = -1;
        }
        if (count < 0) {
            error = "busy needs a number of requests";
            return false;
        }
        m_Busy = count;
    }
    // "mark" changes nothing: its "applied" event tells a test that everything logged before
    // it has been written.
    return true;
}

std::string SerialScaleReply(const ScaleAnswer& answer) {
    std::string reply = "\xF8";
    const ScaleReading& r = answer.reading;
    for (int status : {0, StatusByte1(r), StatusByte2(r)}) {
        reply += static_cast<char>('0' + status / 10);
        reply += static_cast<char>('0' + status % 10);
    }
    if (answer.kind == ScaleAnswer::Weight) {
        reply += r.digits;
    }
    return reply + "\xF1";
}

std::string UsbScaleReport(const ScaleAnswer& answer) {
    const ScaleReading& r = answer.reading;
    std::string report(1, '\0');
    if (answer.kind == ScaleAnswer::Busy) {
        report += '\0';
        report += static_cast<char>(StatusByte1(r));
        return report;
    }
    report += '\x04';
    report += static_cast<char>(StatusByte1(r));
    report += static_cast<char>(StatusByte2(r));
    if (answer.kind == ScaleAnswer::Weight) {
        for (char d : r.digits) {
            report += static_cast<char>(d - '0');
        }
    }
    return report;
}

void SerialScale::OnFrame(std::string_view frame, Host& host) {
    if (frame.size() != 7) {
        std::string hex;
        for (unsigned char b : frame) {
            char text[4];
            std::snprintf(text, sizeof text, hex.empty() ? "%02X" : " %02X", b);
            hex += text;
        }
        host.Note("command", "unknown " + hex);
        return;
    }
    ScaleAnswer answer = m_Behaviour.OnHostCommand(static_cast<std::uint8_t>(frame[1]),
                                                   static_cast<std::uint8_t>(frame[2]), host);
    if (answer.kind != ScaleAnswer::None) {
        host.Send(SerialScaleReply(answer));
    }
}

}  // namespace sorvex::sim
