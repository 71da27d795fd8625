// The scanner's device object: TalvexScanner, with the dual interface ITalvexScanner.
#include "service/scanner/scanner.h"
#include "service/server/device_object.h"

namespace talvex::server {

namespace com = sorvex::com;

namespace {

constinit com::TypeInfoHolder g_ScannerTypeInfo(LIBID_TALVEXSOLib, TALVEXSOLib_MajorVersion,
                                                TALVEXSOLib_MinorVersion, IID_ITalvexScanner,
                                                ITalvexScanner_DispatchMembers);

class CScannerObject final
    : public DeviceObject<ITalvexScanner, CScanner, g_ScannerTypeInfo, IID_ITalvexScanner> {
    friend class DeviceObject<ITalvexScanner, CScanner, g_ScannerTypeInfo, IID_ITalvexScanner>;

  protected:
    void DestroySelf() override { delete this; }
};

}  // namespace

com::HRESULT CreateScannerObject(const com::IID& iid, void** object) {
    return CScannerObject::Create<CScannerObject>(iid, object);
}

}  // namespace talvex::server
