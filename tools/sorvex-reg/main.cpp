// sorvex-reg: the registry tool, with the verbs and switches of Windows' reg.
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "tools/sorvex-reg/commands.h"

namespace {

using sorvex::regtool::Fail;
using sorvex::regtool::Options;

constexpr const char* kUsage = R"usage(Usage: sorvex-reg VERB ARGUMENTS

  sorvex-reg query  KEY [/v NAME | /ve] [/s]
  sorvex-reg add    KEY [/v NAME | /ve] [/t REG_SZ|REG_DWORD|REG_BINARY] [/d DATA] [/f]
  sorvex-reg delete KEY [/v NAME | /ve] [/f]
  sorvex-reg export KEY FILE [/y]
  sorvex-reg import FILE

KEY     ROOT\Path\Of\Key; ROOT is HKLM (HKEY_LOCAL_MACHINE), HKCU (HKEY_CURRENT_USER)
        or HKCR (HKEY_CLASSES_ROOT). Names ignore case.
/v      the value NAME; /ve the default value (shown as "(Default)")
/s      query: the key and every key below it
/t      add: the value type (default REG_SZ)
/d      add: the data;
REG_DWORD takes a decimal number or 0x and hex digits, REG_BINARY hex digits(00ff10) / f add,
    delete : do not ask before overwriting or
             deleting / y export : overwrite FILE without asking delete KEY without / v or
             / ve deletes the key with everything below it
                     .

                 FILE is a
                     .reg file("Windows Registry Editor Version 5.00" or "REGEDIT4",
                               UTF - 16LE or 8 - bit text)
                     .Import is all
             or
             nothing.Switches may start with '-' instead of '/'.The hives live below
             $SORVEX_ROOT(default / var / lib / sorvex); see docs/registry.md.
)usage";

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c + ('a' - 'A'));
        }
    }
    return out;
}

// The switch an argument names ("v" for /v, -V, ...), or "" when it is not a known switch (an
// absolute FILE path also starts with '/').
std::string SwitchName(const std::string& arg) {
    if (arg.size() < 2 || (arg[0] != '/' && arg[0] != '-')) {
        return "";
    }
    std::string name = Lower(std::string_view(arg).substr(1));
    for (const char* known : {"v", "ve", "t", "d", "f", "s", "y", "?", "h", "-help", "help"}) {
        if (name == known) {
            return name;
        }
    }
    return "";
}

bool IsHelpSwitch(const std::string& name) {
    return name == "?" || name == "h" || name == "-help" || name == "help";
}

int Run(const std::vector<std::string>& args) {
    if (args.empty()) {
        return Fail("Invalid syntax: no verb. Type \"sorvex-reg --help\" for usage.");
    }
    if (IsHelpSwitch(SwitchName(args[0])) || Lower(args[0]) == "help") {
        std::cout << kUsage;
        return 0;
    }
    const std::string verb = Lower(args[0]);
    std::string allowed;  // switches the verb takes
    std::size_t positionals = 1;
    if (verb == "query") {
        allowed = " v ve s ";
    } else if (verb == "add") {
        allowed = " v ve t d f ";
    } else if (verb == "delete") {
        allowed = " v ve f ";
    } else if (verb == "export") {
        allowed = " y ";
        positionals = 2;
    } else if (verb == "import") {
        allowed = " ";
    } else {
        return Fail("Invalid syntax: unknown verb \"" + args[0] +
                    "\". Type \"sorvex-reg --help\" for usage.");
    }

    Options options;
    std::vector<std::string> positional;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        std::string name = SwitchName(arg);
        if (name.empty()) {
            positional.push_back(arg);
            continue;
        }
        if (IsHelpSwitch(name)) {
            std::cout << kUsage;
            return 0;
        }
        if (allowed.find(" " + name + " ") == std::string::npos) {
            return Fail("Invalid syntax: " + arg + " is not valid for " + verb + ".");
        }
        bool takesArgument = name == "v" || name == "t" || name == "d";
        if (takesArgument && i + 1 >= args.size()) {
            return Fail("Invalid syntax: " + arg + " needs a value.");
        }
        if (name == "v" || name == "ve") {
            if (options.name) {
                return Fail("Invalid syntax: give /v NAME or /ve once.");
            }
            options.name = name == "v" ? args[++i] : std::string();
        } else if (name == "t") {
            options.type = args[++i];
        } else if (name == "d") {
            options.data = args[++i];
        } else if (name == "s") {
            options.recurse = true;
        } else {
            options.force = true;  // /f, /y
        }
    }
    if (positional.size() != positionals) {
        return Fail("Invalid syntax: " + verb + " takes " +
                    (verb == "import"   ? std::string("FILE")
                     : verb == "export" ? std::string("KEY and FILE")
                                        : std::string("KEY")) +
                    ". Type \"sorvex-reg --help\" for usage.");
    }
    if (verb == "import") {
        options.file = positional[0];
        return sorvex::regtool::Import(options);
    }
    options.keyText = positional[0];
    if (!sorvex::registry::ParseRootedPath(options.keyText, options.hive, options.path)) {
        return Fail("Invalid key name \"" + options.keyText +
                    "\": it must start with HKLM, HKCU or HKCR (or HKEY_LOCAL_MACHINE, "
                    "HKEY_CURRENT_USER, HKEY_CLASSES_ROOT).");
    }
    if (verb == "query") {
        return sorvex::regtool::Query(options);
    }
    if (verb == "add") {
        return sorvex::regtool::Add(options);
    }
    if (verb == "delete") {
        return sorvex::regtool::Delete(options);
    }
    options.file = positional[1];
    return sorvex::regtool::Export(options);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    int code = Run(args);
    std::cout.flush();
    return code;
}
