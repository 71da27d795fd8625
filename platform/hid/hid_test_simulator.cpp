// A simulated HID device in a process of its own, for tests that need the simulator to be
// another process (one that dies, one that serves a host of another process).
//
//   hid_test_simulator NAME USAGE_PAGE USAGE VENDOR_ID PRODUCT_ID
//
// Plugs the device in $SORVEX_ROOT, prints "plugged <path>", and sends every output report
// back as an input report. Commands on standard input, one a line: "unplug", "replug"; end of
// input ends the program.
#include <cstdio>
#include <cstdlib>
#include <future>
#include <iostream>
#include <memory>
#include <string>

#include "platform/hid/simulated_hid_server.h"

int main(int argc, char** argv) {
    if (argc != 6) {
        std::cerr << "usage: hid_test_simulator NAME USAGE_PAGE USAGE VENDOR_ID PRODUCT_ID\n";
        return 2;
    }
    auto number = [](const char* text) {
        return static_cast<std::uint16_t>(std::strtoul(text, nullptr, 0));
    };
    try {
        // The handler may run before Create has returned; it waits for the server pointer.
        std::promise<sorvex::hid::SimulatedHidServer*> created;
        std::shared_future<sorvex::hid::SimulatedHidServer*> self = created.get_future().share();
        sorvex::hid::SimulatedHidServer::Handlers handlers;
        handlers.outputReport = [self](std::string_view report) { self.get()->SendReport(report); };
        auto server = sorvex::hid::SimulatedHidServer::Create(
            argv[1], number(argv[2]), number(argv[3]), number(argv[4]), number(argv[5]), handlers);
        created.set_value(server.get());
        std::cout << "plugged " << server->Path() << std::endl;
        std::string line;
        while (std::getline(std::cin, line)) {
            if (line == "unplug") {
                server->Unplug();
                std::cout << "unplugged" << std::endl;
            } else if (line == "replug") {
                server->Replug();
                std::cout << "plugged " << server->Path() << std::endl;
            } else {
                std::cerr << "unknown command: " << line << "\n";
            }
        }
    } catch (const std::exception& e) {
        std::cerr << "hid_test_simulator: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
