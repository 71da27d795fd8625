// The scale protocol of the single-cable scanner-scale (RS-232) and of the USB POS scale: the
// commands the host sends and the decoding of the scale's replies. Pure logic, no I/O: CScale
// feeds it the frames and reports its links deliver, tests and fuzzers feed it any bytes.
//
// Device quirks this relies on:
//   - Serial replies are framed 0xF8 ... 0xF1 (the port arbiter cuts them). Each of the three
//     status bytes travels as two decimal digit characters, tens first, of which only the low
//     four bits count. A status-only reply is 8 bytes; weight digits follow the status digits.
//   - USB replies are input reports: the report id first, then three status bytes when bit 2 of
//     the first status byte is set, else two (such a report carries no weight: the host asks
//     again after a short pause), then the weight digits.
//   - A weight digit is one byte; OR-ing it with 0x30 gives the ASCII digit, so a scale may send
//     ASCII digits (serial) or the raw values 0 to 9 (USB). Four digits are hundredths of the
//     unit, five are thousandths; the weight is kept in thousandths.
//   - Replies carry no request id: the host keeps one request outstanding and polls again after
//     each reply that has no usable weight (motion, centre of zero when zero is rejected).
//   - Nothing guarantees well-formed replies (line noise, a scale that resets mid-frame): every
//     function here accepts any bytes; what cannot be decoded says so instead of failing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace talvex::scale {

enum class Command {
    WeightPounds,     // 01 00
    WeightKilograms,  // 02 00
    Zero,             // 03 00
    Status,           // 00 20
};

// The 7-byte serial command: F8, command, argument, 00 00 00, F1.
std::string SerialCommand(Command command);
// The 6-byte USB output report: report id 0, command, argument, 00 00 00.
std::string UsbCommand(Command command);

// The status bytes and weight digits of one reply, as received.
struct Reply {
    std::string status;  // 3 bytes (serial); 2 or 3 bytes, or fewer in a short report (USB)
    std::string digits;  // empty in a status-only reply
};

// A serial frame as the arbiter delivers it (start and stop byte included). The status bytes
// come from bytes 1 to 6, the digits are bytes 7 to length-2 when the frame is longer than 8
// bytes. nullopt for a frame shorter than 7 bytes, which holds no complete status.
std::optional<Reply> ParseSerialReply(std::string_view frame);

// A USB input report (report id first). `statusLength` is 3 when bit 2 of the first status byte
// is set, else 2; `status` holds at most that many bytes (fewer when the report is shorter) and
// `digits` what follows three status bytes. nullopt for a report without any status byte.
struct UsbReply {
    int statusLength = 0;
    Reply reply;
};
std::optional<UsbReply> ParseUsbReport(std::string_view report);

// The decision flags of a status: 1 set, 0 clear, 2 when the status is too short to hold the
// byte.
struct StatusFlags {
    int motion = 2;  // byte 1, bit 2: no weight data or scale in motion
    int zero = 2;    // byte 2, bit 3: scale at centre of zero
    int over = 2;    // byte 2, bit 2: over capacity
};
StatusFlags FlagsOf(std::string_view status);

// Byte 1, bit 0: the scale works in kilograms. nullopt when the status has no byte 1.
std::optional<bool> KilogramsOf(std::string_view status);

// The weight in thousandths of the unit: every digit OR 0x30, a "0" appended to exactly four
// digits, read as a decimal number. nullopt unless there are 1 to 9 digits that all make
// decimal digits (so the value always fits in 32 bits).
std::optional<std::int32_t> DecodeWeight(std::string_view digits);

enum class Outcome {
    Deliver,       // `weight` is the reading
    OverCapacity,  // synchronous read: answer OPOS_E_EXTENDED / OPOS_ESCAL_OVERWEIGHT
    Retry,         // no usable weight in this reply: poll again
};

struct Decision {
    Outcome outcome = Outcome::Retry;
    std::int32_t weight = 0;
    bool undecodable = false;  // Retry because the digits do not read as a weight
};

// What a weight reply means for a pending read. `zeroWeightReject` is the global option as read
// (0 accepts a zero weight).
//   zero = 1 (in motion or not): weight 0, or Retry when zeroWeightReject is not 0;
//   motion = 1, over = 1, synchronous: OverCapacity;
//   motion = 1 otherwise: Retry;
//   motion = 0: the decoded digits; Retry when the value is 0 and zeroWeightReject is 1, or when
//   the digits are undecodable;
//   motion unknown (status too short): Retry.
Decision Decide(const StatusFlags& flags, std::string_view digits, std::int32_t zeroWeightReject,
                bool asyncMode);

}  // namespace talvex::scale
