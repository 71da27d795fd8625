// A stand-in for an OPOS control object in tests: answers GetIDsOfNames for the callback names
// it is given and records every Invoke.
#pragma once

#include <cstdint>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/unknown.h"

namespace talvex::test {

class FakeControlObject final : public sorvex::com::IDispatch {
  public:
    struct Call {
        std::string name;                // "SOData", "SOError", ...
        std::vector<std::int32_t> args;  // in the callee's parameter order
        std::thread::id thread;
    };

    // The callback names it knows; a missing one answers DISP_E_UNKNOWNNAME.
    explicit FakeControlObject(std::vector<std::string> names = {"SOData", "SODirectIO", "SOError",
                                                                 "SOStatusUpdate",
                                                                 "SOOutputComplete"});

    sorvex::com::HRESULT QueryInterface(const sorvex::com::IID& iid, void** object) override;
    std::uint32_t AddRef() override { return 1; }
    std::uint32_t Release() override { return 1; }
    sorvex::com::HRESULT GetTypeInfoCount(std::uint32_t* count) override;
    sorvex::com::HRESULT GetTypeInfo(std::uint32_t, sorvex::com::LCID,
                                     sorvex::com::ITypeInfo**) override;
    sorvex::com::HRESULT GetIDsOfNames(const sorvex::com::IID&, sorvex::com::OLECHAR** names,
                                       std::uint32_t count, sorvex::com::LCID,
                                       sorvex::com::DISPID* ids) override;
    sorvex::com::HRESULT Invoke(sorvex::com::DISPID member, const sorvex::com::IID&,
                                sorvex::com::LCID, std::uint16_t flags,
                                sorvex::com::DISPPARAMS* params, sorvex::com::VARIANT*,
                                sorvex::com::EXCEPINFO*, std::uint32_t*) override;

    std::vector<Call> Calls() const;
    std::size_t CountOf(const std::string& name) const;

    // Runs inside every Invoke, on the calling thread, after the call is recorded.
    std::function<void(const Call&)> onCall;
    // What SOError writes back into ErrorResponse (nothing when negative).
    std::int32_t errorResponse = -1;
    // Make every Invoke fail.
    bool failInvoke = false;
    // Every Invoke, failed ones included.
    std::atomic<int> invokeAttempts{0};

  private:
    std::vector<std::string> m_Names;
    mutable std::mutex m_Lock;
    std::vector<Call> m_Calls;
};

}  // namespace talvex::test
