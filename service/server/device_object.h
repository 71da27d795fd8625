// The COM object around a service object: reference counting, QueryInterface, the dispatch part
// answered from the registered type library, and the methods the scanner's and the scale's
// interfaces share, turned into calls of the device class. Every method answers S_OK; the OPOS
// outcome is in the out parameter (and in ResultCode). An error that is not an OPOS one (memory
// exhausted, a fault of the frame) answers a failing HRESULT instead of escaping.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <new>
#include <string>

#include "platform/com/bstr.h"
#include "platform/com/dispatch.h"
#include "service/frame/log.h"
#include "service/server/objects.h"

namespace talvex::server {

template <class Interface, class Device, sorvex::com::TypeInfoHolder& Holder,
          const sorvex::com::IID& InterfaceId>
class DeviceObject : public sorvex::com::DualDispatch<Interface, Holder> {
  public:
    using HRESULT = sorvex::com::HRESULT;
    using BSTR = sorvex::com::BSTR;

    DeviceObject() = default;

    // Creates an object with its hidden window on the calling thread and answers `iid`.
    template <class Object>
    static HRESULT Create(const sorvex::com::IID& iid, void** object) {
        Object* created = nullptr;
        try {
            created = new Object();
        } catch (const std::bad_alloc&) {
            return sorvex::com::E_OUTOFMEMORY;
        } catch (const std::exception&) {
            return sorvex::com::E_FAIL;  // the device's delivery thread could not be started
        }
        std::uint32_t error = 0;
        if (!created->m_Device.CreateDeviceWindow(&error)) {
            delete created;
            return sorvex::com::HresultFromWin32(error != 0 ? error : 1400);  // invalid window
        }
        HRESULT hr = created->QueryInterface(iid, object);
        created->Release();  // the reference of `new`; the caller holds the one it asked for
        return hr;
    }

    HRESULT QueryInterface(const sorvex::com::IID& iid, void** object) override {
        return sorvex::com::QueryInterfaceFor(
            static_cast<Interface*>(this), iid, object,
            {sorvex::com::IID_IUnknown, sorvex::com::IID_IDispatch, InterfaceId});
    }
    std::uint32_t AddRef() override { return m_Refs.fetch_add(1) + 1; }
    std::uint32_t Release() override {
        const std::uint32_t left = m_Refs.fetch_sub(1) - 1;
        if (left == 0) {
            DestroySelf();
        }
        return left;
    }

    HRESULT OpenService(BSTR DeviceClass, BSTR DeviceName, sorvex::com::IDispatch* pDispatch,
                        std::int32_t* pRC) override {
        return Guard([&] {
            *pRC = m_Device.OpenService(sorvex::com::BstrToString(DeviceClass),
                                        sorvex::com::BstrToString(DeviceName), pDispatch);
        });
    }
    HRESULT CheckHealth(std::int32_t Level, std::int32_t* pRC) override {
        return Guard([&] { *pRC = m_Device.CheckHealth(Level); });
    }
    HRESULT ClaimDevice(std::int32_t Timeout, std::int32_t* pRC) override {
        return Guard([&] { *pRC = m_Device.ClaimDevice(Timeout); });
    }
    HRESULT ClearInput(std::int32_t* pRC) override {
        return Guard([&] { *pRC = m_Device.ClearInput(); });
    }
    HRESULT CloseService(std::int32_t* pRC) override {
        return Guard([&] { *pRC = m_Device.CloseService(); });
    }
    HRESULT COFreezeEvents(sorvex::com::VARIANT_BOOL Freeze, std::int32_t* pRC) override {
        return Guard([&] { *pRC = m_Device.COFreezeEvents(Freeze != 0); });
    }
    HRESULT DirectIO(std::int32_t Command, std::int32_t* pData, BSTR* pString,
                     std::int32_t* pRC) override {
        return Guard([&] {
            std::string text = sorvex::com::BstrToString(*pString);
            std::string before = text;
            *pRC = m_Device.DirectIO(Command, pData, &text);
            if (text != before) {
                sorvex::com::SysReAllocString(pString, text);
            }
        });
    }
    HRESULT GetOpenResult(std::int32_t* pRC) override {
        return Guard([&] { *pRC = m_Device.GetOpenResult(); });
    }
    HRESULT ReleaseDevice(std::int32_t* pRC) override {
        return Guard([&] { *pRC = m_Device.ReleaseDevice(); });
    }
    HRESULT GetPropertyNumber(std::int32_t PropIndex, std::int32_t* pNumber) override {
        return Guard([&] { m_Device.GetPropertyNumber(PropIndex, pNumber); });
    }
    HRESULT GetPropertyString(std::int32_t PropIndex, BSTR* pString) override {
        return Guard([&] {
            // The previous contents of pString are freed.
            sorvex::com::SysReAllocString(pString, m_Device.GetPropertyString(PropIndex));
        });
    }
    HRESULT SetPropertyNumber(std::int32_t PropIndex, std::int32_t Number) override {
        return Guard([&] { m_Device.SetPropertyNumber(PropIndex, Number); });
    }
    HRESULT SetPropertyString(std::int32_t PropIndex, BSTR String) override {
        return Guard(
            [&] { m_Device.SetPropertyString(PropIndex, sorvex::com::BstrToString(String)); });
    }
    HRESULT ResetStatistics(BSTR statisticsBuffer, std::int32_t* pRC) override {
        return Guard(
            [&] { *pRC = m_Device.ResetStatistics(sorvex::com::BstrToString(statisticsBuffer)); });
    }
    HRESULT RetrieveStatistics(BSTR* pString, std::int32_t* pRC) override {
        return Guard([&] {
            std::string text = sorvex::com::BstrToString(*pString);
            std::string before = text;
            *pRC = m_Device.RetrieveStatistics(&text);
            if (text != before) {
                sorvex::com::SysReAllocString(pString, text);
            }
        });
    }
    HRESULT UpdateStatistics(BSTR statisticsBuffer, std::int32_t* pRC) override {
        return Guard(
            [&] { *pRC = m_Device.UpdateStatistics(sorvex::com::BstrToString(statisticsBuffer)); });
    }

  protected:
    ~DeviceObject() = default;
    virtual void DestroySelf() = 0;

    // Runs a method body; what is not an OPOS outcome becomes an HRESULT, traced at level 0.
    template <class Body>
    HRESULT Guard(Body&& body) {
        try {
            body();
            return sorvex::com::S_OK;
        } catch (const std::bad_alloc&) {
            return sorvex::com::E_OUTOFMEMORY;
        } catch (const std::exception& e) {
            TALVEX_LOG(0, m_Device.Texts().tag, e.what());
            return sorvex::com::E_UNEXPECTED;
        }
    }

    // Holds the module lock from before the device is built until after it is torn down
    // (members go in reverse order), so the library never counts as unloadable while the
    // device's destructor, or the delivery thread it stops, still runs.
    struct ModuleLockRef {
        ModuleLockRef() { ModuleLock(); }
        ~ModuleLockRef() { ModuleUnlock(); }
        ModuleLockRef(const ModuleLockRef&) = delete;
        ModuleLockRef& operator=(const ModuleLockRef&) = delete;
    } m_ModuleLock;
    Device m_Device;

  private:
    std::atomic<std::uint32_t> m_Refs{1};
};

}  // namespace talvex::server
