// With tracing switched on from outside, every request and response text
// reaches the trace in full, and the channel still carries frames only.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "HostProcess.h"

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(HostTracing, RecordsEveryRequestAndResponse) {
    char dir[] = "/tmp/tessera-host-trace.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string file = std::string(dir) + "/host.trace";
    ASSERT_EQ(setenv("TESSERA_TRACE", ("0xF," + file).c_str(), 1), 0);
    // A long request crosses several trace lines; a non-ASCII one keeps its characters.
    const std::string pad(1000, 'p');
    const std::string requests[] = {
        R"({"function":"checkHost","params":[],"pad":")" + pad + R"("})",
        "{\"function\":\"\xe4\xbd\xa0\xe5\xa5\xbd\",\"params\":[]}",
    };
    HostRun run = RunConversation(TESSERA_HOST_PATH, {}, {Frame(requests[0]) + Frame(requests[1])});
    unsetenv("TESSERA_TRACE");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "");
    std::vector<std::string> responses;
    ASSERT_TRUE(SplitFrames(run.out, responses));
    ASSERT_EQ(responses.size(), 2u);

    std::string trace = ReadFile(file);
    EXPECT_NE(trace.find("Request: " + requests[1]), std::string::npos);
    EXPECT_NE(trace.find("Response: " + responses[0]), std::string::npos);
    EXPECT_NE(trace.find("Response: " + responses[1]), std::string::npos);
    // The long request: its pieces, in order, make up the whole text.
    std::string joined;
    std::istringstream lines(trace);
    for (std::string line; std::getline(lines, line);) {
        size_t at = line.find("Request: ");
        if (at != std::string::npos && joined.size() < requests[0].size()) joined += line.substr(at + 9);
    }
    EXPECT_EQ(joined, requests[0]);
    EXPECT_NE(trace.find("nmCheckHost"), std::string::npos);
    unlink(file.c_str());
    rmdir(dir);
}

}  // namespace
