#include "tools/sorvex-sim/model.h"

namespace sorvex::sim {

namespace {

std::vector<ModelInfo>& Registry() {
    static std::vector<ModelInfo> models;
    return models;
}

}  // namespace

const std::vector<ModelInfo>& Models() {
    return Registry();
}

const ModelInfo* FindModel(std::string_view name) {
    for (const ModelInfo& info : Registry()) {
        if (info.name == name) {
            return &info;
        }
    }
    return nullptr;
}

ModelRegistration::ModelRegistration(ModelInfo info) {
    Registry().push_back(std::move(info));
}

}  // namespace sorvex::sim
