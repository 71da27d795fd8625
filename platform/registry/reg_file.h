// .reg files, the text format of the registry editor: parsed into a list of changes and written
// from a list of keys, without touching the registry (sorvex-reg applies and collects; the
// fuzzer feeds the parser arbitrary bytes).
//
// Reading takes "Windows Registry Editor Version 5.00" and "REGEDIT4" files, as UTF-16LE with
// a byte-order mark (as the registry editor saves them) or as 8-bit text (a UTF-8 byte-order
// mark is skipped; other bytes are taken as they are). Lines end in CRLF or LF.
//
//   [KEY]            the key (created), to which the following value lines belong
//   [-KEY]           delete the key with everything below it
//   "name"=...       a value; @=... is the default value; "name"=- deletes the value
//   "text"           REG_SZ; \" and \\ are the only escapes
//   dword:1a2b       REG_DWORD, 1 to 8 hex digits
//   hex:00,ff        REG_BINARY; hex(N): another type N (hex number); a trailing backslash
//                    continues the byte list on the next line
//   ; ...            comment
//
// Strings of the registry are 8-bit. In a version 5.00 file, hex(1), hex(2) and hex(7) data
// are UTF-16LE code units: units up to 0xFF become those bytes, larger ones are an error; in a
// REGEDIT4 file they are the bytes themselves. One terminating NUL is removed. Text outside hex
// data follows the same rule: a UTF-16 file's characters up to U+00FF become bytes.
//
// Writing makes a version 5.00 file in ASCII with CRLF line ends that reads back to exactly
// the same keys and values: a REG_SZ of printable ASCII is written "quoted"; any other string
// (control characters, NUL, bytes from 0x80) is written as hex(1) UTF-16LE units with the
// terminator; REG_DWORD as dword:%08x; REG_BINARY as hex: in lines of at most 80 columns. Key
// and value names must be printable ASCII (a .reg file has no escape for other bytes in
// names); a key or value whose name is not is refused with an error naming it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/registry.h"

namespace sorvex::registry {

enum class RegFileVersion { Editor5, Regedit4 };

struct RegOperation {
    enum class Kind { CreateKey, DeleteTree, SetValue, DeleteValue };
    Kind kind = Kind::CreateKey;
    Hive hive = Hive::LocalMachine;
    std::string path;  // below the hive
    std::string name;  // SetValue, DeleteValue
    Value value;       // SetValue
    std::size_t line = 0;
};

struct RegFile {
    RegFileVersion version = RegFileVersion::Editor5;
    std::vector<RegOperation> operations;  // in file order
};

struct RegFileError {
    std::size_t line = 0;  // 1-based physical line
    std::string message;   // what is wrong, without the file name or line
};

// Parses a whole file. On failure `error` names the first bad line and `out` is unspecified.
bool ParseRegFile(std::string_view bytes, RegFile& out, RegFileError& error);

struct RegKeyContents {
    Hive hive = Hive::LocalMachine;
    std::string path;  // below the hive, as stored
    std::vector<NamedValue> values;
};

// Writes the keys in the order given. False (and `error` naming the key or value) when a name
// cannot be written.
bool FormatRegFile(const std::vector<RegKeyContents>& keys, std::string& text, std::string& error);

// A name for messages: printable ASCII as it is, other bytes as \xNN.
std::string DisplayName(std::string_view name);

}  // namespace sorvex::registry
