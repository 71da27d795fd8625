// Feeds the .reg parser arbitrary bytes. A parsed file must come with no error; a failed one
// with a line and a message. Every value parsed, written out again and re-read, must be the
// same value (unless its names cannot be written, which the writer must say).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/registry/reg_file.h"

using namespace sorvex::registry;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    RegFile file;
    RegFileError error;
    if (!ParseRegFile(bytes, file, error)) {
        if (error.line == 0 || error.message.empty()) {
            std::abort();
        }
        return 0;
    }
    for (const RegOperation& op : file.operations) {
        if (op.kind != RegOperation::Kind::SetValue) {
            continue;
        }
        std::string text;
        std::string formatError;
        if (!FormatRegFile({{op.hive, op.path, {{op.name, op.value}}}}, text, formatError)) {
            if (formatError.empty()) {
                std::abort();
            }
            continue;
        }
        RegFile again;
        if (!ParseRegFile(text, again, error) || again.operations.size() != 2) {
            std::abort();
        }
        const RegOperation& key = again.operations[0];
        const RegOperation& value = again.operations[1];
        if (key.hive != op.hive || key.path != op.path || value.name != op.name ||
            value.value.type != op.value.type || value.value.data != op.value.data) {
            std::abort();
        }
    }
    return 0;
}
