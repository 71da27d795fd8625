#include "service/frame/registry_values.h"

#include <gtest/gtest.h>

#include "platform/registry/registry.h"
#include "service/frame/errors.h"
#include "tests/support/temp_root.h"

namespace talvex {
namespace {

namespace reg = sorvex::registry;

class RegistryValuesTest : public ::testing::Test {
  protected:
    void SetValue(const std::string& path, const std::string& name, reg::Type type,
                  const std::string& data) {
        reg::Key key;
        ASSERT_EQ(reg::Key::Create(reg::Hive::LocalMachine, path, key), reg::Status::Ok);
        ASSERT_EQ(key.Set(name, type, data), reg::Status::Ok);
    }
    void SetProfile(const std::string& name, const std::string& text) {
        // The utility spells the second component "OLEForRetail"; it is the same key.
        SetValue("SOFTWARE\\OLEForRetail\\ServiceOPOS\\Scanner\\Lane1", name, reg::Type::String,
                 text);
    }
    template <class F>
    std::string ErrorOf(F&& f) {
        try {
            f();
        } catch (const OposRegistryError& e) {
            return e.what();
        }
        return "no error";
    }

    sorvex::test::TempRoot root;
    RegistryValues values{"Scanner", "Lane1"};
};

TEST_F(RegistryValuesTest, ReadsTextAndNumbersFromTheProfileAndTheGlobalKey) {
    SetProfile("Model", std::string("Heronix/2110\0\xff", 14));
    SetProfile("Serial Port", " 12abc");
    SetValue("SOFTWARE\\OLEforRetail\\ServiceInfo\\Orvanta", "LogVerbosity", reg::Type::String,
             "4");
    EXPECT_EQ(values.ReadProfileString("Model"), std::string("Heronix/2110\0\xff", 14));
    EXPECT_EQ(values.ReadProfileNumber("serial port"), 12);
    EXPECT_EQ(values.ReadServiceInfoNumber("LogVerbosity"), 4);
    EXPECT_EQ(ReadServiceInfoNumberOr("VendorEnforcement", 1), 1);
}

TEST_F(RegistryValuesTest, NamesTheKeyAndValueWithTwoBackslashesWhenAReadFails) {
    const std::string profile = "SOFTWARE\\OLEforRetail\\ServiceOPOS\\Scanner\\Lane1\\";
    EXPECT_EQ(ErrorOf([&] { values.ReadProfileString("Model"); }),
              "Error opening " + profile + "\\Model");
    SetProfile("Other", "x");
    EXPECT_EQ(ErrorOf([&] { values.ReadProfileString("Model"); }),
              "Error retrieving " + profile + "\\Model");
    SetValue("SOFTWARE\\OLEforRetail\\ServiceOPOS\\Scanner\\Lane1", "Serial Port", reg::Type::Dword,
             std::string("\x01\0\0\0", 4));
    EXPECT_EQ(ErrorOf([&] { values.ReadProfileNumber("Serial Port"); }),
              "Error retrieving " + profile + "\\Serial Port");
    EXPECT_EQ(ErrorOf([&] { values.ReadServiceInfoNumber("LogVerbosity"); }),
              "Error opening SOFTWARE\\OLEforRetail\\ServiceInfo\\Orvanta\\\\LogVerbosity");
}

TEST_F(RegistryValuesTest, TreatsANumberWithoutDigitsAndAnOverlongValueAsUnreadable) {
    const std::string profile = "SOFTWARE\\OLEforRetail\\ServiceOPOS\\Scanner\\Lane1\\";
    SetProfile("Serial Port", "");
    EXPECT_EQ(ErrorOf([&] { values.ReadProfileNumber("Serial Port"); }),
              "Error retrieving " + profile + "\\Serial Port");
    SetProfile("Model", std::string(RegistryValues::kValueBufferSize, 'x'));
    EXPECT_EQ(values.ReadProfileString("Model").size(), RegistryValues::kValueBufferSize);
    SetProfile("Model", std::string(RegistryValues::kValueBufferSize + 1, 'x'));
    EXPECT_EQ(ErrorOf([&] { values.ReadProfileString("Model"); }),
              "Error retrieving " + profile + "\\Model");
}

TEST_F(RegistryValuesTest, SeesEveryChangeAtTheNextRead) {
    SetProfile("Scanner Version", "1");
    EXPECT_EQ(values.ReadProfileNumber("Scanner Version"), 1);
    SetProfile("Scanner Version", "3");
    EXPECT_EQ(values.ReadProfileNumber("Scanner Version"), 3);
}

TEST_F(RegistryValuesTest, WritesNumbersAsDecimalText) {
    const std::string profile = "SOFTWARE\\OLEforRetail\\ServiceOPOS\\Scanner\\Lane1\\";
    EXPECT_EQ(ErrorOf([&] { values.WriteProfileNumber("Serial Port", 7); }),
              "Error opening " + profile + "\\Serial Port");
    SetProfile("Model", "6620");
    values.WriteProfileNumber("Serial Port", 7);
    values.WriteProfileNumber("FirstPosUsbUnit", -1);
    reg::Key key;
    ASSERT_EQ(reg::Key::Open(reg::Hive::LocalMachine, profile, reg::kRead, key), reg::Status::Ok);
    reg::Value v;
    ASSERT_EQ(key.Get("Serial Port", v), reg::Status::Ok);
    EXPECT_EQ(v.type, reg::Type::String);
    EXPECT_EQ(v.data, "7");  // no terminating zero stored
    ASSERT_EQ(key.Get("FirstPosUsbUnit", v), reg::Status::Ok);
    EXPECT_EQ(v.data, "-1");
}

}  // namespace
}  // namespace talvex
