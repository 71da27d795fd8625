#include "service/frame/registry_values.h"

#include "platform/registry/registry.h"
#include "service/frame/errors.h"
#include "service/frame/strings.h"

namespace talvex {

namespace reg = sorvex::registry;

namespace {

std::string ReadString(const std::string& keyPath, const std::string& name) {
    reg::Key key;
    if (keyPath.empty() ||
        reg::Key::Open(reg::Hive::LocalMachine, keyPath, reg::kRead, key) != reg::Status::Ok) {
        throw OposRegistryError("Error opening " + keyPath + "\\" + name);
    }
    reg::Type type = reg::Type::None;
    std::size_t size = 0;
    if (key.QueryInfo(name, &type, &size) != reg::Status::Ok || type != reg::Type::String) {
        throw OposRegistryError("Error retrieving " + keyPath + "\\" + name);
    }
    char buffer[RegistryValues::kValueBufferSize];
    size = sizeof buffer;
    // A value that does not fit the buffer is reported as unreadable, never cut short.
    if (key.Query(name, &type, buffer, &size) != reg::Status::Ok || type != reg::Type::String) {
        throw OposRegistryError("Error retrieving " + keyPath + "\\" + name);
    }
    return std::string(buffer, size);
}

// A number whose text holds no number is unreadable like a missing value: the reader's default
// applies, and a required value fails the open with the configuration result.
std::int32_t ReadNumber(const std::string& keyPath, const std::string& name) {
    std::string text = ReadString(keyPath, name);
    try {
        return StringToNum(text);
    } catch (const StringError&) {
        throw OposRegistryError("Error retrieving " + keyPath + "\\" + name);
    }
}

}  // namespace

RegistryValues::RegistryValues(const std::string& deviceClass, const std::string& profileName)
    : m_InfoPath(std::string(kServiceInfoKey) + "\\") {
    if (!deviceClass.empty() && !profileName.empty()) {
        m_ProfilePath = std::string(kProfileRoot) + "\\" + deviceClass + "\\" + profileName + "\\";
    }
}

std::int32_t RegistryValues::ReadServiceInfoNumber(const std::string& name) const {
    return ReadNumber(m_InfoPath, name);
}

std::string RegistryValues::ReadProfileString(const std::string& name) const {
    return ReadString(m_ProfilePath, name);
}

std::int32_t RegistryValues::ReadProfileNumber(const std::string& name) const {
    return ReadNumber(m_ProfilePath, name);
}

void RegistryValues::WriteProfileNumber(const std::string& name, std::int32_t value) const {
    reg::Key key;
    if (m_ProfilePath.empty() || reg::Key::Open(reg::Hive::LocalMachine, m_ProfilePath,
                                                reg::kReadWrite, key) != reg::Status::Ok) {
        throw OposRegistryError("Error opening " + m_ProfilePath + "\\" + name);
    }
    if (key.SetString(name, NumToString(value)) != reg::Status::Ok) {
        throw OposRegistryError("Error setting " + m_ProfilePath + "\\" + name);
    }
}

std::int32_t ReadServiceInfoNumberOr(const std::string& name, std::int32_t fallback) {
    try {
        return RegistryValues("", "").ReadServiceInfoNumber(name);
    } catch (const TalvexError&) {
        return fallback;
    }
}

}  // namespace talvex
