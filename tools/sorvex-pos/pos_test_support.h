// Helpers for tests that run sorvex-pos as a second process and read its JSON lines; shared by
// sorvex_pos_test.cpp and end-to-end tests against real service objects.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/subprocess.h"
#include "tests/support/temp_root.h"

namespace sorvex::pos_test {

// Starts sorvex-pos (from build/bin) with the arguments.
inline std::unique_ptr<test::Subprocess> StartPos(std::vector<std::string> args) {
    args.insert(args.begin(), test::BinPath("sorvex-pos").string());
    return std::make_unique<test::Subprocess>(args);
}

// Runs sorvex-pos to its end.
inline test::RunResult RunPos(std::vector<std::string> args) {
    args.insert(args.begin(), test::BinPath("sorvex-pos").string());
    return test::Run(args);
}

// Reads lines until one contains `needle` (each wait up to `patience`); all of them go to
// `lines`. False when the output ended or stalled first.
inline bool ReadUntil(test::Subprocess& p, const std::string& needle,
                      std::vector<std::string>& lines,
                      std::chrono::milliseconds patience = std::chrono::seconds(20)) {
    for (;;) {
        std::optional<std::string> line = p.ReadLine(patience);
        if (!line) {
            return false;
        }
        lines.push_back(*line);
        if (line->find(needle) != std::string::npos) {
            return true;
        }
    }
}

// The complete lines of a text.
inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

}  // namespace sorvex::pos_test
