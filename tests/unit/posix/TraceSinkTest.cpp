// The Linux trace sink: the enable switch, flag selection and line output.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "TestPlatform.h"
#include "VelaTrace.h"

namespace {

std::string TraceOnce(const char* flags) {
    std::string dir = testsupport::MakeTemporaryDirectory();
    std::string file = dir + "/trace.log";
    std::string control = std::string(flags) + "," + file;
    setenv("TESSERA_TRACE", control.c_str(), 1);
    SetupTracing();
    {
        VELA_TRACE_SCOPE("SinkTest::Run");
        VELA_LOG_FAILURE(E_INVALIDARG, "Invalid parameter.", "bstrCSPName == NULL");
        VELA_LOG_SUCCESS("Done step");
        VELA_HOST_FAILURE(-1, "MsgHandleProc", "ReadFromNativeMessaging", "VELA_OK != nResult");
    }
    TeardownTracing();
    unsetenv("TESSERA_TRACE");
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(TraceSink, FlagsSelectTheMessageKinds) {
    struct Case {
        const char* flags;
        bool entry, failure, success, host;
    } cases[] = {
        {"0x8", true, false, false, false},
        {"0x2", false, true, false, false},
        {"0x4", false, false, true, false},
        {"0x1", false, false, false, true},
        {"0xF", true, true, true, true},
    };
    for (const Case& c : cases) {
        std::string out = TraceOnce(c.flags);
        EXPECT_EQ(out.find("SinkTest::Run") != std::string::npos, c.entry || c.failure || c.success) << c.flags;
        EXPECT_EQ(out.find("#10 SinkTest::Run") != std::string::npos, c.entry) << c.flags;
        EXPECT_EQ(out.find("Invalid parameter. [Reason:bstrCSPName == NULL]") != std::string::npos, c.failure)
            << c.flags;
        EXPECT_EQ(out.find("SinkTest::Run - Done step") != std::string::npos, c.success) << c.flags;
        EXPECT_EQ(out.find("--Failed:(0xffffffff) [Reason:VELA_OK != nResult]") != std::string::npos, c.host)
            << c.flags;
    }
}

TEST(TraceSink, LinesCarryTimestampAndProcessId) {
    std::string out = TraceOnce("0x8");
    std::string pid = "pid=" + std::to_string(getpid());
    std::istringstream lines(out);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        EXPECT_EQ(line.size() > 24 && line[4] == '-' && line[10] == 'T', true) << line;
        EXPECT_NE(line.find(pid), std::string::npos) << line;
    }
    EXPECT_EQ(count, 2);  // entry and exit only
}

TEST(TraceSink, OffWithoutTheSwitch) {
    unsetenv("TESSERA_TRACE");
    SetupTracing();
    EXPECT_FALSE(TraceEnabled(TRACE_FLAG_ERROR | TRACE_FLAG_INFO | TRACE_FLAG_FUNCTION | TRACE_FLAG_HOST_ERROR));
    TeardownTracing();
}

}  // namespace
