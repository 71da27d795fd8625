// Opening: every OpenResult from a real cause, and what a closed control object answers.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/opos/standin/standin_support.h"
#include "sorvex/opos.h"
#include "tests/support/temp_root.h"

namespace {

using namespace sorvex::opos;
namespace st = sorvex::opos_test;

class OposOpen : public ::testing::Test {
  protected:
    void SetUp() override { st::RegisterStandIn(); }
    sorvex::test::TempRoot m_Root;
};

TEST_F(OposOpen, ClosedObjectAnswersClosed) {
    OposScanner scanner;
    EXPECT_EQ(scanner.ResultCode(), OPOS_E_CLOSED);
    EXPECT_EQ(scanner.State(), OPOS_S_CLOSED);
    EXPECT_EQ(scanner.ClaimDevice(0), OPOS_E_CLOSED);
    EXPECT_FALSE(scanner.Claimed());
    EXPECT_EQ(scanner.DeviceName(), "");
    EXPECT_EQ(scanner.Close(), OPOS_E_CLOSED);
    EXPECT_EQ(scanner.ResultCode(), OPOS_E_CLOSED);
    EXPECT_EQ(scanner.ControlObjectVersion(), 1008000);
    EXPECT_EQ(scanner.ControlObjectDescription(), "Sorvex OPOS Scanner Control 1.8.0");
    OposScale scale;
    EXPECT_EQ(scale.ControlObjectDescription(), "Sorvex OPOS Scale Control 1.8.0");
    std::int32_t weight = 7;
    EXPECT_EQ(scale.ReadWeight(weight, 0), OPOS_E_CLOSED);
    EXPECT_EQ(weight, 7);
}

TEST_F(OposOpen, OpensTheServiceObjectTheProfileNames) {
    st::WriteProfile("Scanner", "Front", "SorvexStandIn.Scanner");
    OposScanner scanner;
    ASSERT_EQ(scanner.Open("Front"), OPOS_SUCCESS) << scanner.ErrorDetail();
    EXPECT_EQ(scanner.OpenResult(), 0);
    EXPECT_EQ(scanner.ResultCode(), OPOS_SUCCESS);
    EXPECT_EQ(scanner.State(), OPOS_S_IDLE);
    EXPECT_EQ(scanner.ServiceObjectVersion(), 1008008);
    EXPECT_EQ(scanner.DeviceName(), "Stand-in Scanner Front");
    EXPECT_EQ(scanner.ServiceObjectDescription(), "Sorvex stand-in scanner service object");
    EXPECT_EQ(scanner.Close(), OPOS_SUCCESS);
    EXPECT_EQ(scanner.State(), OPOS_S_CLOSED);
    EXPECT_EQ(scanner.ResultCode(), OPOS_SUCCESS);  // the result of Close
    EXPECT_EQ(scanner.ClaimDevice(0), OPOS_E_CLOSED);
    // The same control object opens again.
    ASSERT_EQ(scanner.Open("Front"), OPOS_SUCCESS) << scanner.ErrorDetail();
}

// One row per cause: how the profile and classes are set up, what Open answers.
struct OpenCase {
    const char* name;
    std::function<void()> setUp;
    std::int32_t result;
    std::int32_t openResult;
    const char* detail;  // part of ErrorDetail()
};

TEST_F(OposOpen, EveryOpenResultFromItsCause) {
    const OpenCase cases[] = {
        {"no profile", [] {}, OPOS_E_NOEXIST, OPOS_OR_REGBADNAME,
         "no profile HKEY_LOCAL_MACHINE\\SOFTWARE\\OLEforRetail\\ServiceOPOS\\Scanner\\Lane"},
        {"profile without a ProgID", [] { st::WriteProfile("Scanner", "Lane", ""); },
         OPOS_E_NOSERVICE, OPOS_OR_REGPROGID, "no ProgID"},
        {"ProgID not registered", [] { st::WriteProfile("Scanner", "Lane", "Nobody.Scanner"); },
         OPOS_E_NOSERVICE, OPOS_OR_REGPROGID, "\"Nobody.Scanner\""},
        {"library missing",
         [] {
             st::RegisterClass("Gone.Scanner", "Scanner", "", "/nonexistent/libgone.so");
             st::WriteProfile("Scanner", "Lane", "Gone.Scanner");
         },
         OPOS_E_NOSERVICE, OPOS_OR_CREATE, "/nonexistent/libgone.so"},
        {"a method of every release missing",
         [] {
             st::RegisterClass("NoClaim.Scanner", "Scanner", "ClaimDevice");
             st::WriteProfile("Scanner", "Lane", "NoClaim.Scanner");
         },
         OPOS_E_NOSERVICE, OPOS_OR_BADIF, "lacks the method ClaimDevice"},
        {"a method of its release missing",
         [] {
             st::RegisterClass("NoStats.Scanner", "Scanner", "ResetStatistics");
             st::WriteProfile("Scanner", "Lane", "NoStats.Scanner");
         },
         OPOS_E_NOSERVICE, OPOS_OR_BADIF, "ResetStatistics, which its release 1.008.008"},
        {"OpenService answers 107",
         [] {
             st::WriteProfile("Scanner", "Lane", "SorvexStandIn.Scanner", {{"OpenRC", "107"}});
         },
         OPOS_E_NOHARDWARE, OPOS_E_NOHARDWARE, "answered 107"},
        {"OpenService answers 403",
         [] {
             st::WriteProfile("Scanner", "Lane", "SorvexStandIn.Scanner", {{"OpenRC", "403"}});
         },
         OPOS_ORS_CONFIG, OPOS_ORS_CONFIG, "answered 403"},
        {"OpenService fails without a reason",
         [] {
             st::WriteProfile("Scanner", "Lane", "SorvexStandIn.Scanner",
                              {{"OpenRC", "111"}, {"OpenResult", "0"}});
         },
         OPOS_E_FAILURE, OPOS_OR_FAILEDOPEN, "answered 111"},
        {"version 2",
         [] {
             st::WriteProfile("Scanner", "Lane", "SorvexStandIn.Scanner", {{"Version", "2001000"}});
         },
         OPOS_E_NOSERVICE, OPOS_OR_BADVERSION, "2.001.000"},
    };
    for (const OpenCase& c : cases) {
        SCOPED_TRACE(c.name);
        sorvex::test::TempRoot root;
        st::RegisterStandIn();
        c.setUp();
        OposScanner scanner;
        EXPECT_EQ(scanner.Open("Lane"), c.result);
        EXPECT_EQ(scanner.OpenResult(), c.openResult);
        EXPECT_EQ(scanner.ResultCode(), c.result);
        EXPECT_EQ(scanner.State(), OPOS_S_CLOSED);
        EXPECT_NE(scanner.ErrorDetail().find(c.detail), std::string::npos) << scanner.ErrorDetail();
        EXPECT_EQ(scanner.ClaimDevice(0), OPOS_E_CLOSED);
    }
}

TEST_F(OposOpen, OpenTwiceIsIllegalAndStaysOpen) {
    st::WriteProfile("Scale", "Deli", "SorvexStandIn.Scale");
    OposScale scale;
    ASSERT_EQ(scale.Open("Deli"), OPOS_SUCCESS) << scale.ErrorDetail();
    EXPECT_EQ(scale.Open("Deli"), OPOS_E_ILLEGAL);
    EXPECT_EQ(scale.OpenResult(), OPOS_OR_ALREADYOPEN);
    EXPECT_EQ(scale.ResultCode(), OPOS_E_ILLEGAL);
    EXPECT_EQ(scale.State(), OPOS_S_IDLE);
    EXPECT_EQ(scale.ClaimDevice(0), OPOS_SUCCESS);
}

TEST_F(OposOpen, ProfilesAreLookedUpUnderTheirOwnClass) {
    st::WriteProfile("Scale", "Deli", "SorvexStandIn.Scale");
    OposScanner scanner;
    EXPECT_EQ(scanner.Open("Deli"), OPOS_E_NOEXIST);
    EXPECT_EQ(scanner.Open(""), OPOS_E_NOEXIST);
    EXPECT_EQ(scanner.Open("..\\Scale\\Deli"), OPOS_E_NOEXIST);
}

TEST_F(OposOpen, UnregisteredTypeLibraryFailsCleanly) {
    st::UnregisterStandInTypeLib();
    st::WriteProfile("Scanner", "Front", "SorvexStandIn.Scanner");
    OposScanner scanner;
    EXPECT_EQ(scanner.Open("Front"), OPOS_E_NOSERVICE);
    EXPECT_EQ(scanner.OpenResult(), OPOS_OR_BADIF);
    EXPECT_NE(scanner.ErrorDetail().find("0x8002801D"), std::string::npos)
        << scanner.ErrorDetail();  // TYPE_E_LIBNOTREGISTERED
    EXPECT_EQ(scanner.State(), OPOS_S_CLOSED);
}

TEST(OposNames, ResultNames) {
    EXPECT_EQ(ResultName(0), "OPOS_SUCCESS");
    EXPECT_EQ(ResultName(102), "OPOS_E_CLAIMED");
    EXPECT_EQ(ResultName(302), "OPOS_OR_REGBADNAME");
    EXPECT_EQ(ResultName(403), "OPOS_ORS_CONFIG");
    EXPECT_EQ(ResultName(120), "");
}

}  // namespace
