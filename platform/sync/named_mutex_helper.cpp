// A second process for the named mutex tests.
//
//   sorvex-named-mutex-helper <name as hex bytes>
//
// Opens the mutex under $SORVEX_ROOT, prints "ready", then answers one line per command read
// from standard input: "wait <ms>" prints Acquired, Abandoned, Timeout or Failed; "release"
// prints true or false; "exit" (or end of input) ends the process.
#include <iostream>
#include <stdexcept>
#include <string>

#include "platform/sync/sync.h"

namespace {

std::string FromHex(const std::string& hex) {
    if (hex.size() % 2 != 0) {
        throw std::invalid_argument("odd number of hex digits: " + hex);
    }
    std::string out;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

const char* ToText(sorvex::sync::MutexWait result) {
    switch (result) {
        case sorvex::sync::MutexWait::Acquired:
            return "Acquired";
        case sorvex::sync::MutexWait::Abandoned:
            return "Abandoned";
        case sorvex::sync::MutexWait::Timeout:
            return "Timeout";
        case sorvex::sync::MutexWait::Failed:
            return "Failed";
    }
    return "?";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: sorvex-named-mutex-helper <name as hex bytes>\n";
        return 2;
    }
    try {
        sorvex::sync::NamedMutex mutex(FromHex(argv[1]));
        std::cout << "ready" << std::endl;
        std::string line;
        while (std::getline(std::cin, line)) {
            if (line.rfind("wait ", 0) == 0) {
                std::cout << ToText(mutex.Wait(std::stoi(line.substr(5)))) << std::endl;
            } else if (line == "release") {
                std::cout << (mutex.Release() ? "true" : "false") << std::endl;
            } else if (line == "exit") {
                break;
            } else {
                std::cout << "unknown command: " << line << std::endl;
            }
        }
    } catch (const std::exception& e) {
        std::cout << "error: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}
