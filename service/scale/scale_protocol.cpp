#include "service/scale/scale_protocol.h"

namespace talvex::scale {

namespace {

// Command and argument bytes, the part shared by the serial frame and the USB report.
std::string Body(Command command) {
    switch (command) {
        case Command::WeightPounds:
            return std::string("\x01\x00\x00\x00\x00", 5);
        case Command::WeightKilograms:
            return std::string("\x02\x00\x00\x00\x00", 5);
        case Command::Zero:
            return std::string("\x03\x00\x00\x00\x00", 5);
        case Command::Status:
            return std::string("\x00\x20\x00\x00\x00", 5);
    }
    return std::string(5, '\0');
}

int Bit(std::string_view status, std::size_t byte, unsigned mask) {
    if (status.size() <= byte) {
        return 2;
    }
    return (static_cast<unsigned char>(status[byte]) & mask) != 0 ? 1 : 0;
}

}  // namespace

std::string SerialCommand(Command command) {
    return "\xF8" + Body(command) + "\xF1";
}

std::string UsbCommand(Command command) {
    return std::string(1, '\0') + Body(command);
}

std::optional<Reply> ParseSerialReply(std::string_view frame) {
    if (frame.size() < 7) {
        return std::nullopt;
    }
    Reply reply;
    for (std::size_t k = 0; k < 3; ++k) {
        unsigned tens = static_cast<unsigned char>(frame[2 * k + 1]) & 0x0F;
        unsigned units = static_cast<unsigned char>(frame[2 * k + 2]) & 0x0F;
        reply.status += static_cast<char>(tens * 10 + units);
    }
    if (frame.size() > 8) {
        reply.digits = std::string(frame.substr(7, frame.size() - 8));
    }
    return reply;
}

std::optional<UsbReply> ParseUsbReport(std::string_view report) {
    if (report.size() < 2) {
        return std::nullopt;
    }
    std::string_view rest = report.substr(1);
    UsbReply usb;
    usb.statusLength = (static_cast<unsigned char>(rest[0]) & 0x04) != 0 ? 3 : 2;
    usb.reply.status = std::string(rest.substr(0, static_cast<std::size_t>(usb.statusLength)));
    if (usb.statusLength == 3 && rest.size() > 3) {
        usb.reply.digits = std::string(rest.substr(3));
    }
    return usb;
}

StatusFlags FlagsOf(std::string_view status) {
    StatusFlags flags;
    flags.motion = Bit(status, 1, 0x04);
    flags.zero = Bit(status, 2, 0x08);
    flags.over = Bit(status, 2, 0x04);
    return flags;
}

std::optional<bool> KilogramsOf(std::string_view status) {
    int bit = Bit(status, 1, 0x01);
    if (bit == 2) {
        return std::nullopt;
    }
    return bit == 1;
}

std::optional<std::int32_t> DecodeWeight(std::string_view digits) {
    if (digits.empty() || digits.size() > 9) {
        return std::nullopt;
    }
    std::int32_t value = 0;
    for (char c : digits) {
        unsigned d = static_cast<unsigned char>(c) | 0x30u;
        if (d < '0' || d > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::int32_t>(d - '0');
    }
    if (digits.size() == 4) {
        value *= 10;
    }
    return value;
}

Decision Decide(const StatusFlags& flags, std::string_view digits, std::int32_t zeroWeightReject,
                bool asyncMode) {
    Decision d;
    if (flags.zero == 1) {
        if (zeroWeightReject != 0) {
            d.outcome = Outcome::Retry;
        } else {
            d.outcome = Outcome::Deliver;
            d.weight = 0;
        }
        return d;
    }
    if (flags.motion == 1) {
        d.outcome = (flags.over == 1 && !asyncMode) ? Outcome::OverCapacity : Outcome::Retry;
        return d;
    }
    if (flags.motion != 0) {
        d.outcome = Outcome::Retry;  // status too short to tell
        return d;
    }
    std::optional<std::int32_t> value = DecodeWeight(digits);
    if (!value) {
        d.outcome = Outcome::Retry;
        d.undecodable = true;
        return d;
    }
    if (*value == 0 && zeroWeightReject == 1) {
        d.outcome = Outcome::Retry;
        return d;
    }
    d.outcome = Outcome::Deliver;
    d.weight = *value;
    return d;
}

}  // namespace talvex::scale
