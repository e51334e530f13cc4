// The built tessera-host driven as a browser drives it: frames written to
// its standard input, frames read from its standard output, through pipes.
// Every conversation also checks that standard output carries whole frames
// only and that nothing at all is written to standard error.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "HostProcess.h"

namespace {

const std::string kHost = TESSERA_HOST_PATH;
const std::string kCheckHost = R"({"function":"checkHost","params":[]})";
const std::string kCheckHostResponse = R"({"function":"CheckHost","errorcode":0,"result":0})";

std::string Fallback(const std::string& name) {
    return R"({"function":")" + name + R"(", "errorcode":-2146893779, "result":false})";
}
std::string Fallback(const std::string& name, const std::string& token) {
    return R"({"function":")" + name + R"(", "errorcode":-2146893779, "result":false, "randomId":")" + token +
           R"("})";
}
std::string Failure(const std::string& name, long long errorcode) {
    return R"({"function":")" + name + R"(","errorcode":)" + std::to_string(errorcode) + R"(,"result":false})";
}

struct Conversation {
    std::vector<std::string> responses;
    bool endMarker = false;  // the output ends with the impossible length FF FF FF FF
    int exitCode = 0;
    std::string out;
};

Conversation Converse(const std::vector<std::string>& pieces, const std::vector<std::string>& args = {},
                      const HostProcess::Options& options = {}) {
    HostRun run = RunConversation(kHost, args, pieces, options);
    Conversation c;
    EXPECT_TRUE(run.started) << kHost;
    EXPECT_EQ(run.err, "");
    const std::string kMarker(4, '\xFF');
    std::string frames = run.out;
    bool whole = SplitFrames(frames, c.responses);
    if (!whole && frames.size() >= 4 && frames.substr(frames.size() - 4) == kMarker) {
        c.responses.clear();
        c.endMarker = true;
        frames.resize(frames.size() - 4);
        whole = SplitFrames(frames, c.responses);
    }
    EXPECT_TRUE(whole) << "standard output is not a sequence of frames";
    c.exitCode = run.exitCode;
    c.out = run.out;
    return c;
}

// checkHost with n zeros as parameters, or with its parameters nested in
// depth arrays.
std::string CheckHostWithValues(size_t n) {
    std::string params;
    for (size_t i = 0; i < n; ++i) params += i ? ",0" : "0";
    return R"({"function":"checkHost","params":[)" + params + "]}";
}
std::string CheckHostNested(size_t depth) {
    return R"({"function":"checkHost","params":)" + std::string(depth, '[') + std::string(depth, ']') + "}";
}

std::string Frames(const std::vector<std::string>& bodies) {
    std::string stream;
    for (const std::string& b : bodies) stream += Frame(b);
    return stream;
}

TEST(HostConversation, AnswersEveryRequestInOrderWithItsExactResponse) {
    const std::string kBase = "Microsoft Base Cryptographic Provider v1.0";
    struct Row {
        std::string request;
        std::string response;
    } rows[] = {
        // request texts that are no request object
        {std::string(1, '\0'), Fallback("")},
        {"   ", Fallback("")},
        {"not json", Fallback("")},
        {R"({"params":[],"randomId":"r1"})", Fallback("")},
        {R"({"function":7,"params":[],"randomId":"r1"})", Fallback("")},
        {R"({"function":"checkHost","randomId":"r1"})", Fallback("")},
        {R"({"function":"checkHost","params":[],"randomId":false})", Fallback("")},
        {R"(["checkHost",[]])", Fallback("")},
        // unknown names keep the name as written and the token
        {R"({"function":"VELA_Nope","params":[],"randomId":"tok-9"})", Fallback("VELA_Nope", "tok-9")},
        {R"({"function":"VELA_GetVersionX","params":[]})", Fallback("VELA_GetVersionX")},
        {R"({"function":"","params":[],"randomId":"t"})", Fallback("", "t")},
        // wrong parameter counts, by rule S, M and P
        {R"({"function":"VELA_GetVersion","params":[1]})", Failure("VELA_GetVersion", -2147024809)},
        {R"({"function":"GetLastErrorDesc","params":["x"]})", Failure("VELA_GetLastErrorDesc", -2147024809)},
        {R"({"function":"VELA_GetAllCertInfo","params":[1]})", Failure("VELA_GetAllCertInfo", -1)},
        {R"({"function":"VELA_SetCSPInfo","params":[]})", Failure("VELA_SetCSPInfo", -1)},
        // parameters of the wrong type
        {R"({"function":"VELA_SetCSPInfo","params":["1024","CSP"]})", Failure("VELA_SetCSPInfo", -1610141180)},
        {R"({"function":"VELA_SetKeyAlgorithm","params":[{"value":"RSA"}]})",
         Failure("VELA_SetKeyAlgorithm", -1610141180)},
        // the agent's own failures
        {R"({"function":"VELA_SetCSPInfo","params":[2048,")" + kBase + R"("]})",
         Failure("VELA_SetCSPInfo", -1610144768)},
        {R"({"function":"VELA_SetKeyAlgorithm","params":["DSA"]})", Failure("VELA_SetKeyAlgorithm", -1610144767)},
        // names and members in any letter case, wrapped parameters, extra text
        {R"({"function":"checkhost","params":[]})", kCheckHostResponse},
        {R"({"FUNCTION":"CHECKHOST","Params":{"a":1},"RANDOMID":"x"})",
         R"({"function":"CheckHost","errorcode":0,"result":0,"randomId":"x"})"},
        {R"({"function":"vela_getversion","params":[],"randomId":"r-2"})",
         R"({"function":"VELA_GetVersion","errorcode":0,"result":"3.2.0.3","randomId":"r-2"})"},
        {R"({"function":"VELA_GetVersion","params":[],"randomId":""})",
         R"({"function":"VELA_GetVersion","errorcode":0,"result":"3.2.0.3"})"},
        {R"({"function":"VELA_SetCSPInfo","params":[{"param":1024},")" + kBase + R"("]} {"x":)",
         R"({"function":"VELA_SetCSPInfo","errorcode":0,"result":true})"},
        {R"({"function":"VELA_SetKeyAlgorithm","params":["rsa"],"randomId":"\u00e9\"\\"})",
         R"({"function":"VELA_SetKeyAlgorithm","errorcode":0,"result":true,"randomId":"é\"\\"})"},
        {std::string(5000, '[') + std::string(5000, ']'), Fallback("")},
        // bounds checked before parsing: 256 values in all, containers 16 deep
        {CheckHostWithValues(253), kCheckHostResponse},
        {CheckHostWithValues(254), Fallback("")},
        {CheckHostNested(15), kCheckHostResponse},
        {CheckHostNested(16), Fallback("")},
        {"\xEF\xBB\xBF" + CheckHostWithValues(254), Fallback("")},  // the parser skips a byte-order mark
        {R"({"function":"checkHost","params":[],"randomId":"[[[[[[[[[[[[[[[[[[,,,,"})", R"({"function":"CheckHost","errorcode":0,"result":0,"randomId":"[[[[[[[[[[[[[[[[[[,,,,"})"},
        {kCheckHost + std::string(1000, ',') + std::string(100, '['), kCheckHostResponse},
        // bytes that a text-mode channel would translate: CR LF, Ctrl-Z, and
        // lengths holding the byte 0A (a request of 10 bytes, a response of 266)
        {"{\r\n\"function\":\"checkHost\",\r\n\"params\":[]\r\n}", kCheckHostResponse},
        {"{\"function\":\"A\x1a\rB\",\"params\":[]}", Fallback("A\\u001a\\rB")},
        {R"("12345678")", Fallback("")},
        {R"({"function":")" + std::string(210, 'b') + R"(","params":[]})", Fallback(std::string(210, 'b'))},
    };
    std::vector<std::string> requests;
    for (const Row& r : rows) requests.push_back(r.request);
    // All requests arrive in one write, as a busy browser may send them.
    Conversation c = Converse({Frames(requests)});
    EXPECT_EQ(c.exitCode, 0);
    ASSERT_EQ(c.responses.size(), std::size(rows));
    for (size_t i = 0; i < std::size(rows); ++i) EXPECT_EQ(c.responses[i], rows[i].response) << "row " << i;
}

TEST(HostConversation, KeepsTheAgentsStateAcrossRequests) {
    Conversation c = Converse({Frames({
        R"({"function":"VELA_SetCSPInfo","params":[2048,"Microsoft Base Cryptographic Provider v1.0"]})",
        R"({"function":"VELA_SetCSPInfo","params":[1]})",            // fails before the agent
        R"({"function":"VELA_SetKeyAlgorithm","params":[false]})",  // likewise
        R"({"function":"GetLastErrorDesc","params":[]})",
        R"({"function":"GetLastErrorDesc","params":[]})",
        R"({"function":"VELA_GetContainer","params":[]})",
        R"({"function":"GetLastErrorDesc","params":[]})",
    })});
    ASSERT_EQ(c.responses.size(), 7u);
    nlohmann::ordered_json first = nlohmann::ordered_json::parse(c.responses[3]);
    EXPECT_EQ(first["function"], "VELA_GetLastErrorDesc");
    EXPECT_EQ(first["errorcode"], 0);
    std::string text = first["result"];
    EXPECT_EQ(text.substr(text.size() - 13), "\n(0xa0072400)");
    EXPECT_EQ(c.responses[4], c.responses[3]);
    EXPECT_EQ(c.responses[5], R"({"function":"VELA_GetContainer","errorcode":0,"result":""})");
    std::string after = nlohmann::ordered_json::parse(c.responses[6])["result"];
    EXPECT_EQ(after.substr(after.size() - 13), "\n(0x00000000)");
}

TEST(HostConversation, UnknownNamesAlwaysYieldOneValidObject) {
    const std::string names[] = {
        "a\"b",
        "back\\slash",
        "\\",
        "tab\tnew\nline\r\x01\x1f",
        R"(x", "errorcode":0, "result":true, "y":")",
        "\xe9\x8a\x80\xe8\xa1\x8c",
    };
    std::vector<std::string> requests;
    for (const std::string& name : names) {
        nlohmann::json request = {{"function", name}, {"params", nlohmann::json::array()}, {"randomId", name + "\""}};
        requests.push_back(request.dump());
    }
    Conversation c = Converse({Frames(requests)});
    ASSERT_EQ(c.responses.size(), std::size(names));
    for (size_t i = 0; i < std::size(names); ++i) {
        nlohmann::ordered_json response;
        ASSERT_NO_THROW(response = nlohmann::ordered_json::parse(c.responses[i])) << c.responses[i];
        ASSERT_EQ(response.size(), 4u) << c.responses[i];
        EXPECT_EQ(response["function"], names[i]);
        EXPECT_EQ(response["errorcode"], -2146893779);
        EXPECT_EQ(response["result"], false);
        EXPECT_EQ(response["randomId"], names[i] + "\"");
    }
}

TEST(HostFraming, EndsTheConversationOnEndOfInputMarkers) {
    const std::string kJunk = Frame(kCheckHost) + "trailing bytes";
    struct Case {
        const char* label;
        std::string input;
        size_t responses;
    } cases[] = {
        {"empty input", "", 0},
        {"length 0", std::string(4, '\0') + kJunk, 0},
        {"length FFFFFFFF", std::string(4, '\xFF') + kJunk, 0},
        {"request then length 0", Frame(kCheckHost) + std::string(4, '\0') + kJunk, 1},
        {"two requests", Frame(kCheckHost) + Frame(kCheckHost), 2},
    };
    for (const Case& k : cases) {
        Conversation c = Converse({k.input});
        EXPECT_EQ(c.exitCode, 0) << k.label;
        ASSERT_EQ(c.responses.size(), k.responses) << k.label;
        for (const std::string& r : c.responses) EXPECT_EQ(r, kCheckHostResponse) << k.label;
    }
}

TEST(HostFraming, EndsWithMinusOneWhenInputStopsInsideAFrame) {
    const std::string frame = Frame(kCheckHost);
    struct Case {
        const char* label;
        std::string input;
        size_t responses;
    } cases[] = {
        {"1-byte prefix", frame.substr(0, 1), 0},
        {"2-byte prefix", frame.substr(0, 2), 0},
        {"3-byte prefix", frame.substr(0, 3), 0},
        {"prefix of a small length", std::string("\x05", 1), 0},
        {"body cut short", frame.substr(0, frame.size() - 1), 0},
        {"request then a cut prefix", frame + frame.substr(0, 2), 1},
        {"request then a cut body", frame + frame.substr(0, 10), 1},
    };
    for (const Case& k : cases) {
        Conversation c = Converse({k.input});
        EXPECT_EQ(c.exitCode, -1) << k.label;
        EXPECT_EQ(c.responses.size(), k.responses) << k.label;
    }
}

TEST(HostFraming, AssemblesFramesWrittenInPieces) {
    const std::string frame = Frame(kCheckHost);
    Conversation c = Converse({frame.substr(0, 1), frame.substr(1, 2), frame.substr(3, 5), frame.substr(8)});
    EXPECT_EQ(c.exitCode, 0);
    ASSERT_EQ(c.responses.size(), 1u);
    EXPECT_EQ(c.responses[0], kCheckHostResponse);
    // The length prefix of the response: its size, least significant byte first.
    ASSERT_GE(c.out.size(), 4u);
    EXPECT_EQ(c.out.substr(0, 4), std::string("\x31\x00\x00\x00", 4));
}

TEST(HostFraming, SendsResponsesUpToOneMebibyte) {
    // A fallback response is 56 bytes around the name.
    const size_t kLimit = 1048576;
    const std::string name(kLimit - 56, 'n');
    // Quotes count with their escapes: 2 bytes each.
    const std::string quotes((kLimit - 56) / 2, '"');
    struct Case {
        const char* label;
        std::string name;
        bool sent;
    } cases[] = {
        {"exactly the limit", name, true},
        {"one byte more", name + "n", false},
        {"escaped, exactly the limit", quotes, true},
        {"escaped, two bytes more", quotes + "\"", false},
    };
    for (const Case& k : cases) {
        nlohmann::json request = {{"function", k.name}, {"params", nlohmann::json::array()}};
        Conversation c = Converse({Frames({request.dump(), kCheckHost})});
        if (k.sent) {
            EXPECT_EQ(c.exitCode, 0) << k.label;
            ASSERT_EQ(c.responses.size(), 2u) << k.label;
            EXPECT_EQ(c.responses[0].size(), kLimit) << k.label;
            EXPECT_EQ(nlohmann::json::parse(c.responses[0])["function"], k.name) << k.label;
            EXPECT_EQ(c.responses[1], kCheckHostResponse) << k.label;
        } else {
            // The impossible length alone, and nothing after it.
            EXPECT_EQ(c.exitCode, -1) << k.label;
            EXPECT_TRUE(c.endMarker) << k.label;
            EXPECT_EQ(c.out, std::string(4, '\xFF')) << k.label;
        }
    }
}

TEST(HostFraming, AcceptsRequestsUpTo64MebibytesOnly) {
    const size_t kLimit = 64u << 20;
    std::string request = R"({"function":"checkHost","params":[],"pad":")";
    request += std::string(kLimit - request.size() - 2, 'p') + "\"}";
    ASSERT_EQ(request.size(), kLimit);
    Conversation c = Converse({Frame(request) + Frame(kCheckHost)});
    EXPECT_EQ(c.exitCode, 0);
    ASSERT_EQ(c.responses.size(), 2u);
    EXPECT_EQ(c.responses[0], kCheckHostResponse);

    // One byte more is refused from its length alone.
    const std::string tooLong("\x01\x00\x00\x04{\"function\"", 15);
    for (const std::string& input : {tooLong, std::string("\xFE\xFF\xFF\xFF", 4)}) {
        Conversation refused = Converse({input});
        EXPECT_EQ(refused.exitCode, -1);
        EXPECT_EQ(refused.out, "");
    }
}

TEST(HostProcessTests, EndsWithMinusOneWhenResponsesCannotBeWritten) {
    HostProcess host;
    ASSERT_TRUE(host.Start(kHost, {}));
    host.CloseStdout();
    EXPECT_TRUE(host.Write(Frame(kCheckHost)));
    host.CloseStdin();
    EXPECT_EQ(host.Wait(), -1);
    EXPECT_EQ(host.Stderr(), "");
}

TEST(HostProcessTests, ReportsTheRuntimeErrorWhenStandardInputCannotBeRead) {
    HostProcess::Options options;
    options.unreadableStdin = true;
    Conversation c = Converse({}, {}, options);
    EXPECT_GT(c.exitCode, 0);
    EXPECT_EQ(c.out, "");
}

TEST(HostProcessTests, InstallationModeNeverTouchesTheChannel) {
    for (const char* flag : {"-i", "-I"}) {
        HostProcess host;
        ASSERT_TRUE(host.Start(kHost, {flag}));
        // Standard input stays open with a request waiting: a host that read
        // it would answer and wait for more instead of ending. (The write
        // fails when the host has already gone.)
        host.Write(Frame(kCheckHost));
        EXPECT_EQ(host.Wait(), 0) << flag;
        EXPECT_EQ(host.ReadToEnd(), "") << flag;
        EXPECT_EQ(host.Stderr(), "") << flag;
    }
}

TEST(HostProcessTests, AnyOtherCommandLineStartsTheRequestMode) {
    const std::vector<std::vector<std::string>> commandLines = {
        {},
        {"-i", "extra"},
        {"-install"},
        {"i"},
        {"chrome-extension://knldjmfmopnpolahpmmgbagdohdnhkik/"},
        {"chrome-extension://knldjmfmopnpolahpmmgbagdohdnhkik/", "--parent-window=132418"},
        {"/home/user/.mozilla/native-messaging-hosts/tessera.json", "tessera@example.org"},
        {"C:\\Program Files\\Tessera\\tessera.json", "tessera@example.org"},
    };
    for (const auto& args : commandLines) {
        Conversation c = Converse({Frame(kCheckHost)}, args);
        EXPECT_EQ(c.exitCode, 0) << args.size();
        ASSERT_EQ(c.responses.size(), 1u) << (args.empty() ? "" : args[0]);
        EXPECT_EQ(c.responses[0], kCheckHostResponse);
    }
}

}  // namespace
