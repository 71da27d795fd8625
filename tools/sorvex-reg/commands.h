// The verbs of sorvex-reg. Each prints its results on standard output and returns the exit
// code; a failure is one line on standard error.
#pragma once

#include <optional>
#include <string>

#include "platform/registry/registry.h"

namespace sorvex::regtool {

struct Options {
    registry::Hive hive = registry::Hive::LocalMachine;
    std::string path;                 // below the hive
    std::string keyText;              // the key as the user wrote it
    std::optional<std::string> name;  // /v NAME, or "" for /ve
    bool recurse = false;             // /s
    std::optional<std::string> type;  // /t
    std::optional<std::string> data;  // /d
    bool force = false;               // /f, /y
    std::string file;                 // export, import
};

int Query(const Options& options);
int Add(const Options& options);
int Delete(const Options& options);
int Export(const Options& options);
int Import(const Options& options);

// Prints "sorvex-reg: ERROR: <message>" on standard error and returns 1.
int Fail(const std::string& message);

}  // namespace sorvex::regtool
