// The Linux trace sink: the enable switch, flag selection and line output.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

std::string Contents(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// One traced scope with the switch given; whether tracing came on.
bool TraceScope(const std::string& control) {
    setenv("TESSERA_TRACE", control.c_str(), 1);
    SetupTracing();
    bool enabled = TraceEnabled(TRACE_FLAG_FUNCTION);
    { VELA_TRACE_SCOPE("SinkTest::Place"); }
    TeardownTracing();
    unsetenv("TESSERA_TRACE");
    return enabled;
}

// What another local user may have put at the trace path beforehand: the
// lines must not reach it, and setting up must not wait on it.
TEST(TraceSink, RefusesWhatOthersPutAtThePath) {
    struct Case {
        const char* what;
        std::function<int(const std::string& path, const std::string& victim)> prepare;  // 0 when done
        bool rootOnly;
    } cases[] = {
        {"symbolic link to a file of the user", [](auto& path, auto& victim) { return symlink(victim.c_str(), path.c_str()); },
         false},
        {"hard link to a file of the user", [](auto& path, auto& victim) { return link(victim.c_str(), path.c_str()); },
         false},
        {"FIFO with a reader",
         [](auto& path, auto&) {
             // The reader stays open to the end of the test.
             return mkfifo(path.c_str(), 0666) == 0 && open(path.c_str(), O_RDONLY | O_NONBLOCK) >= 0 ? 0 : -1;
         },
         false},
        {"file of another user",
         [](auto& path, auto&) {
             int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0666);
             int rc = fchown(fd, 65534, 65534);
             close(fd);
             return rc;
         },
         true},
    };
    for (const Case& c : cases) {
        if (c.rootOnly && geteuid() != 0) continue;
        std::string dir = testsupport::MakeTemporaryDirectory();
        std::string victim = dir + "/victim", path = dir + "/trace.log";
        std::ofstream(victim) << "kept\n";
        ASSERT_EQ(c.prepare(path, victim), 0) << c.what;
        EXPECT_FALSE(TraceScope("0x8," + path)) << c.what;
        EXPECT_EQ(Contents(victim), "kept\n") << c.what;
        if (c.rootOnly) {
            EXPECT_EQ(Contents(path), "") << c.what;
        }
    }
    // A FIFO without a reader: setting up returns at once, tracing off.
    std::string fifo = testsupport::MakeTemporaryDirectory() + "/trace.log";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    pid_t child = fork();
    if (child == 0) {
        alarm(20);
        _exit(TraceScope("0x8," + fifo) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

TEST(TraceSink, DefaultFileIsInAPrivateFolderOfTheUser) {
    std::string state = testsupport::MakeTemporaryDirectory() + "/state";
    setenv("XDG_STATE_HOME", state.c_str(), 1);
    std::string file = state + "/tessera/tessera.trace";
    // A loose file of the user's own is tightened, and used.
    mkdir(state.c_str(), 0700);
    mkdir((state + "/tessera").c_str(), 0700);
    close(open(file.c_str(), O_WRONLY | O_CREAT, 0666));
    chmod(file.c_str(), 0666);
    EXPECT_TRUE(TraceScope("0x8"));
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(Contents(file).find("SinkTest::Place"), std::string::npos);
    // A folder others may enter is not used; a missing one is made 0700.
    chmod((state + "/tessera").c_str(), 0755);
    unlink(file.c_str());
    EXPECT_FALSE(TraceScope("0x8"));
    rmdir((state + "/tessera").c_str());
    EXPECT_TRUE(TraceScope("0x8"));
    ASSERT_EQ(stat((state + "/tessera").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    unsetenv("XDG_STATE_HOME");
}

TEST(TraceSink, OffWithoutTheSwitch) {
    unsetenv("TESSERA_TRACE");
    SetupTracing();
    EXPECT_FALSE(TraceEnabled(TRACE_FLAG_ERROR | TRACE_FLAG_INFO | TRACE_FLAG_FUNCTION | TRACE_FLAG_HOST_ERROR));
    TeardownTracing();
}

}  // namespace
