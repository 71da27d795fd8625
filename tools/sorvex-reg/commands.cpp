#include "tools/sorvex-reg/commands.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string_view>
#include <vector>

#include "platform/registry/reg_file.h"

namespace sorvex::regtool {

namespace reg = sorvex::registry;
using reg::Hive;
using reg::Key;
using reg::Status;
using reg::Type;

namespace {

constexpr const char* kNotFound =
    "The system was unable to find the specified registry key or value.";
constexpr const char* kDone = "The operation completed successfully.";

std::string StatusMessage(Status status) {
    std::string message =
        status == Status::NotFound ? kNotFound : std::string(reg::StatusText(status));
    std::string detail = reg::LastErrorDetail();
    if (!detail.empty()) {
        message += " (" + detail + ")";
    }
    return message;
}

std::string RootedName(Hive hive, const std::string& path) {
    std::string name(reg::HiveLongName(hive));
    if (!path.empty()) {
        name += '\\';
        name += path;
    }
    return name;
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        x = x >= 'A' && x <= 'Z' ? static_cast<char>(x + 32) : x;
        y = y >= 'A' && y <= 'Z' ? static_cast<char>(y + 32) : y;
        if (x != y) {
            return false;
        }
    }
    return true;
}

std::string ValueLabel(const std::string& name) {
    return name.empty() ? "(Default)" : name;
}

std::string TypeName(Type type) {
    switch (static_cast<std::uint32_t>(type)) {
        case 0:
            return "REG_NONE";
        case 1:
            return "REG_SZ";
        case 2:
            return "REG_EXPAND_SZ";
        case 3:
            return "REG_BINARY";
        case 4:
            return "REG_DWORD";
        case 5:
            return "REG_DWORD_BIG_ENDIAN";
        case 6:
            return "REG_LINK";
        case 7:
            return "REG_MULTI_SZ";
        case 11:
            return "REG_QWORD";
        default: {
            char buffer[40];
            std::snprintf(buffer, sizeof buffer, "REG_UNKNOWN(0x%x)",
                          static_cast<std::uint32_t>(type));
            return buffer;
        }
    }
}

std::uint64_t LittleEndian(const std::string& data) {
    std::uint64_t number = 0;
    for (std::size_t i = data.size(); i-- > 0;) {
        number = (number << 8) | static_cast<unsigned char>(data[i]);
    }
    return number;
}

std::string DataText(const reg::Value& value) {
    const std::string& data = value.data;
    char buffer[32];
    switch (static_cast<std::uint32_t>(value.type)) {
        case 1:
        case 2:
            return data;
        case 7: {  // parts shown with \0 between them, as reg does
            std::string shown = data;
            if (!shown.empty() && shown.back() == '\0') {
                shown.pop_back();
            }
            std::string out;
            for (char c : shown) {
                if (c == '\0') {
                    out += "\\0";
                } else {
                    out += c;
                }
            }
            return out;
        }
        case 4:
            if (data.size() == 4) {
                std::snprintf(buffer, sizeof buffer, "0x%x",
                              static_cast<unsigned>(LittleEndian(data)));
                return buffer;
            }
            break;
        case 11:
            if (data.size() == 8) {
                std::snprintf(buffer, sizeof buffer, "0x%llx",
                              static_cast<unsigned long long>(LittleEndian(data)));
                return buffer;
            }
            break;
        default:
            break;
    }
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (char c : data) {
        auto b = static_cast<unsigned char>(c);
        out += kDigits[b >> 4];
        out += kDigits[b & 0xF];
    }
    return out;
}

void PrintValue(const std::string& name, const reg::Value& value) {
    std::cout << "    " << ValueLabel(name) << "    " << TypeName(value.type) << "    "
              << DataText(value) << "\n";
}

// Asks on the terminal; true for "y" or "yes" (any case).
bool Confirm(const std::string& question) {
    std::cout << question << " " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) {
        return false;
    }
    for (char& c : answer) {
        c = static_cast<char>(c | 0x20);
    }
    return answer == "y" || answer == "yes";
}

// Asks when standard input is a terminal; otherwise fails with `refusal`, which tells what to do
// instead. Returns 0 to go on, else the exit code.
int Ask(const std::string& question, const std::string& refusal) {
    if (!::isatty(STDIN_FILENO)) {
        return Fail(refusal);
    }
    if (!Confirm(question)) {
        return Fail("The operation was cancelled by the user.");
    }
    return 0;
}

// Walks a key and everything below it, parents before children, subkeys in sorted order.
template <class Visit>
Status Walk(const Key& key, Visit& visit) {
    Status status = visit(key);
    if (status != Status::Ok) {
        return status;
    }
    std::vector<std::string> names;
    status = key.Subkeys(names);
    if (status != Status::Ok) {
        return status;
    }
    for (const std::string& name : names) {
        Key sub;
        status = key.OpenSubkey(name, reg::kRead, sub);
        if (status == Status::NotFound || status == Status::KeyDeleted) {
            continue;  // deleted by someone else meanwhile
        }
        if (status != Status::Ok) {
            return status;
        }
        status = Walk(sub, visit);
        if (status != Status::Ok) {
            return status;
        }
    }
    return Status::Ok;
}

bool ParseDword(const std::string& text, std::uint32_t& number) {
    if (text.empty()) {
        return false;
    }
    std::uint64_t value = 0;
    std::size_t i = 0;
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    }
    for (; i < text.size(); ++i) {
        char c = text[i];
        int digit = -1;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        }
        if (digit < 0) {
            return false;
        }
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
        if (value > 0xFFFFFFFFull) {
            return false;
        }
    }
    number = static_cast<std::uint32_t>(value);
    return true;
}

bool ParseHexBytes(const std::string& text, std::string& bytes) {
    if (text.size() % 2 != 0) {
        return false;
    }
    auto digit = [](char c) {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        if (c >= 'A' && c <= 'F') {
            return c - 'A' + 10;
        }
        return -1;
    };
    bytes.clear();
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int high = digit(text[i]);
        int low = digit(text[i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        bytes += static_cast<char>((high << 4) | low);
    }
    return true;
}

bool ReadFile(const std::string& path, std::string& bytes, std::string& error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = "cannot read " + path + ": " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (n == 0) {
            break;
        }
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return true;
}

bool WriteFile(const std::string& path, const std::string& bytes, std::string& error) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = "cannot write " + path + ": " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

int Fail(const std::string& message) {
    std::cout << std::flush;
    std::cerr << "sorvex-reg: ERROR: " << message << "\n";
    return 1;
}

int Query(const Options& options) {
    Key top;
    Status status = Key::Open(options.hive, options.path, reg::kRead, top);
    if (status != Status::Ok) {
        return Fail(StatusMessage(status));
    }
    std::cout << "\n";
    if (options.name) {
        const std::string& name = *options.name;
        int matches = 0;
        auto visit = [&](const Key& key) {
            // Found through the list, so that the name shows as it is stored.
            std::vector<reg::NamedValue> values;
            Status s = key.Values(values);
            const reg::NamedValue* found = nullptr;
            for (const auto& v : values) {
                if (SameName(v.name, name)) {
                    found = &v;
                }
            }
            if (s == Status::Ok && found == nullptr) {
                if (!options.recurse && name.empty()) {
                    // reg shows an unset default value rather than failing
                    std::cout << RootedName(options.hive, key.Path()) << "\n    (Default)    "
                              << "REG_SZ    (value not set)\n\n";
                    ++matches;
                }
                return Status::Ok;
            }
            if (s != Status::Ok) {
                return s;
            }
            std::cout << RootedName(options.hive, key.Path()) << "\n";
            PrintValue(found->name, found->value);
            std::cout << "\n";
            ++matches;
            return Status::Ok;
        };
        status = options.recurse ? Walk(top, visit) : visit(top);
        if (status != Status::Ok) {
            return Fail(StatusMessage(status));
        }
        if (options.recurse) {
            std::cout << "End of search: " << matches << " match(es) found.\n";
        }
        return matches > 0 ? 0 : Fail(kNotFound);
    }

    auto printKey = [&](const Key& key) {
        std::vector<reg::NamedValue> values;
        Status s = key.Values(values);
        if (s != Status::Ok) {
            return s;
        }
        std::cout << RootedName(options.hive, key.Path()) << "\n";
        for (const auto& v : values) {
            PrintValue(v.name, v.value);
        }
        std::cout << "\n";
        return Status::Ok;
    };
    if (options.recurse) {
        status = Walk(top, printKey);
    } else {
        status = printKey(top);
        std::vector<std::string> names;
        if (status == Status::Ok) {
            status = top.Subkeys(names);
        }
        for (const auto& name : names) {
            std::cout << RootedName(options.hive,
                                    top.Path().empty() ? name : top.Path() + "\\" + name)
                      << "\n";
        }
    }
    if (status != Status::Ok) {
        return Fail(StatusMessage(status));
    }
    return 0;
}

int Add(const Options& options) {
    if (!options.name) {
        if (options.type || options.data) {
            return Fail("Invalid syntax: /t and /d need /v NAME or /ve.");
        }
        Key key;
        Status status = Key::Create(options.hive, options.path, key);
        if (status != Status::Ok) {
            return Fail(StatusMessage(status));
        }
        std::cout << kDone << "\n";
        return 0;
    }

    std::string typeName = options.type.value_or("REG_SZ");
    for (char& c : typeName) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - ('a' - 'A'));
        }
    }
    Type type = Type::String;
    std::string data = options.data.value_or("");
    if (typeName == "REG_SZ") {
        type = Type::String;
    } else if (typeName == "REG_DWORD") {
        type = Type::Dword;
        std::uint32_t number = 0;
        if (options.data && !ParseDword(*options.data, number)) {
            return Fail("Invalid data \"" + *options.data +
                        "\" for REG_DWORD: give a decimal number or 0x and hex digits "
                        "(at most 0xffffffff).");
        }
        data.clear();
        for (int i = 0; i < 4; ++i) {
            data += static_cast<char>((number >> (8 * i)) & 0xFF);
        }
    } else if (typeName == "REG_BINARY") {
        type = Type::Binary;
        if (!ParseHexBytes(options.data.value_or(""), data)) {
            return Fail("Invalid data \"" + *options.data +
                        "\" for REG_BINARY: give an even number of hex digits.");
        }
    } else {
        return Fail("Invalid type " + *options.type + ": use REG_SZ, REG_DWORD or REG_BINARY.");
    }

    const std::string& name = *options.name;
    if (!options.force) {
        Key existing;
        if (Key::Open(options.hive, options.path, reg::kRead, existing) == Status::Ok &&
            existing.QueryInfo(name, nullptr, nullptr) == Status::Ok) {
            if (int code = Ask("Value " + ValueLabel(name) + " exists, overwrite(Yes/No)?",
                               "Value " + ValueLabel(name) +
                                   " exists; use /f to overwrite it without asking.")) {
                return code;
            }
        }
    }
    Key key;
    Status status = Key::Create(options.hive, options.path, key);
    if (status == Status::Ok) {
        status = key.Set(name, type, data);
    }
    if (status != Status::Ok) {
        return Fail(StatusMessage(status));
    }
    std::cout << kDone << "\n";
    return 0;
}

int Delete(const Options& options) {
    Key key;
    Status status = Key::Open(options.hive, options.path, reg::kRead, key);
    if (status != Status::Ok) {
        return Fail(StatusMessage(status));
    }
    std::string rooted = RootedName(options.hive, key.Path());
    if (options.name) {
        const std::string& name = *options.name;
        status = key.QueryInfo(name, nullptr, nullptr);
        if (status != Status::Ok) {
            return Fail(StatusMessage(status));
        }
        if (!options.force) {
            if (int code = Ask("Delete the registry value " + ValueLabel(name) + " (Yes/No)?",
                               "Value " + ValueLabel(name) + " of " + rooted +
                                   " would be deleted; use /f to delete without asking.")) {
                return code;
            }
        }
        status = Key::Open(options.hive, options.path, reg::kReadWrite, key);
        if (status == Status::Ok) {
            status = key.DeleteValue(name);
        }
    } else {
        if (!options.force) {
            if (int code =
                    Ask("Delete the registry key " + rooted + " (Yes/No)?",
                        "Key " + rooted + " would be deleted; use /f to delete without asking.")) {
                return code;
            }
        }
        key.Close();
        status = reg::DeleteTree(options.hive, options.path);
        if (status == Status::AccessDenied && reg::LastErrorDetail().empty()) {
            return Fail("Access is denied: " + rooted + " cannot be deleted.");
        }
    }
    if (status != Status::Ok) {
        return Fail(StatusMessage(status));
    }
    std::cout << kDone << "\n";
    return 0;
}

int Export(const Options& options) {
    Key top;
    Status status = Key::Open(options.hive, options.path, reg::kRead, top);
    if (status != Status::Ok) {
        return Fail(StatusMessage(status));
    }
    std::vector<reg::RegKeyContents> keys;
    auto collect = [&](const Key& key) {
        reg::RegKeyContents& contents = keys.emplace_back();
        contents.hive = options.hive;
        contents.path = key.Path();
        return key.Values(contents.values);
    };
    status = Walk(top, collect);
    if (status != Status::Ok) {
        return Fail(StatusMessage(status));
    }
    std::string text;
    std::string error;
    if (!reg::FormatRegFile(keys, text, error)) {
        return Fail(error);
    }
    if (!options.force && ::access(options.file.c_str(), F_OK) == 0) {
        if (int code = Ask("File " + options.file + " already exists. Overwrite (Yes/No)?",
                           "File " + options.file +
                               " already exists; use /y to overwrite it without asking.")) {
            return code;
        }
    }
    if (!WriteFile(options.file, text, error)) {
        return Fail(error);
    }
    std::cout << kDone << "\n";
    return 0;
}

int Import(const Options& options) {
    std::string bytes;
    std::string error;
    if (!ReadFile(options.file, bytes, error)) {
        return Fail(error);
    }
    reg::RegFile file;
    reg::RegFileError parseError;
    if (!reg::ParseRegFile(bytes, file, parseError)) {
        std::cout << std::flush;
        std::cerr << options.file << ":" << parseError.line << ": " << parseError.message << "\n";
        return 1;
    }
    reg::Batch batch;
    for (reg::RegOperation& op : file.operations) {
        switch (op.kind) {
            case reg::RegOperation::Kind::CreateKey:
                batch.CreateKey(op.hive, std::move(op.path));
                break;
            case reg::RegOperation::Kind::DeleteTree:
                batch.DeleteTree(op.hive, std::move(op.path));
                break;
            case reg::RegOperation::Kind::SetValue:
                batch.SetValue(op.hive, std::move(op.path), std::move(op.name), op.value.type,
                               std::move(op.value.data));
                break;
            case reg::RegOperation::Kind::DeleteValue:
                batch.DeleteValue(op.hive, std::move(op.path), std::move(op.name));
                break;
        }
    }
    Status status = batch.Commit();
    if (status == Status::AccessDenied && reg::LastErrorDetail().empty()) {
        return Fail("Access is denied: " + options.file +
                    " deletes a root key or HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes; nothing was "
                    "imported.");
    }
    if (status != Status::Ok) {
        return Fail(StatusMessage(status) + "; nothing was imported.");
    }
    std::cout << kDone << "\n";
    return 0;
}

}  // namespace sorvex::regtool
