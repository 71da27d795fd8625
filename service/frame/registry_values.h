// Reads and writes the configuration the service objects use: the device profiles under
// HKLM "SOFTWARE\OLEforRetail\ServiceOPOS\<class>\<name>" and the maker's global values under
// HKLM "SOFTWARE\OLEforRetail\ServiceInfo\Orvanta".
//
// Every read opens the key, queries the value and closes the key again; nothing is cached, so a
// value changed in the registry is seen by the next read. Values must be REG_SZ; numbers are
// decimal text. Failures raise OposRegistryError with "Error opening ", "Error retrieving " or
// "Error setting " followed by the key path, a backslash and the value name (the key paths end
// with a backslash, so the message shows two).
#pragma once

#include <cstdint>
#include <string>

namespace talvex {

inline constexpr const char* kProfileRoot = "SOFTWARE\\OLEforRetail\\ServiceOPOS";
inline constexpr const char* kServiceInfoKey = "SOFTWARE\\OLEforRetail\\ServiceInfo\\Orvanta";

class RegistryValues {
  public:
    // Components that need only the global values pass two empty texts.
    RegistryValues(const std::string& deviceClass, const std::string& profileName);

    std::int32_t ReadServiceInfoNumber(const std::string& name) const;
    std::string ReadProfileString(const std::string& name) const;
    std::int32_t ReadProfileNumber(const std::string& name) const;
    void WriteProfileNumber(const std::string& name, std::int32_t value) const;

    const std::string& ProfilePath() const { return m_ProfilePath; }
    const std::string& InfoPath() const { return m_InfoPath; }

    // The largest value a read accepts; a longer one counts as unreadable.
    static constexpr std::size_t kValueBufferSize = 2048;

  private:
    std::string m_ProfilePath;  // ends with a backslash; empty without class or name
    std::string m_InfoPath;     // ends with a backslash
};

// Reads the global value `name` as a number, or `fallback` when it cannot be read.
std::int32_t ReadServiceInfoNumberOr(const std::string& name, std::int32_t fallback);

}  // namespace talvex
