#include <gtest/gtest.h>

#include "TestText.h"
#include "VelaTrace.h"

namespace {

TEST(TraceLines, WideForms) {
    WCHAR line[512];
    FormatWideFailureLine(line, 512, "CertEnrollment/CryptoAgent.cpp", 42, TEXT("CCryptoAgent::VELA_SetCSPInfo"),
                          TEXT("Invalid parameter."), TEXT("bstrCSPName == NULL"));
    EXPECT_EQ(Utf8(line),
              "[CertEnrollment/CryptoAgent.cpp(42):] CCryptoAgent::VELA_SetCSPInfo - Invalid parameter. "
              "[Reason:bstrCSPName == NULL]");
    FormatWideSuccessLine(line, 512, TEXT("PKCS10CertRequisition"), TEXT("CreatePublicKey-Exchange"));
    EXPECT_EQ(Utf8(line), "PKCS10CertRequisition - CreatePublicKey-Exchange");
}

TEST(TraceLines, NarrowForms) {
    char line[512];
    FormatHostFailureLine(line, sizeof line, -1, "IOStream.cpp", 7, "ReadFromNativeMessaging", "New memory",
                          "!pszInputMsg");
    EXPECT_STREQ(line, "[IOStream.cpp(7):](ReadFromNativeMessaging -- New memory)\t\t--Failed:(0xffffffff) "
                       "[Reason:!pszInputMsg]\n");
    FormatHostSuccessLine(line, sizeof line, "TesseraHost.cpp", 9, "wmain", "SetTranslationMode");
    EXPECT_STREQ(line, "[TesseraHost.cpp(9)]:(wmain -- SetTranslationMode)\t\t--OK\n");
}

TEST(TraceLines, LongLinesStayInsideTheBuffer) {
    WString step(2000, TEXT('s'));
    WCHAR line[512];
    line[511] = TEXT('?');
    int n = FormatWideFailureLine(line, 512, "f.cpp", 1, TEXT("F"), step.c_str(), TEXT("r"));
    EXPECT_EQ(n, 511);
    EXPECT_EQ(line[511], 0);
}

TEST(TraceScope, KeepsTheLastErrorWithAndWithoutSetup) {
    for (int pass = 0; pass < 2; ++pass) {
        if (pass == 1) SetupTracing();
        SetLastError(1234);
        {
            TraceHelper scope(TEXT("TraceTest::Scope"));
            EXPECT_EQ(GetLastError(), 1234u);
            SetLastError(87);
            TraceFailureLine(E_FAIL, __FILE__, __LINE__, scope.Name(), TEXT("step"), TEXT("reason"));
            TraceSuccessLine(scope.Name(), TEXT("step"));
            TraceHostFailureLine(-1, "f", 1, "F", "s", "r");
            EXPECT_EQ(GetLastError(), 87u);
        }
        EXPECT_EQ(GetLastError(), 87u);
        if (pass == 1) TeardownTracing();
    }
    EXPECT_FALSE(TraceEnabled(TRACE_FLAG_ERROR));
}

TEST(TraceControl, EnableAndDisableRequests) {
    TraceControlBlock block = {};
    ULONG size = 99;
    EXPECT_EQ(TraceControlCallback(WMI_DISABLE_EVENTS, &block, &size, nullptr), 0u);
    EXPECT_EQ(size, 0u);
    block.enableFlags = 0xF;
    EXPECT_EQ(TraceControlCallback(WMI_GET_ALL_DATA, &block, &size, nullptr), (ULONG)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(block.enableFlags, 0xFu);
    EXPECT_EQ(TraceControlCallback(WMI_DISABLE_EVENTS, &block, &size, nullptr), 0u);
    EXPECT_EQ(block.enableFlags, 0u);
}

}  // namespace
