// The scale's device object: TalvexScale, with the dual interface ITalvexScale.
#include "service/scale/scale.h"
#include "service/server/device_object.h"

namespace talvex::server {

namespace com = sorvex::com;

namespace {

constinit com::TypeInfoHolder g_ScaleTypeInfo(LIBID_TALVEXSOLib, TALVEXSOLib_MajorVersion,
                                              TALVEXSOLib_MinorVersion, IID_ITalvexScale,
                                              ITalvexScale_DispatchMembers);

class CScaleObject final
    : public DeviceObject<ITalvexScale, CScale, g_ScaleTypeInfo, IID_ITalvexScale> {
    friend class DeviceObject<ITalvexScale, CScale, g_ScaleTypeInfo, IID_ITalvexScale>;

  public:
    HRESULT DisplayText(BSTR Data, std::int32_t* pRC) override {
        return Guard([&] { *pRC = m_Device.DisplayText(com::BstrToString(Data)); });
    }
    HRESULT ReadWeight(std::int32_t* pData, std::int32_t Timeout, std::int32_t* pRC) override {
        return Guard([&] { *pRC = m_Device.ReadWeight(pData, Timeout); });
    }
    HRESULT ZeroScale(std::int32_t* pRC) override {
        return Guard([&] { *pRC = m_Device.ZeroScale(); });
    }
    HRESULT GetSalesPrice(com::CY* pCY) override {
        return Guard([&] { m_Device.GetSalesPrice(pCY); });
    }
    HRESULT GetUnitPrice(com::CY* pCY) override {
        return Guard([&] { m_Device.GetUnitPrice(pCY); });
    }
    HRESULT SetUnitPrice(com::CY NewUnitPrice) override {
        return Guard([&] { m_Device.SetUnitPrice(NewUnitPrice); });
    }

  protected:
    void DestroySelf() override { delete this; }
};

}  // namespace

com::HRESULT CreateScaleObject(const com::IID& iid, void** object) {
    return CScaleObject::Create<CScaleObject>(iid, object);
}

}  // namespace talvex::server
