#include "platform/serial/rfc2217_protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace sorvex::serial::rfc2217 {
namespace {

constexpr int IAC = kIac, WILL = kWill, WONT = kWont, DO = kDo, DONT = kDont, SB = kSb, SE = kSe;

std::string B(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) {
        s.push_back(static_cast<char>(b));
    }
    return s;
}

// Feeds `input` to `feed` cut into pieces of `step` bytes.
template <typename F>
void FeedInSteps(const std::string& input, std::size_t step, F&& feed) {
    for (std::size_t i = 0; i < input.size(); i += step) {
        feed(std::string_view(input).substr(i, step));
    }
}

struct EngineRow {
    const char* name;
    std::string input;
    std::string payload;
    std::string reply;
};

TEST(TelnetEngine, SplitsPayloadCommandsAndSubnegotiationsAtAnyCut) {
    const EngineRow rows[] = {
        {"plain bytes", B({'a', 0x00, 0x03, 0x11, 0x13, '\r', 0x00, '\n'}),
         B({'a', 0x00, 0x03, 0x11, 0x13, '\r', 0x00, '\n'}), ""},
        {"doubled IAC is one data byte", B({'a', IAC, IAC, 'b', IAC, IAC, IAC, IAC}),
         B({'a', 0xFF, 'b', 0xFF, 0xFF}), ""},
        {"NOP, DM, GA inside data are dropped", B({'a', IAC, kNop, 'b', IAC, 242, IAC, 249, 'c'}),
         "abc", ""},
        {"IAC before a non-command keeps the byte", B({IAC, 'A', 'B'}), "AB", ""},
        {"accepted options are agreed", B({'x', IAC, DO, kOptBinary, IAC, WILL, kOptBinary, 'y'}),
         "xy", B({IAC, WILL, kOptBinary, IAC, DO, kOptBinary})},
        {"unknown options are refused", B({IAC, DO, 24, IAC, WILL, 31, 'z'}), "z",
         B({IAC, WONT, 24, IAC, DONT, 31})},
        {"disabling what is off is not answered", B({IAC, DONT, 5, IAC, WONT, 5}), "", ""},
        {"other options' subnegotiations are skipped",
         B({'a', IAC, SB, 24, 1, IAC, IAC, 2, IAC, SE, 'b'}), "ab", ""},
        {"a command inside a subnegotiation ends it",
         B({IAC, SB, kOptComPort, 101, 1, IAC, DO, 24, 'q'}), "q", B({IAC, WONT, 24})},
    };
    for (const auto& row : rows) {
        for (std::size_t step :
             {std::size_t{1000}, std::size_t{1}, std::size_t{2}, std::size_t{3}}) {
            TelnetEngine engine({kOptBinary}, {kOptBinary});
            Output out;
            FeedInSteps(row.input, step,
                        [&](std::string_view piece) { engine.Receive(piece, out); });
            EXPECT_EQ(out.payload, row.payload) << row.name << ", pieces of " << step;
            EXPECT_EQ(out.reply, row.reply) << row.name << ", pieces of " << step;
            EXPECT_TRUE(out.messages.empty()) << row.name;
        }
    }
}

TEST(TelnetEngine, DeliversComPortSubnegotiationsUnescaped) {
    const std::string input =
        B({'a', IAC, SB, kOptComPort, 101, 0, 0, IAC, IAC, IAC, IAC, IAC, SE, 'b'});
    for (std::size_t step = 1; step <= input.size(); ++step) {
        TelnetEngine engine({}, {});
        Output out;
        FeedInSteps(input, step, [&](std::string_view piece) { engine.Receive(piece, out); });
        EXPECT_EQ(out.payload, "ab");
        ASSERT_EQ(out.messages.size(), 1u) << "pieces of " << step;
        EXPECT_EQ(out.messages[0].command, 101);
        EXPECT_EQ(out.messages[0].data, B({0, 0, 0xFF, 0xFF}));
    }
}

TEST(TelnetEngine, DropsOversizedAndEmptySubnegotiations) {
    TelnetEngine engine({}, {});
    Output out;
    std::string input = B({IAC, SB, kOptComPort});
    input.append(300, 'x');
    input += B({IAC, SE, IAC, SB, kOptComPort, IAC, SE, 'k'});
    engine.Receive(input, out);
    EXPECT_TRUE(out.messages.empty());
    EXPECT_EQ(out.payload, "k");
    EXPECT_EQ(engine.Malformed(), 2u);
}

TEST(TelnetEngine, NegotiationAnswersOnlyStateChanges) {
    TelnetEngine engine({kOptBinary}, {kOptSga});
    std::string sent;
    engine.RequestLocal(kOptBinary, sent);
    engine.RequestLocal(kOptBinary, sent);  // already pending: nothing more
    EXPECT_EQ(sent, B({IAC, WILL, kOptBinary}));
    EXPECT_EQ(engine.Local(kOptBinary), OptionState::WantYes);

    Output out;
    engine.Receive(B({IAC, DO, kOptBinary, IAC, DO, kOptBinary}), out);  // ack, then repeat
    EXPECT_EQ(out.reply, "");
    EXPECT_EQ(engine.Local(kOptBinary), OptionState::Yes);

    out.Clear();
    engine.Receive(B({IAC, DONT, kOptBinary, IAC, DONT, kOptBinary}), out);
    EXPECT_EQ(out.reply, B({IAC, WONT, kOptBinary}));
    EXPECT_EQ(engine.Local(kOptBinary), OptionState::No);

    out.Clear();
    engine.RequestRemote(kOptSga, sent);
    engine.Receive(B({IAC, WONT, kOptSga}), out);  // refused
    EXPECT_EQ(out.reply, "");
    EXPECT_EQ(engine.Remote(kOptSga), OptionState::No);
}

TEST(ClientProtocol, OffersBinarySgaAndComPort) {
    ClientProtocol client;
    EXPECT_EQ(client.Start(), B({IAC, WILL, kOptBinary, IAC, DO, kOptBinary, IAC, WILL, kOptSga,
                                 IAC, DO, kOptSga, IAC, WILL, kOptComPort}));
    EXPECT_EQ(client.ComPort(), OptionState::WantYes);
    Output out;
    client.Receive(B({IAC, WILL, kOptEcho, IAC, DO, 24}), out);
    EXPECT_EQ(out.reply, B({IAC, DO, kOptEcho, IAC, WONT, 24}));
}

TEST(ClientProtocol, HoldsRequestsUntilTheServerAgrees) {
    LineSettings s;
    s.baudRate = 300;
    std::string expected;
    AppendComPort(kSetBaudRate, B({0, 0, 1, 0x2C}), expected);
    AppendComPort(kSetDataSize, B({8}), expected);
    AppendComPort(kSetParity, B({1}), expected);
    AppendComPort(kSetStopSize, B({1}), expected);
    AppendComPort(kSetControl, B({kFlowNone}), expected);
    AppendComPort(kSetControl, B({kDtrOff}), expected);
    AppendComPort(kSetControl, B({kRtsOff}), expected);

    ClientProtocol client;
    client.Start();
    std::string now;
    client.RequestSettings(s, now);
    EXPECT_EQ(now, "");
    Output out;
    client.Receive(B({IAC, DO, kOptComPort}), out);
    EXPECT_EQ(out.reply, expected);
    EXPECT_EQ(client.ComPort(), OptionState::Yes);
    client.RequestSettings(s, now);
    EXPECT_EQ(now, expected);

    ClientProtocol refused;
    refused.Start();
    refused.RequestSettings(s, now);
    out.Clear();
    refused.Receive(B({IAC, DONT, kOptComPort}), out);
    EXPECT_EQ(out.reply, "");
    EXPECT_EQ(refused.ComPort(), OptionState::No);
    std::string later;
    refused.RequestSettings(s, later);
    refused.RequestBreak(true, later);
    EXPECT_EQ(later, "");
}

TEST(ClientProtocol, RepliesFollowTheStreamOrderWhateverTheCut) {
    const std::string input =
        B({IAC, SB, kOptComPort, 100, IAC, SE, IAC, DO, kOptComPort, IAC, DO, 24});
    std::string expected;
    AppendComPort(kSignature, "Sorvex", expected);
    AppendComPort(kSetControl, B({kBreakOn}), expected);  // held back until the DO
    expected += B({IAC, WONT, 24});
    for (std::size_t step = 1; step <= input.size(); ++step) {
        ClientProtocol client;
        client.Start();
        std::string now;
        client.RequestBreak(true, now);
        Output out;
        FeedInSteps(input, step, [&](std::string_view p) { client.Receive(p, out); });
        EXPECT_EQ(out.reply, expected) << "pieces of " << step;
    }
}

TEST(ClientProtocol, EscapesFfInsideRequests) {
    ClientProtocol client;
    client.Start();
    Output out;
    client.Receive(B({IAC, DO, kOptComPort}), out);
    LineSettings s;
    s.baudRate = 0x0001FFFF;
    std::string sent;
    client.RequestSettings(s, sent);
    EXPECT_EQ(sent.substr(0, 10),
              B({IAC, SB, kOptComPort, kSetBaudRate, 0, 1, IAC, IAC, IAC, IAC}));
}

struct AnswerRow {
    const char* name;
    std::string message;  // the server's bytes
    Slot slot;
    void (*check)(const LineSettings&);
};

TEST(ClientProtocol, StoresTheServersAnswersAsConfirmedSettings) {
    const AnswerRow rows[] = {
        {"baud", B({IAC, SB, 44, 101, 0, 0, 0x4B, 0x00, IAC, SE}), Slot::BaudRate,
         [](const LineSettings& s) { EXPECT_EQ(s.baudRate, 19200u); }},
        {"baud with FF bytes", B({IAC, SB, 44, 101, 0, 0, IAC, IAC, IAC, IAC, IAC, SE}),
         Slot::BaudRate, [](const LineSettings& s) { EXPECT_EQ(s.baudRate, 65535u); }},
        {"data size", B({IAC, SB, 44, 102, 7, IAC, SE}), Slot::DataSize,
         [](const LineSettings& s) { EXPECT_EQ(s.dataBits, 7); }},
        {"parity", B({IAC, SB, 44, 103, 3, IAC, SE}), Slot::Parity,
         [](const LineSettings& s) { EXPECT_EQ(s.parity, Parity::Even); }},
        {"stop size", B({IAC, SB, 44, 104, 3, IAC, SE}), Slot::StopSize,
         [](const LineSettings& s) { EXPECT_EQ(s.stopBits, StopBits::OnePointFive); }},
        {"hardware flow", B({IAC, SB, 44, 105, 3, IAC, SE}), Slot::Flow,
         [](const LineSettings& s) { EXPECT_TRUE(s.ctsFlow); }},
        {"xon/xoff", B({IAC, SB, 44, 105, 2, IAC, SE}), Slot::Flow,
         [](const LineSettings& s) { EXPECT_TRUE(s.xonXoff); }},
        {"DTR on", B({IAC, SB, 44, 105, 8, IAC, SE}), Slot::Dtr,
         [](const LineSettings& s) { EXPECT_TRUE(s.dtr); }},
        {"RTS on", B({IAC, SB, 44, 105, 11, IAC, SE}), Slot::Rts,
         [](const LineSettings& s) { EXPECT_TRUE(s.rts); }},
        {"ser2net's echo of the DTR question confirms nothing", B({IAC, SB, 44, 105, 7, IAC, SE}),
         Slot::Dtr, [](const LineSettings& s) { EXPECT_FALSE(s.dtr); }},
        {"invalid data size counts but confirms nothing", B({IAC, SB, 44, 102, 9, IAC, SE}),
         Slot::DataSize, [](const LineSettings& s) { EXPECT_EQ(s.dataBits, 8); }},
    };
    for (const auto& row : rows) {
        for (std::size_t step = 1; step <= row.message.size(); ++step) {
            ClientProtocol client;
            Output out;
            FeedInSteps(row.message, step, [&](std::string_view p) { client.Receive(p, out); });
            EXPECT_EQ(client.Answers(row.slot), 1u) << row.name << ", pieces of " << step;
            row.check(client.Confirmed());
            EXPECT_EQ(out.payload, "") << row.name;
        }
    }
}

TEST(ClientProtocol, IgnoresMalformedAnswersAndServesSignatureRequests) {
    ClientProtocol client("tester");
    Output out;
    client.Receive(B({IAC, SB, 44, 101, 0,    0x25, 0x80, IAC, SE,  // 3-byte baud
                      IAC, SB, 44, 107, 0x30, IAC,  SE,             // modem state
                      IAC, SB, 44, 100, IAC,  SE,                   // "your signature?"
                      IAC, SB, 44, 108, IAC,  SE}),                 // flow suspend: no data
                   out);
    EXPECT_EQ(client.Answers(Slot::BaudRate), 0u);
    EXPECT_EQ(client.Confirmed().baudRate, 9600u);
    EXPECT_EQ(client.ModemState(), 0x30);
    EXPECT_EQ(client.Malformed(), 1u);
    std::string signature;
    AppendComPort(kSignature, "tester", signature);
    EXPECT_EQ(out.reply, signature);
}

TEST(ServerProtocol, AsksForComPortAndOffersBinary) {
    ServerProtocol server;
    EXPECT_EQ(server.Start(), B({IAC, WILL, kOptBinary, IAC, DO, kOptBinary, IAC, WILL, kOptSga,
                                 IAC, DO, kOptComPort}));
    Output out;
    server.Receive(B({IAC, WILL, kOptComPort, IAC, WILL, 24, 'd', IAC, IAC}), out);
    EXPECT_EQ(server.ComPort(), OptionState::Yes);
    EXPECT_EQ(out.reply, B({IAC, DONT, 24}));
    EXPECT_EQ(out.payload, B({'d', 0xFF}));
}

struct ServeRow {
    const char* name;
    ComPortMessage request;
    bool ignore300;
    bool answerModemLines;
    std::string answer;  // the server's bytes
    void (*check)(const ServerModel&);
};

TEST(ServerProtocol, AppliesRequestsToTheModelAndAnswersWithWhatItApplied) {
    auto sb = [](int cmd, std::string data) {
        std::string s;
        AppendComPort(static_cast<std::uint8_t>(cmd), data, s);
        return s;
    };
    const ServeRow rows[] = {
        {"baud",
         {1, B({0, 0, 0x4B, 0})},
         false,
         true,
         sb(101, B({0, 0, 0x4B, 0})),
         [](const ServerModel& m) { EXPECT_EQ(m.settings.baudRate, 19200u); }},
        {"baud 300 accepted",
         {1, B({0, 0, 1, 0x2C})},
         false,
         true,
         sb(101, B({0, 0, 1, 0x2C})),
         [](const ServerModel& m) { EXPECT_EQ(m.settings.baudRate, 300u); }},
        {"baud 300 ignored",
         {1, B({0, 0, 1, 0x2C})},
         true,
         true,
         sb(101, B({0, 0, 0x25, 0x80})),
         [](const ServerModel& m) { EXPECT_EQ(m.settings.baudRate, 9600u); }},
        {"baud query",
         {1, B({0, 0, 0, 0})},
         false,
         true,
         sb(101, B({0, 0, 0x25, 0x80})),
         [](const ServerModel&) {}},
        {"data size",
         {2, B({7})},
         false,
         true,
         sb(102, B({7})),
         [](const ServerModel& m) { EXPECT_EQ(m.settings.dataBits, 7); }},
        {"invalid parity keeps the current",
         {3, B({9})},
         false,
         true,
         sb(103, B({1})),
         [](const ServerModel& m) { EXPECT_EQ(m.settings.parity, Parity::None); }},
        {"two stop bits",
         {4, B({2})},
         false,
         true,
         sb(104, B({2})),
         [](const ServerModel& m) { EXPECT_EQ(m.settings.stopBits, StopBits::Two); }},
        {"hardware flow",
         {5, B({3})},
         false,
         true,
         sb(105, B({3})),
         [](const ServerModel& m) { EXPECT_TRUE(m.settings.ctsFlow); }},
        {"break on",
         {5, B({5})},
         false,
         true,
         sb(105, B({5})),
         [](const ServerModel& m) { EXPECT_TRUE(m.breakOn); }},
        {"DTR answered",
         {5, B({8})},
         false,
         true,
         sb(105, B({8})),
         [](const ServerModel& m) { EXPECT_TRUE(m.settings.dtr); }},
        {"DTR silent like ser2net on a pty",
         {5, B({8})},
         false,
         false,
         "",
         [](const ServerModel& m) { EXPECT_TRUE(m.settings.dtr); }},
        {"RTS silent",
         {5, B({11})},
         false,
         false,
         "",
         [](const ServerModel& m) { EXPECT_TRUE(m.settings.rts); }},
        {"unknown control value", {5, B({99})}, false, true, "", [](const ServerModel&) {}},
        {"purge", {12, B({3})}, false, true, sb(112, B({3})), [](const ServerModel&) {}},
        {"signature request",
         {0, ""},
         false,
         true,
         sb(100, "Sorvex simulator"),
         [](const ServerModel&) {}},
        {"client signature",
         {0, "pos"},
         false,
         true,
         "",
         [](const ServerModel& m) { EXPECT_EQ(m.clientSignature, "pos"); }},
    };
    for (const auto& row : rows) {
        ServerProtocol server;
        ServerModel model;
        model.ignoreBaud300 = row.ignore300;
        model.answerModemLines = row.answerModemLines;
        std::string answer;
        server.Serve(row.request, model, answer);
        EXPECT_EQ(answer, row.answer) << row.name;
        row.check(model);
    }
}

// A client and a server joined in memory; Run moves bytes until both are quiet.
struct Conversation {
    ClientProtocol client;
    ServerProtocol server;
    ServerModel model;
    std::string toServer, toClient;
    std::string serverGot, clientGot;
    int rounds = 0;

    void Run() {
        while ((!toServer.empty() || !toClient.empty()) && rounds < 50) {
            ++rounds;
            Output s;
            server.Receive(std::exchange(toServer, {}), s);
            serverGot += s.payload;
            toClient += s.reply;
            for (const auto& m : s.messages) {
                server.Serve(m, model, toClient);
            }
            Output c;
            client.Receive(std::exchange(toClient, {}), c);
            clientGot += c.payload;
            toServer += c.reply;
        }
    }
};

TEST(Rfc2217Conversation, NegotiatesSetsAndCarriesEveryByteValue) {
    Conversation talk;
    talk.toServer = talk.client.Start();
    talk.toClient = talk.server.Start();
    LineSettings wanted;
    wanted.baudRate = 19200;
    wanted.dataBits = 7;
    wanted.parity = Parity::Odd;
    wanted.stopBits = StopBits::Two;
    wanted.dtr = true;
    talk.client.RequestSettings(wanted, talk.toServer);  // before the server agreed: held back
    talk.Run();
    EXPECT_LT(talk.rounds, 10);
    EXPECT_EQ(talk.client.ComPort(), OptionState::Yes);
    EXPECT_EQ(talk.server.ComPort(), OptionState::Yes);
    EXPECT_EQ(talk.model.settings.baudRate, 19200u);
    EXPECT_EQ(talk.model.settings.parity, Parity::Odd);
    const LineSettings& c = talk.client.Confirmed();
    EXPECT_EQ(c.baudRate, 19200u);
    EXPECT_EQ(c.dataBits, 7);
    EXPECT_EQ(c.parity, Parity::Odd);
    EXPECT_EQ(c.stopBits, StopBits::Two);
    EXPECT_TRUE(c.dtr);

    std::string all;
    for (int i = 0; i < 256; ++i) {
        all.push_back(static_cast<char>(i));
    }
    AppendData(all, talk.toServer);
    AppendData(all, talk.toClient);
    talk.Run();
    EXPECT_EQ(talk.serverGot, all);
    EXPECT_EQ(talk.clientGot, all);
}

TEST(Rfc2217Conversation, AServerThatIgnores300BaudReadsBackItsRate) {
    Conversation talk;
    talk.model.ignoreBaud300 = true;
    talk.toServer = talk.client.Start();
    talk.toClient = talk.server.Start();
    talk.Run();
    LineSettings probe;
    probe.baudRate = 300;
    talk.client.RequestSettings(probe, talk.toServer);
    talk.Run();
    EXPECT_EQ(talk.client.Answers(Slot::BaudRate), 1u);
    EXPECT_EQ(talk.client.Confirmed().baudRate, 9600u);
}

}  // namespace
}  // namespace sorvex::serial::rfc2217
