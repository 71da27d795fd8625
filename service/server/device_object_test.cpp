// The COM object around a device, without the library around it: how creation and destruction
// keep the module lock count, and what a device that cannot be built answers.
#include "service/server/device_object.h"

#include <gtest/gtest.h>

#include <atomic>
#include <new>

#include "service/frame/device.h"
#include "tests/support/temp_root.h"

namespace talvex {
namespace {

namespace com = sorvex::com;

std::atomic<long> g_Locks{0};
std::atomic<long> g_LocksSeenByDevice{-1};
bool g_FailConstruction = false;

const DeviceTexts kObservedTexts = {
    "CScanner",
    "OrvantaOposObserved",
    "",
    "",
    "",
    "",
    "  *   DeviceName:  ",
    "  *  pRC: ",
    "  *   pNumber: ",
    "  *  pString: ",
    1008008,
    "Observed",
    true,
    true,
    true,
};

// A device that reports the module lock count while it is torn down, or fails to be built.
class ObservedDevice final : public CDevice {
  public:
    ObservedDevice() : CDevice(kObservedTexts) {
        if (g_FailConstruction) {
            throw std::bad_alloc();
        }
    }
    ~ObservedDevice() override {
        Shutdown();  // the delivery thread has ended; the library must still count as in use
        g_LocksSeenByDevice = g_Locks.load();
    }
    std::int32_t DirectIO(std::int32_t, std::int32_t*, std::string*) { return 0; }
    std::int32_t ResetStatistics(const std::string&) { return 0; }
    std::int32_t RetrieveStatistics(std::string*) { return 0; }
    std::int32_t UpdateStatistics(const std::string&) { return 0; }

  protected:
    bool ConfigureDevice(const RegistryValues&) override { return true; }
    std::int32_t DeviceEnable(bool) override { return 0; }
    void ProcessEvent(OposEvent&) override {}
};

constinit com::TypeInfoHolder g_TypeInfo(LIBID_TALVEXSOLib, TALVEXSOLib_MajorVersion,
                                         TALVEXSOLib_MinorVersion, IID_ITalvexScanner,
                                         ITalvexScanner_DispatchMembers);

using ObservedBase =
    server::DeviceObject<ITalvexScanner, ObservedDevice, g_TypeInfo, IID_ITalvexScanner>;

class ObservedObject final : public ObservedBase {
    friend ObservedBase;

  protected:
    void DestroySelf() override { delete this; }
};

class DeviceObjectTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_Locks = 0;
        g_LocksSeenByDevice = -1;
        g_FailConstruction = false;
    }
    sorvex::test::TempRoot root;
};

TEST_F(DeviceObjectTest, HoldsTheModuleLockUntilTheDeviceIsTornDown) {
    void* object = nullptr;
    ASSERT_EQ(ObservedObject::Create<ObservedObject>(com::IID_IDispatch, &object), com::S_OK);
    EXPECT_EQ(g_Locks, 1);
    static_cast<com::IDispatch*>(object)->Release();
    EXPECT_EQ(g_LocksSeenByDevice, 1);  // still counted while the device's destructor runs
    EXPECT_EQ(g_Locks, 0);
}

TEST_F(DeviceObjectTest, AnswersOutOfMemoryWhenTheDeviceCannotBeBuilt) {
    g_FailConstruction = true;
    void* object = nullptr;
    EXPECT_EQ(ObservedObject::Create<ObservedObject>(com::IID_IDispatch, &object),
              com::E_OUTOFMEMORY);
    EXPECT_EQ(g_Locks, 0);
}

}  // namespace

namespace server {

// The module's lock count, kept by the test instead of the library.
void ModuleLock() {
    g_Locks.fetch_add(1);
}
void ModuleUnlock() {
    g_Locks.fetch_sub(1);
}

}  // namespace server
}  // namespace talvex
