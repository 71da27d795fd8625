// The simulated scales driven directly with bytes and commands, on a fake clock.
#include "tools/sorvex-sim/models/scale_behaviour.h"

#include <gtest/gtest.h>

#include <sstream>

namespace sorvex::sim {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

class FakeHost final : public Host {
  public:
    void Send(std::string_view bytes) override { sent.emplace_back(bytes); }
    void Note(std::string_view event, std::string_view detail) override {
        notes.push_back(std::string(event) + ": " + std::string(detail));
    }
    std::chrono::steady_clock::time_point Now() const override { return now; }

    std::vector<std::string> sent;
    std::vector<std::string> notes;
    std::chrono::steady_clock::time_point now = std::chrono::steady_clock::time_point{} + 1h;
};

const std::string kLb = "\xF8\x01\x00\x00\x00\x00\xF1"s;
const std::string kKg = "\xF8\x02\x00\x00\x00\x00\xF1"s;
const std::string kZero = "\xF8\x03\x00\x00\x00\x00\xF1"s;
const std::string kStatus = "\xF8\x00\x20\x00\x00\x00\xF1"s;

std::unique_ptr<DeviceModel> Make(const std::string& name, ModelOptions options = {}) {
    const ModelInfo* info = FindModel(name);
    if (info == nullptr) {
        ADD_FAILURE() << "no model " << name;
        return nullptr;
    }
    return info->create(options);
}

std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) {
        words.push_back(w);
    }
    return words;
}

void Do(DeviceModel& model, FakeHost& host, const std::string& line) {
    std::string error;
    ASSERT_TRUE(model.OnCommand(Words(line), host, error)) << line << ": " << error;
}

std::string Serial(const std::string& statusDigits, const std::string& digits) {
    return "\xF8" + statusDigits + digits + "\xF1";
}

TEST(ScaleModels, AreRegisteredWithTheirTransports) {
    const ModelInfo* serial = FindModel("scale-single-cable");
    const ModelInfo* usb = FindModel("scale-usb");
    ASSERT_NE(serial, nullptr);
    ASSERT_NE(usb, nullptr);
    EXPECT_EQ(serial->defaultTransport, "pty");
    EXPECT_EQ(usb->defaultTransport, "hid");
    EXPECT_EQ(usb->usage, 0x6E00u);
}

TEST(ScaleModels, SerialScaleAnswersEachCommand) {
    struct Row {
        const char* name;
        std::map<std::string, std::string> options;
        std::vector<std::string> setup;
        std::string command;
        std::string reply;  // empty: none
    };
    const Row rows[] = {
        {"weight, 5 digits", {}, {"weight 1.25 lb"}, kLb, Serial("000000", "01250")},
        {"weight, 4 digits", {{"digits", "4"}}, {"weight 12.34"}, kLb, Serial("000000", "1234")},
        {"kilogram request, pound scale", {}, {"weight 2.5"}, kKg, Serial("000000", "02500")},
        {"kilogram scale", {{"unit", "kg"}}, {"weight 1 lb"}, kLb, Serial("000100", "00454")},
        {"unit switched", {}, {"weight 0.5 kg", "unit kg"}, kLb, Serial("000100", "00500")},
        {"centre of zero", {}, {}, kLb, Serial("000008", "00000")},
        {"over capacity", {}, {"over"}, kLb, Serial("000404", "00000")},
        {"above capacity", {}, {"weight 31"}, kLb, Serial("000404", "31000")},
        {"status", {}, {"weight 3"}, kStatus, Serial("000000", "")},
        {"status of a kilogram scale", {}, {"unit kg"}, kStatus, Serial("000108", "")},
        {"zero: no reply", {}, {"weight 3"}, kZero, ""},
        {"silent", {}, {"silent on"}, kLb, ""},
        {"busy: status only", {}, {"weight 3", "busy 1"}, kLb, Serial("000000", "")},
        {"unknown command", {}, {}, "\xF8\x09\x00\x00\x00\x00\xF1"s, ""},
    };
    for (const Row& row : rows) {
        FakeHost host;
        auto model = Make("scale-single-cable", ModelOptions{row.options});
        for (const std::string& line : row.setup) {
            Do(*model, host, line);
        }
        model->OnHostData(row.command, host);
        EXPECT_EQ(host.sent, row.reply.empty() ? std::vector<std::string>{}
                                               : std::vector<std::string>{row.reply})
            << row.name;
    }
}

TEST(ScaleModels, ALoadMovesForTheSettleTime) {
    FakeHost host;
    auto model = Make("scale-single-cable");
    Do(*model, host, "motion 2s");
    Do(*model, host, "weight 1.25 lb");
    for (int i = 0; i < 4; ++i) {
        model->OnHostData(kLb, host);
        host.now += 500ms;
    }
    model->OnHostData(kLb, host);
    ASSERT_EQ(host.sent.size(), 5u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(host.sent[i], Serial("000400", "01250")) << i;
    }
    EXPECT_EQ(host.sent[4], Serial("000000", "01250"));
    std::vector<std::string> replies;
    for (const std::string& note : host.notes) {
        if (note.rfind("reply: ", 0) == 0) {
            replies.push_back(note);
        }
    }
    EXPECT_EQ(replies, (std::vector<std::string>{"reply: motion 01250", "reply: motion 01250",
                                                 "reply: motion 01250", "reply: motion 01250",
                                                 "reply: weight 01250"}));
}

TEST(ScaleModels, HostZeroMakesThePresentLoadZero) {
    FakeHost host;
    auto model = Make("scale-single-cable");
    Do(*model, host, "weight 2");
    model->OnHostData(kZero, host);
    model->OnHostData(kLb, host);
    Do(*model, host, "zero");
    model->OnHostData(kLb, host);
    EXPECT_EQ(host.sent,
              (std::vector<std::string>{Serial("000008", "00000"), Serial("000008", "00000")}));
    EXPECT_EQ(host.notes.at(1), "command: zero");
}

TEST(ScaleModels, SerialCommandsAreCutFromAnyChunking) {
    FakeHost host;
    auto model = Make("scale-single-cable");
    Do(*model, host, "weight 1");
    const std::string stream = "\x06" + kLb + "\xF8\x01\x00"s + kStatus + kLb;
    for (char byte : stream) {
        model->OnHostData(std::string(1, byte), host);
    }
    // The broken command (F8 01 00 without its end) is no command; the rest are.
    EXPECT_EQ(host.sent, (std::vector<std::string>{Serial("000000", "01000"), Serial("000000", ""),
                                                   Serial("000000", "01000")}));
    SerialScaleCommands cut;
    std::vector<std::string> commands;
    std::string other;
    cut.Feed(
        "ab" + kLb.substr(0, 3), [&](std::string_view c) { commands.emplace_back(c); },
        [&](std::string_view o) { other += o; });
    EXPECT_EQ(cut.Pending(), 3u);
    cut.Feed(
        kLb.substr(3) + "\xF3x\xF1", [&](std::string_view c) { commands.emplace_back(c); },
        [&](std::string_view o) { other += o; });
    EXPECT_EQ(commands, std::vector<std::string>{kLb});
    EXPECT_EQ(other, "ab\xF3x\xF1");
    EXPECT_EQ(cut.Pending(), 0u);
}

TEST(ScaleModels, UsbScaleAnswersWithReports) {
    struct Row {
        const char* name;
        std::vector<std::string> setup;
        std::string command;
        std::string reply;
    };
    const std::string lb = "\x00\x01\x00\x00\x00\x00"s;
    const Row rows[] = {
        {"weight, raw digits", {"weight 1.25"}, lb, "\x00\x04\x00\x00\x00\x01\x02\x05\x00"s},
        {"kilograms in motion",
         {"unit kg", "motion 1s", "weight 0.5 kg"},
         lb,
         "\x00\x04\x05\x00\x00\x00\x05\x00\x00"s},
        {"status", {}, "\x00\x00\x20\x00\x00\x00"s, "\x00\x04\x00\x08"s},
        {"busy: two status bytes", {"busy 2"}, lb, "\x00\x00\x00"s},
        {"silent", {"silent on"}, lb, ""},
        {"short report", {}, "\x00\x01"s, ""},
    };
    for (const Row& row : rows) {
        FakeHost host;
        auto model = Make("scale-usb");
        for (const std::string& line : row.setup) {
            Do(*model, host, line);
        }
        model->OnHostData(row.command, host);
        EXPECT_EQ(host.sent, row.reply.empty() ? std::vector<std::string>{}
                                               : std::vector<std::string>{row.reply})
            << row.name;
    }
}

TEST(ScaleModels, RejectBadCommandsAndOptions) {
    FakeHost host;
    auto model = Make("scale-single-cable");
    for (const char* line :
         {"weight", "weight -1", "weight 1 oz", "weight x", "motion soon", "unit g", "silent maybe",
          "busy", "busy -2", "zero now", "frobnicate"}) {
        std::string error;
        EXPECT_FALSE(model->OnCommand(Words(line), host, error)) << line;
        EXPECT_FALSE(error.empty()) << line;
    }
    EXPECT_TRUE(host.sent.empty());
    for (auto [key, value] :
         {std::pair{"digits", "6"}, std::pair{"unit", "oz"}, std::pair{"motion", "later"}}) {
        EXPECT_THROW(Make("scale-usb", ModelOptions{{{key, value}}}), std::invalid_argument) << key;
    }
    EXPECT_NO_THROW(Make("scale-usb", ModelOptions{{{"motion", "300ms"}, {"unit", "kg"}}}));
}

}  // namespace
}  // namespace sorvex::sim
