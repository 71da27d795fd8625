// A Host for the scanner models' tests: records what a model sends and notes.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tools/sorvex-sim/model.h"

namespace sorvex::sim::test {

class RecordingHost final : public Host {
  public:
    void Send(std::string_view bytes) override { sent.emplace_back(bytes); }
    void Note(std::string_view event, std::string_view detail) override {
        notes.emplace_back(std::string(event), std::string(detail));
    }
    std::chrono::steady_clock::time_point Now() const override {
        return std::chrono::steady_clock::now();
    }
    // The details of the "command" notes, in order.
    std::vector<std::string> Commands() const {
        std::vector<std::string> out;
        for (const auto& [event, detail] : notes) {
            if (event == "command") {
                out.push_back(detail);
            }
        }
        return out;
    }

    std::vector<std::string> sent;
    std::vector<std::pair<std::string, std::string>> notes;
};

// The registered model of that name, made with the options.
inline std::unique_ptr<DeviceModel> MakeModel(const std::string& name, ModelOptions options = {}) {
    const ModelInfo* info = FindModel(name);
    return info ? info->create(options) : nullptr;
}

// A command line split into words.
inline std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    for (char c : line) {
        if (c == ' ') {
            if (!word.empty()) {
                words.push_back(word);
            }
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty()) {
        words.push_back(word);
    }
    return words;
}

}  // namespace sorvex::sim::test
