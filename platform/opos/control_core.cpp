#include "platform/opos/control_core.h"

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <utility>

#include "platform/com/apartment.h"
#include "platform/com/bstr.h"
#include "platform/com/error_detail.h"
#include "platform/com/guid.h"
#include "platform/com/loader.h"
#include "platform/com/variant_convert.h"
#include "platform/opos/thread_state.h"
#include "platform/registry/registry.h"

namespace sorvex::opos_impl {

namespace {

namespace reg = sorvex::registry;
using namespace sorvex::opos;  // the OPOS constants

constexpr char kProfileRoot[] = "SOFTWARE\\OLEforRetail\\ServiceOPOS\\";

// Property indices the core itself uses.
constexpr std::int32_t kPidxResultCode = 6;
constexpr std::int32_t kPidxResultCodeExtended = 7;
constexpr std::int32_t kPidxServiceObjectVersion = 8;
constexpr std::int32_t kPidxState = 9;

std::string Hex(com::HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

std::string VersionText(std::int32_t v) {
    char text[32];
    std::snprintf(text, sizeof text, "%d.%03d.%03d", v / 1000000, (v / 1000) % 1000, v % 1000);
    return text;
}

com::VARIANT Long(std::int32_t value) {
    com::VARIANT v;
    v.vt = com::VT_I4;
    v.lVal = value;
    return v;
}

// A number out of a retval: VT_I4 as it is, anything convertible converted.
bool ToLong(const com::VARIANT& v, std::int32_t& out) {
    if (v.vt == com::VT_I4) {
        out = v.lVal;
        return true;
    }
    com::Variant converted;
    if (com::Failed(com::VariantChangeType(&converted, &v, 0, com::VT_I4))) {
        return false;
    }
    out = converted.lVal;
    return true;
}

// Copies the handler first: the handler may replace or clear itself (and destroy its control
// object) while it runs.
template <class Handler, class... Args>
void Raise(const Handler& handler, Args&&... args) {
    Handler copy = handler;
    if (!copy) {
        return;
    }
    try {
        copy(std::forward<Args>(args)...);
    } catch (...) {
        ThreadState::Current().KeepException(std::current_exception());
    }
}

}  // namespace

ControlCore::ControlCore(DeviceKind kind) : m_Kind(kind), m_Owner(std::this_thread::get_id()) {
    const com::HRESULT hr = com::CoInitialize();
    if (com::Failed(hr)) {
        throw std::runtime_error("sorvex-opos: cannot join the thread to the apartment: " +
                                 com::LastErrorDetail());
    }
    m_JoinedApartment = true;
    ThreadState::Current();  // after the apartment's own per-thread state: it goes before it
    for (com::DISPID& id : m_Ids) {
        id = com::DISPID_UNKNOWN;
    }
}

ControlCore::~ControlCore() {
    if (!OnOwnerThread()) {
        // Calling the service object here would break its threading contract; leave it be.
        std::fprintf(stderr,
                     "sorvex-opos: a %s control object was destroyed on a thread other than the "
                     "one that created it; its service object is left as it is\n",
                     ClassName());
        (void)m_Service.Detach();
        (void)m_Sink.Detach();
        return;
    }
    if (m_Open) {
        Close();
    }
    ReleaseService();
    if (m_JoinedApartment) {
        // After the service object's release (which may itself wait for the callbacks), so that
        // the last apartment of the process can unload its library.
        ThreadState::Current().LeaveApartmentWhenSafe();
    }
}

void ControlCore::Start() {
    m_Sink = EventSink::Create(std::weak_ptr<EventReceiver>(shared_from_this()));
}

void ControlCore::Shutdown() {
    onData = nullptr;
    onError = nullptr;
    onDirectIO = nullptr;
    onStatusUpdate = nullptr;
    if (m_Open) {
        Close();
    }
}

const char* ControlCore::ClassName() const {
    return m_Kind == DeviceKind::Scanner ? "Scanner" : "Scale";
}

std::string ControlCore::ControlObjectDescription() const {
    return m_Kind == DeviceKind::Scanner ? "Sorvex OPOS Scanner Control 1.8.0"
                                         : "Sorvex OPOS Scale Control 1.8.0";
}

std::int32_t ControlCore::Answer(std::int32_t code, std::string detail) {
    m_Kept = Kept{true, code, true, 0};
    m_ErrorDetail = std::move(detail);
    return code;
}

bool ControlCore::Has(ServiceMethod method) const {
    return m_Ids[static_cast<std::size_t>(method)] != com::DISPID_UNKNOWN;
}

// --- open and close ---

std::int32_t ControlCore::FailOpen(std::int32_t openResult, std::int32_t code, std::string detail) {
    m_OpenResult = openResult;
    return Answer(code, std::move(detail));
}

std::int32_t ControlCore::Open(std::string_view deviceName) {
    const std::string name(deviceName);
    if (m_Open) {
        m_OpenResult = OPOS_OR_ALREADYOPEN;
        return Answer(OPOS_E_ILLEGAL, "Open(\"" + name + "\"): the control object is already open");
    }
    const std::string key = std::string(kProfileRoot) + ClassName() + "\\" + name;
    const std::string where = "HKEY_LOCAL_MACHINE\\" + key;

    // The profile. A name is one key: empty names and names with separators name none.
    reg::Key profile;
    const reg::Status found =
        name.empty() || name.find('\\') != std::string::npos
            ? reg::Status::NotFound
            : reg::Key::Open(reg::Hive::LocalMachine, key, reg::kRead, profile);
    if (found == reg::Status::NotFound) {
        return FailOpen(OPOS_OR_REGBADNAME, OPOS_E_NOEXIST, "no profile " + where);
    }
    if (found != reg::Status::Ok) {
        return FailOpen(
            OPOS_OPENRESULT, OPOS_E_FAILURE,
            where + ": " + std::string(reg::StatusText(found)) + " " + reg::LastErrorDetail());
    }
    reg::Value progValue;
    const reg::Status read = profile.Get("", progValue);
    if (read != reg::Status::Ok && read != reg::Status::NotFound) {
        return FailOpen(
            OPOS_OPENRESULT, OPOS_E_FAILURE,
            where + ": " + std::string(reg::StatusText(read)) + " " + reg::LastErrorDetail());
    }
    if (read == reg::Status::NotFound || progValue.type != reg::Type::String ||
        progValue.data.empty()) {
        return FailOpen(OPOS_OR_REGPROGID, OPOS_E_NOSERVICE,
                        where + ": no ProgID of a service object in its default value");
    }
    std::string progId = progValue.data;
    while (!progId.empty() && progId.back() == '\0') {
        progId.pop_back();  // written with a terminator by some tools
    }

    // The service object.
    com::CLSID clsid;
    com::HRESULT hr = com::CLSIDFromProgID(progId, &clsid);
    if (com::Failed(hr)) {
        return FailOpen(OPOS_OR_REGPROGID, OPOS_E_NOSERVICE,
                        "ProgID \"" + progId + "\" of " + where + " is not registered (" + Hex(hr) +
                            ": " + com::LastErrorDetail() + ")");
    }
    com::ComPtr<com::IDispatch> so;
    hr = com::CoCreateInstance(clsid, nullptr, com::CLSCTX_INPROC_SERVER, com::IID_IDispatch,
                               so.outVoid());
    if (com::Failed(hr) || !so) {
        return FailOpen(OPOS_OR_CREATE, OPOS_E_NOSERVICE,
                        "cannot create the service object \"" + progId + "\" " +
                            com::ToString(clsid) + " (" + Hex(hr) + ": " + com::LastErrorDetail() +
                            ")");
    }

    // Its methods, by name. Those needed to open at all must be there now.
    com::DISPID ids[kServiceMethodCount];
    com::HRESULT missingHr[kServiceMethodCount] = {};
    for (const ServiceMethodInfo& m : ServiceMethods()) {
        const auto i = static_cast<std::size_t>(m.method);
        ids[i] = com::DISPID_UNKNOWN;
        if (!(m_Kind == DeviceKind::Scanner ? m.scanner : m.scale)) {
            continue;
        }
        com::OLECHAR* names[] = {const_cast<com::OLECHAR*>(m.name)};
        com::DISPID id = com::DISPID_UNKNOWN;
        missingHr[i] = so->GetIDsOfNames(com::IID_NULL, names, 1, com::LOCALE_USER_DEFAULT, &id);
        if (com::Succeeded(missingHr[i])) {
            ids[i] = id;
        }
    }
    auto lacking = [&](int release) -> const ServiceMethodInfo* {
        for (const ServiceMethodInfo& m : ServiceMethods()) {
            const auto i = static_cast<std::size_t>(m.method);
            if ((m_Kind == DeviceKind::Scanner ? m.scanner : m.scale) &&
                ids[i] == com::DISPID_UNKNOWN && m.requiredSince <= release) {
                return &m;
            }
        }
        return nullptr;
    };
    auto badInterface = [&](const ServiceMethodInfo& m, const std::string& release) {
        return "the service object \"" + progId + "\" lacks the method " + m.name + release +
               " (GetIDsOfNames: " + Hex(missingHr[static_cast<std::size_t>(m.method)]) + ")";
    };
    if (const ServiceMethodInfo* m = lacking(kBeforeOpen)) {
        return FailOpen(OPOS_OR_BADIF, OPOS_E_NOSERVICE, badInterface(*m, ""));
    }
    auto id = [&](ServiceMethod m) { return ids[static_cast<std::size_t>(m)]; };

    // OpenService with the control object's own IDispatch.
    {
        com::VARIANT args[3];
        args[0].vt = com::VT_DISPATCH;
        args[0].pdispVal = static_cast<IOposEvents*>(m_Sink.get());
        com::Bstr deviceNameText(name);
        args[1].vt = com::VT_BSTR;
        args[1].bstrVal = deviceNameText.get();
        com::Bstr classText(ClassName());
        args[2].vt = com::VT_BSTR;
        args[2].bstrVal = classText.get();
        com::Variant result;
        hr = Invoke(so, id(ServiceMethod::OpenService), "OpenService", args, &result);
        std::int32_t rc = OPOS_E_NOSERVICE;
        if (com::Failed(hr) || !ToLong(result, rc)) {
            return FailOpen(
                OPOS_OR_FAILEDOPEN, OPOS_E_NOSERVICE,
                "OpenService of \"" + progId + "\" could not be called: " + m_ErrorDetail);
        }
        if (rc != OPOS_SUCCESS) {
            // The service object tells why, when it can.
            std::int32_t openResult = 0;
            if (id(ServiceMethod::GetOpenResult) != com::DISPID_UNKNOWN) {
                com::Variant why;
                if (com::Succeeded(
                        Invoke(so, id(ServiceMethod::GetOpenResult), "GetOpenResult", {}, &why))) {
                    ToLong(why, openResult);
                }
            }
            return FailOpen(
                openResult != 0 ? openResult : OPOS_OR_FAILEDOPEN, rc,
                "OpenService of \"" + progId + "\" for " + where + " answered " +
                    std::to_string(rc) +
                    (openResult != 0 ? " with the open result " + std::to_string(openResult)
                                     : std::string()));
        }
    }

    // Opened: from here a failure closes the service object again.
    auto closeAgain = [&] {
        com::Variant ignored;
        Invoke(so, id(ServiceMethod::CloseService), "CloseService", {}, &ignored);
    };
    std::int32_t version = 0;
    {
        com::VARIANT args[1] = {Long(kPidxServiceObjectVersion)};
        com::Variant result;
        hr = Invoke(so, id(ServiceMethod::GetPropertyNumber), "GetPropertyNumber", args, &result);
        if (com::Failed(hr) || !ToLong(result, version)) {
            const std::string why = m_ErrorDetail;
            closeAgain();
            return FailOpen(OPOS_OR_BADIF, OPOS_E_NOSERVICE,
                            "cannot read the ServiceObjectVersion of \"" + progId + "\": " + why);
        }
    }
    if (version / 1000000 != 1) {
        closeAgain();
        return FailOpen(OPOS_OR_BADVERSION, OPOS_E_NOSERVICE,
                        "the service object \"" + progId + "\" has the version " +
                            VersionText(version) + " (" + std::to_string(version) +
                            "); this control object needs 1.x");
    }
    const int minor = (version / 1000) % 1000;
    if (const ServiceMethodInfo* m = lacking(minor)) {
        closeAgain();
        return FailOpen(
            OPOS_OR_BADIF, OPOS_E_NOSERVICE,
            badInterface(*m, ", which its release " + VersionText(version) + " requires"));
    }

    m_Service = std::move(so);
    std::copy(std::begin(ids), std::end(ids), std::begin(m_Ids));
    m_Open = true;
    m_OpenResult = OPOS_SUCCESS;
    if (m_ControlFreeze > 0) {
        com::VARIANT args[1];
        args[0].vt = com::VT_BOOL;
        args[0].boolVal = com::VARIANT_TRUE;
        CallResult(ServiceMethod::COFreezeEvents, args);
    }
    return Answer(OPOS_SUCCESS);
}

std::int32_t ControlCore::Close() {
    if (!m_Open) {
        return Answer(OPOS_E_CLOSED, "Close: the control object is not open");
    }
    const std::int32_t rc = CallResult(ServiceMethod::CloseService);
    const std::string detail = m_ErrorDetail;
    ReleaseService();
    return Answer(rc, rc == OPOS_SUCCESS ? std::string() : detail);
}

void ControlCore::ReleaseService() {
    m_Open = false;
    for (com::DISPID& id : m_Ids) {
        id = com::DISPID_UNKNOWN;
    }
    if (!m_Service && !m_Sink) {
        return;
    }
    // The sink goes after the service object, which may still hold it.
    ThreadState::Current().ReleaseWhenSafe([so = std::move(m_Service), sink = m_Sink]() mutable {
        so.Reset();
        sink.Reset();
    });
    m_Service = {};
}

std::int32_t ControlCore::FreezeControlEvents(bool freeze) {
    if (!freeze && m_ControlFreeze == 0) {
        return Answer(OPOS_E_ILLEGAL, "FreezeControlEvents(false): events are not frozen");
    }
    m_ControlFreeze += freeze ? 1 : -1;
    if (!m_Open || m_ControlFreeze != (freeze ? 1 : 0)) {
        return Answer(OPOS_SUCCESS);
    }
    com::VARIANT args[1];
    args[0].vt = com::VT_BOOL;
    args[0].boolVal = freeze ? com::VARIANT_TRUE : com::VARIANT_FALSE;
    return CallResult(ServiceMethod::COFreezeEvents, args);
}

// --- calls ---

com::HRESULT ControlCore::Invoke(const com::ComPtr<com::IDispatch>& so, com::DISPID id,
                                 const char* name, std::span<com::VARIANT> args,
                                 com::VARIANT* result) {
    com::ComPtr<com::IDispatch> hold = so;  // the call may close (and release) this object
    com::DISPPARAMS params{args.data(), nullptr, static_cast<std::uint32_t>(args.size()), 0};
    com::EXCEPINFO exception;
    std::uint32_t argError = 0;
    const com::HRESULT hr =
        hold->Invoke(id, com::IID_NULL, com::LOCALE_USER_DEFAULT, com::DISPATCH_METHOD, &params,
                     result, &exception, &argError);
    com::SysFreeString(exception.bstrSource);
    com::SysFreeString(exception.bstrDescription);
    com::SysFreeString(exception.bstrHelpFile);
    if (com::Failed(hr)) {
        std::string detail =
            std::string(name) + ": the service object's Invoke failed with " + Hex(hr);
        if (hr == com::DISP_E_EXCEPTION) {
            detail += " (the method answered " + Hex(exception.scode) + ")";
        } else if (hr == com::DISP_E_TYPEMISMATCH || hr == com::DISP_E_OVERFLOW) {
            detail += " (argument " + std::to_string(argError) + ")";
        }
        const std::string words = com::LastErrorDetail();
        if (!words.empty()) {
            detail += ": " + words;
        }
        m_ErrorDetail = std::move(detail);
    }
    return hr;
}

com::HRESULT ControlCore::Invoke(ServiceMethod method, std::span<com::VARIANT> args,
                                 com::VARIANT* result) {
    return Invoke(m_Service, m_Ids[static_cast<std::size_t>(method)], Info(method).name, args,
                  result);
}

std::int32_t ControlCore::CallResult(ServiceMethod method, std::span<com::VARIANT> args) {
    if (!m_Open) {
        return Answer(OPOS_E_CLOSED,
                      std::string(Info(method).name) + ": the control object is not open");
    }
    if (!Has(method)) {
        return Answer(OPOS_E_NOSERVICE,
                      std::string("the service object has no method ") + Info(method).name);
    }
    com::Variant result;
    if (com::Failed(Invoke(method, args, &result))) {
        return Answer(OPOS_E_NOSERVICE, m_ErrorDetail);
    }
    std::int32_t rc = OPOS_E_NOSERVICE;
    if (!ToLong(result, rc)) {
        return Answer(OPOS_E_NOSERVICE, std::string(Info(method).name) +
                                            ": the service object answered no result code");
    }
    m_Kept = Kept{true, rc, false, 0};
    m_ErrorDetail.clear();
    return rc;
}

std::int32_t ControlCore::CallResult(ServiceMethod method) {
    return CallResult(method, std::span<com::VARIANT>());
}

std::int32_t ControlCore::CallResult(ServiceMethod method, std::int32_t number) {
    com::VARIANT args[1] = {Long(number)};
    return CallResult(method, args);
}

std::int32_t ControlCore::CallResult(ServiceMethod method, std::string_view text) {
    com::Bstr value(text);
    com::VARIANT args[1];
    args[0].vt = com::VT_BSTR;
    args[0].bstrVal = value.get();
    return CallResult(method, args);
}

std::int32_t ControlCore::GetNumber(std::int32_t index) {
    if (!m_Open) {
        Answer(OPOS_E_CLOSED, "GetPropertyNumber: the control object is not open");
        return 0;
    }
    com::VARIANT args[1] = {Long(index)};
    com::Variant result;
    std::int32_t value = 0;
    if (com::Failed(Invoke(ServiceMethod::GetPropertyNumber, args, &result)) ||
        !ToLong(result, value)) {
        Answer(OPOS_E_NOSERVICE, m_ErrorDetail);
        return 0;
    }
    m_Kept.valid = false;  // the service object keeps this call's result
    m_ErrorDetail.clear();
    return value;
}

std::string ControlCore::GetString(std::int32_t index) {
    if (!m_Open) {
        Answer(OPOS_E_CLOSED, "GetPropertyString: the control object is not open");
        return {};
    }
    com::VARIANT args[1] = {Long(index)};
    com::Variant result;
    if (com::Failed(Invoke(ServiceMethod::GetPropertyString, args, &result))) {
        Answer(OPOS_E_NOSERVICE, m_ErrorDetail);
        return {};
    }
    m_Kept.valid = false;
    m_ErrorDetail.clear();
    if (result.vt == com::VT_BSTR) {
        return com::BstrToString(result.bstrVal);
    }
    com::Variant converted;
    if (com::Succeeded(com::VariantChangeType(&converted, &result, 0, com::VT_BSTR))) {
        return com::BstrToString(converted.bstrVal);
    }
    return {};
}

void ControlCore::SetNumber(std::int32_t index, std::int32_t value) {
    if (!m_Open) {
        Answer(OPOS_E_CLOSED, "SetPropertyNumber: the control object is not open");
        return;
    }
    com::VARIANT args[2] = {Long(value), Long(index)};
    com::Variant result;
    if (com::Failed(Invoke(ServiceMethod::SetPropertyNumber, args, &result))) {
        Answer(OPOS_E_NOSERVICE, m_ErrorDetail);
        return;
    }
    m_Kept.valid = false;
    m_ErrorDetail.clear();
}

std::int64_t ControlCore::GetCurrency(ServiceMethod method) {
    if (!m_Open) {
        Answer(OPOS_E_CLOSED, std::string(Info(method).name) + ": the control object is not open");
        return 0;
    }
    if (!Has(method)) {
        Answer(OPOS_E_NOSERVICE,
               std::string("the service object has no method ") + Info(method).name);
        return 0;
    }
    com::Variant result;
    if (com::Failed(Invoke(method, {}, &result))) {
        Answer(OPOS_E_NOSERVICE, m_ErrorDetail);
        return 0;
    }
    m_Kept.valid = false;
    m_ErrorDetail.clear();
    if (result.vt == com::VT_CY) {
        return result.cyVal.int64;
    }
    com::Variant converted;
    if (com::Succeeded(com::VariantChangeType(&converted, &result, 0, com::VT_CY))) {
        return converted.cyVal.int64;
    }
    return 0;
}

void ControlCore::SetCurrency(ServiceMethod method, std::int64_t value) {
    if (!m_Open) {
        Answer(OPOS_E_CLOSED, std::string(Info(method).name) + ": the control object is not open");
        return;
    }
    if (!Has(method)) {
        Answer(OPOS_E_NOSERVICE,
               std::string("the service object has no method ") + Info(method).name);
        return;
    }
    com::VARIANT args[1];
    args[0].vt = com::VT_CY;
    args[0].cyVal.int64 = value;
    com::Variant result;
    if (com::Failed(Invoke(method, args, &result))) {
        Answer(OPOS_E_NOSERVICE, m_ErrorDetail);
        return;
    }
    m_Kept.valid = false;
    m_ErrorDetail.clear();
}

std::int32_t ControlCore::ResultCode() {
    if (!m_Open || m_Kept.valid) {
        return m_Kept.code;
    }
    com::VARIANT args[1] = {Long(kPidxResultCode)};
    com::Variant result;
    std::int32_t value = 0;
    if (com::Failed(Invoke(ServiceMethod::GetPropertyNumber, args, &result)) ||
        !ToLong(result, value)) {
        return Answer(OPOS_E_NOSERVICE, m_ErrorDetail);
    }
    return value;
}

std::int32_t ControlCore::ResultCodeExtended() {
    if (!m_Open || (m_Kept.valid && m_Kept.extendedKnown)) {
        return m_Kept.extended;
    }
    com::VARIANT args[1] = {Long(kPidxResultCodeExtended)};
    com::Variant result;
    std::int32_t value = 0;
    if (com::Failed(Invoke(ServiceMethod::GetPropertyNumber, args, &result)) ||
        !ToLong(result, value)) {
        Answer(OPOS_E_NOSERVICE, m_ErrorDetail);
        return 0;
    }
    return value;
}

std::int32_t ControlCore::State() {
    if (!m_Open) {
        return OPOS_S_CLOSED;
    }
    return GetNumber(kPidxState);
}

// --- callbacks (the control object's thread) ---

com::HRESULT ControlCore::OnData(std::int32_t status) {
    if (!OnOwnerThread()) {
        return com::E_UNEXPECTED;
    }
    Raise(onData, status);
    return com::S_OK;
}

com::HRESULT ControlCore::OnDirectIO(std::int32_t eventNumber, std::int32_t* data,
                                     com::BSTR* string) {
    if (!OnOwnerThread()) {
        return com::E_UNEXPECTED;
    }
    if (data == nullptr || string == nullptr) {
        return com::E_POINTER;
    }
    std::int32_t number = *data;
    std::string text = com::BstrToString(*string);
    Raise(onDirectIO, eventNumber, number, text);
    *data = number;
    if (text != com::BstrView(*string)) {
        com::SysReAllocString(string, text);
    }
    return com::S_OK;
}

com::HRESULT ControlCore::OnError(std::int32_t resultCode, std::int32_t resultCodeExtended,
                                  std::int32_t errorLocus, std::int32_t* errorResponse) {
    if (!OnOwnerThread()) {
        return com::E_UNEXPECTED;
    }
    if (errorResponse == nullptr) {
        return com::E_POINTER;
    }
    std::int32_t response = *errorResponse;
    Raise(onError, resultCode, resultCodeExtended, errorLocus, response);
    *errorResponse = response;
    return com::S_OK;
}

com::HRESULT ControlCore::OnStatusUpdate(std::int32_t data) {
    if (!OnOwnerThread()) {
        return com::E_UNEXPECTED;
    }
    Raise(onStatusUpdate, data);
    return com::S_OK;
}

}  // namespace sorvex::opos_impl
