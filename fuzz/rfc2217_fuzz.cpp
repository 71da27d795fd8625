// Feeds arbitrary bytes to the RFC 2217 client and server state machines, whole and cut into
// pieces, and checks what must hold for any input: the cut does not change the result, the
// payload survives re-encoding, and confirmed settings stay in range.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/serial/rfc2217_protocol.h"

using namespace sorvex::serial;
using namespace sorvex::serial::rfc2217;

namespace {

void Check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

template <typename Protocol>
Output Feed(Protocol& protocol, std::string_view input, std::size_t step) {
    Output out;
    for (std::size_t i = 0; i < input.size(); i += step) {
        protocol.Receive(input.substr(i, step), out);
    }
    return out;
}

bool SameMessages(const Output& a, const Output& b) {
    if (a.messages.size() != b.messages.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.messages.size(); ++i) {
        if (a.messages[i].command != b.messages[i].command ||
            a.messages[i].data != b.messages[i].data) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t step = 1 + data[0] % 16;
    const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);

    // Client side, as after connecting.
    ClientProtocol whole, cut;
    whole.Start();
    cut.Start();
    LineSettings asked;
    std::string sink;
    whole.RequestSettings(asked, sink);
    cut.RequestSettings(asked, sink);
    Output a = Feed(whole, input, input.size() + 1);
    Output b = Feed(cut, input, step);
    Check(a.payload == b.payload && a.reply == b.reply && SameMessages(a, b));
    const LineSettings& c = whole.Confirmed();
    Check(c.dataBits >= 5 && c.dataBits <= 8);
    Check(c.baudRate != 0);

    // Whatever came out as payload survives encoding and decoding.
    std::string wire;
    AppendData(a.payload, wire);
    TelnetEngine plain({}, {});
    Output again;
    plain.Receive(wire, again);
    Check(again.payload == a.payload && again.reply.empty() && again.messages.empty());

    // Server side: parse, then serve every request to a model.
    ServerProtocol server, serverCut;
    server.Start();
    serverCut.Start();
    Output s = Feed(server, input, input.size() + 1);
    Output t = Feed(serverCut, input, step);
    Check(s.payload == t.payload && s.reply == t.reply && SameMessages(s, t));
    ServerModel model;
    model.ignoreBaud300 = (data[0] & 0x40) != 0;
    model.answerModemLines = (data[0] & 0x80) != 0;
    std::string answers;
    for (const auto& request : s.messages) {
        server.Serve(request, model, answers);
    }
    Check(model.settings.dataBits >= 5 && model.settings.dataBits <= 8);
    Check(model.settings.baudRate != 0);

    // The server's answers are well-formed for a client.
    ClientProtocol reader;
    Output r = Feed(reader, answers, answers.size() + 1);
    Check(r.payload.empty() && reader.Malformed() == 0);
    return 0;
}
