#include "platform/opos/standin/standin_support.h"

#include <dlfcn.h>

#include <cstdio>
#include <random>
#include <stdexcept>

#include "platform/com/guid.h"
#include "platform/com/server.h"
#include "platform/registry/registry.h"

namespace sorvex::opos_test {

namespace reg = sorvex::registry;

std::string StandInLibrary() {
    return SORVEX_OPOS_STANDIN;
}

namespace {

com::HRESULT CallEntry(const char* entry) {
    void* handle = ::dlopen(StandInLibrary().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        throw std::runtime_error(std::string("cannot load the stand-in: ") + ::dlerror());
    }
    auto function = reinterpret_cast<com::DllRegisterServerFunc>(::dlsym(handle, entry));
    if (function == nullptr) {
        ::dlclose(handle);
        throw std::runtime_error(std::string("the stand-in lacks ") + entry);
    }
    const com::HRESULT hr = function();
    ::dlclose(handle);
    return hr;
}

std::string NewGuid() {
    std::random_device device;
    com::GUID g;
    g.Data1 = device();
    g.Data2 = static_cast<std::uint16_t>(device());
    g.Data3 = static_cast<std::uint16_t>(device());
    for (auto& b : g.Data4) {
        b = static_cast<std::uint8_t>(device());
    }
    return com::ToString(g);
}

}  // namespace

void RegisterStandIn() {
    const com::HRESULT hr = CallEntry("DllRegisterServer");
    if (com::Failed(hr)) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
        throw std::runtime_error(std::string("DllRegisterServer of the stand-in failed: ") + text);
    }
}

void UnregisterStandInTypeLib() {
    // Unregistering the whole server also removes its two classes; put them back.
    CallEntry("DllUnregisterServer");
    RegisterClass("SorvexStandIn.Scanner", "Scanner");
    RegisterClass("SorvexStandIn.Scale", "Scale");
}

void RegisterClass(const std::string& progId, const std::string& kind, const std::string& hide,
                   const std::string& library, const std::string& fail) {
    const std::string clsid = NewGuid();
    const std::string key = "CLSID\\" + clsid;
    const auto cr = reg::Hive::ClassesRoot;
    reg::Batch batch;
    batch.DeleteTree(cr, progId);
    batch.SetValue(cr, progId + "\\CLSID", "", reg::Type::String, clsid);
    batch.SetValue(cr, key + "\\InprocServer32", "", reg::Type::String,
                   library.empty() ? StandInLibrary() : library);
    batch.SetValue(cr, key + "\\InprocServer32", "ThreadingModel", reg::Type::String, "Apartment");
    batch.SetValue(cr, key, "StandInKind", reg::Type::String, kind);
    if (!hide.empty()) {
        batch.SetValue(cr, key, "StandInHide", reg::Type::String, hide);
    }
    if (!fail.empty()) {
        batch.SetValue(cr, key, "StandInFail", reg::Type::String, fail);
    }
    if (batch.Commit() != reg::Status::Ok) {
        throw std::runtime_error("cannot register the class " + progId);
    }
}

void WriteProfile(const std::string& deviceClass, const std::string& name,
                  const std::string& progId,
                  const std::vector<std::pair<std::string, std::string>>& values) {
    const std::string key = "SOFTWARE\\OLEforRetail\\ServiceOPOS\\" + deviceClass + "\\" + name;
    const auto lm = reg::Hive::LocalMachine;
    reg::Batch batch;
    batch.CreateKey(lm, key);
    if (!progId.empty()) {
        batch.SetValue(lm, key, "", reg::Type::String, progId);
    }
    for (const auto& [valueName, data] : values) {
        batch.SetValue(lm, key, valueName, reg::Type::String, data);
    }
    if (batch.Commit() != reg::Status::Ok) {
        throw std::runtime_error("cannot write the profile " + key);
    }
}

}  // namespace sorvex::opos_test
