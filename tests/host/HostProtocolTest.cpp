// The request protocol in-process: the parameter readers, the response
// builder, the fallback layout, request parsing and the operation wrappers.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <climits>
#include <cstring>
#include <string>

#include "JSONUtility.h"
#include "TesseraHost.h"
#include "nmCryptoAgent.h"

namespace {

constexpr HRESULT kType = VELA_E_JSON_PARAM_TYPE;  // -1610141180
constexpr HRESULT kInvalidArg = E_INVALIDARG;      // -2147024809

JSONPtr Parse(const char* text) { return JSONPtr(cJSON_Parse(text)); }

std::string Print(const JSONPtr& object) {
    JSONText text(cJSON_PrintUnformatted(object.get()));
    return text ? std::string(text.get()) : std::string("<null>");
}

TEST(ConverJSONArrayItemtoNULLEndString, ReadsPlainAndWrappedStrings) {
    struct Case {
        const char* params;
        int index;
        HRESULT status;
        const char* value;
    } cases[] = {
        {R"(["abc"])", 0, 0, "abc"},
        {R"([{"param":"abc"}])", 0, 0, "abc"},
        {R"([1, {"PARAM":"x"}])", 1, 0, "x"},
        {R"([""])", 0, 0, ""},
        {R"({"a":"x","b":"y"})", 1, 0, "y"},  // the children of any value are the parameters
        {R"([])", 0, ERROR_INVALID_PARAMETER, nullptr},
        {R"(["a"])", 1, ERROR_INVALID_PARAMETER, nullptr},
        {R"(["a"])", -1, ERROR_INVALID_PARAMETER, nullptr},
        {R"("abc")", 0, ERROR_INVALID_PARAMETER, nullptr},
        {R"([1])", 0, kType, nullptr},
        {R"([null])", 0, kType, nullptr},
        {R"([true])", 0, kType, nullptr},
        {R"([["a"]])", 0, kType, nullptr},
        {R"([{"value":"a"}])", 0, kType, nullptr},  // no "param": never read
        {R"([{"param":1}])", 0, kType, nullptr},
        {R"([{"param":null}])", 0, kType, nullptr},
        {R"([{"param":{"param":"a"}}])", 0, kType, nullptr},
    };
    for (const Case& c : cases) {
        JSONPtr list = Parse(c.params);
        ASSERT_TRUE(list) << c.params;
        CharBuffer value;
        EXPECT_EQ(ConverJSONArrayItemtoNULLEndString(list.get(), c.index, value), c.status) << c.params;
        if (c.value) {
            ASSERT_TRUE(value) << c.params;
            EXPECT_STREQ(value.get(), c.value);
        } else {
            EXPECT_FALSE(value) << c.params;
        }
    }
    CharBuffer value;
    EXPECT_EQ(ConverJSONArrayItemtoNULLEndString(nullptr, 0, value), ERROR_INVALID_PARAMETER);
}

TEST(ConverJSONArrayItemtoint, ReadsNumbersAsCJSONKeepsThem) {
    struct Case {
        const char* params;
        int index;
        HRESULT status;
        int expected;  // the out-value, preset to 77
    } cases[] = {
        {R"([1024])", 0, 0, 1024},
        {R"([{"param":1024}])", 0, 0, 1024},
        {R"(["x", -512])", 1, 0, -512},
        {R"([2.9])", 0, 0, 2},
        {R"([-2.9])", 0, 0, -2},
        {R"([1e12])", 0, 0, INT_MAX},
        {R"([-1e12])", 0, 0, INT_MIN},
        {R"([0])", 0, 0, 77},  // a value of 0 leaves the out-value as it was
        {R"(["1024"])", 0, kType, 77},
        {R"([{"param":"1024"}])", 0, kType, 77},
        {R"([{}])", 0, kType, 77},
        {R"([true])", 0, kType, 77},
        {R"([])", 0, ERROR_INVALID_PARAMETER, 77},
        {R"([1])", 3, ERROR_INVALID_PARAMETER, 77},
    };
    for (const Case& c : cases) {
        JSONPtr list = Parse(c.params);
        ASSERT_TRUE(list) << c.params;
        int value = 77;
        EXPECT_EQ(ConverJSONArrayItemtoint(list.get(), c.index, value), c.status) << c.params;
        EXPECT_EQ(value, c.expected) << c.params;
    }
}

TEST(ConstructResponseJSON, BuildsMembersInOrderPerKind) {
    const unsigned char byZero = 0, byOne = 1, byTwo = 2;
    const double dValue = 1.5;
    const int nValue = -5;
    struct Case {
        int errorcode;
        int kind;
        const void* value;
        const char* expected;
    } cases[] = {
        {0, RESULT_KIND_TRUE, &byOne, R"({"function":"F","errorcode":0,"result":true})"},
        {0, RESULT_KIND_FALSE, &byZero, R"({"function":"F","errorcode":0,"result":false})"},
        {0, RESULT_KIND_FALSE, &byTwo, R"({"function":"F","errorcode":0,"result":true})"},
        {0, RESULT_KIND_DOUBLE, &dValue, R"({"function":"F","errorcode":0,"result":1.5})"},
        {0, RESULT_KIND_STRING, "a\"b\n\x01", R"({"function":"F","errorcode":0,"result":"a\"b\n\u0001"})"},
        {0, RESULT_KIND_INT, &nValue, R"({"function":"F","errorcode":0,"result":-5})"},
        {0, RESULT_KIND_STRING, nullptr, R"({"function":"F","errorcode":0})"},
        {-1, RESULT_KIND_STRING, "x", R"({"function":"F","errorcode":-1,"result":false})"},
        {kType, RESULT_KIND_TRUE, nullptr, R"({"function":"F","errorcode":-1610141180,"result":false})"},
    };
    for (const Case& c : cases) {
        JSONPtr response;
        ASSERT_EQ(ConstructResponseJSON(response, "F", c.errorcode, c.kind, c.value), VELA_OK) << c.expected;
        EXPECT_EQ(Print(response), c.expected);
    }
}

TEST(ConstructResponseJSON, RejectsMissingNamesAndUnknownKinds) {
    const int nValue = 1;
    struct Case {
        const char* name;
        int kind;
        HRESULT status;
    } cases[] = {
        {nullptr, RESULT_KIND_INT, ERROR_INVALID_PARAMETER},
        {"", RESULT_KIND_INT, ERROR_INVALID_PARAMETER},
        {"F", 2, -1},
        {"F", 5, -1},
        {"F", -1, -1},
    };
    for (const Case& c : cases) {
        JSONPtr response;
        EXPECT_EQ(ConstructResponseJSON(response, c.name, 0, c.kind, &nValue), c.status);
        EXPECT_FALSE(response);
    }
}

TEST(BuildFallbackResponse, KeepsTheFixedLayoutAndEscapesBothStrings) {
    struct Case {
        const char* name;
        const char* token;
        const char* expected;
    } cases[] = {
        {"Nope", nullptr, R"({"function":"Nope", "errorcode":-2146893779, "result":false})"},
        {"Nope", "", R"({"function":"Nope", "errorcode":-2146893779, "result":false})"},
        {"Nope", "t-1", R"({"function":"Nope", "errorcode":-2146893779, "result":false, "randomId":"t-1"})"},
        {nullptr, nullptr, R"({"function":"", "errorcode":-2146893779, "result":false})"},
        {"a\"b\\c", "x\ny", R"({"function":"a\"b\\c", "errorcode":-2146893779, "result":false, "randomId":"x\ny"})"},
        {"\b\f\r\t\x01\x1f\x7f", nullptr,
         "{\"function\":\"\\b\\f\\r\\t\\u0001\\u001f\x7f\", \"errorcode\":-2146893779, \"result\":false}"},
        {"\xe5\x90\x8d/", nullptr, "{\"function\":\"\xe5\x90\x8d/\", \"errorcode\":-2146893779, \"result\":false}"},
    };
    for (const Case& c : cases) {
        JSONText text = BuildFallbackResponse(c.name, c.token);
        ASSERT_TRUE(text);
        EXPECT_STREQ(text.get(), c.expected);
    }
}

TEST(BuildFallbackResponse, ForgedMembersStayInsideTheName) {
    const char* names[] = {
        R"(x", "errorcode":0, "result":true, "y":")",
        "\\", "\"", "\\\"", "}{", "\x01\x02\x03\n\n",
    };
    for (const char* name : names) {
        JSONText text = BuildFallbackResponse(name, name);
        ASSERT_TRUE(text);
        nlohmann::ordered_json response = nlohmann::ordered_json::parse(text.get());
        ASSERT_EQ(response.size(), 4u) << text.get();
        EXPECT_EQ(response["function"], name);
        EXPECT_EQ(response["errorcode"], -2146893779);
        EXPECT_EQ(response["result"], false);
        EXPECT_EQ(response["randomId"], name);
        EXPECT_EQ(std::strlen(text.get()), 71 + 2 * JSONEscapedLength(name)) << name;
    }
}

// Long names are scanned in blocks of bytes: one byte that needs an escape
// (or one that looks close to it and does not) at every position of
// several blocks.
TEST(BuildFallbackResponse, EscapesAtEveryPositionOfALongName) {
    const struct {
        char c;
        size_t escaped;
    } bytes[] = {{'"', 2}, {'\\', 2}, {'\n', 2}, {'\x1f', 6}, {'\x7f', 1}, {' ', 1}, {'\xe4', 1}};
    for (const auto& b : bytes) {
        for (size_t at = 0; at < 72; ++at) {
            std::string name(72, 'n');
            name[at] = b.c;
            ASSERT_EQ(JSONEscapedLength(name.c_str()), 71 + b.escaped) << int(b.c) << " at " << at;
            JSONText text = BuildFallbackResponse(name.c_str(), "t");
            ASSERT_TRUE(text);
            if ((unsigned char)b.c >= 0x80) continue;  // alone, not UTF-8 for the reader
            EXPECT_EQ(nlohmann::json::parse(text.get())["function"], name) << int(b.c) << " at " << at;
        }
    }
}

// Long ASCII runs are checked eight bytes at a time: one sequence, good or
// bad, at every position of several such words.
TEST(WellFormedUTF8, SequencesAtEveryPositionOfALongText) {
    const struct {
        const char* in;
        const char* out;
    } sequences[] = {
        {"\xE4\xB8\xAD", "\xE4\xB8\xAD"},
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        {"\x80", "\xEF\xBF\xBD"},
        {"\xE4\xB8", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const auto& q : sequences) {
        for (size_t at = 0; at <= 24; ++at) {
            const std::string head(at, 'a'), tail(24 - at, 'z');
            EXPECT_EQ(WellFormedUTF8((head + q.in + tail).c_str()), head + q.out + tail) << at;
        }
    }
}

TEST(ParseRequestMsgToJSON, AcceptsRequestObjectsOnly) {
    struct Case {
        const char* text;
        HRESULT status;
        const char* function;
        const char* token;  // nullptr: none handed out
        int paramCount;
    } cases[] = {
        {nullptr, ERROR_INVALID_PARAMETER, nullptr, nullptr, 0},
        {"", ERROR_INVALID_PARAMETER, nullptr, nullptr, 0},
        {"   ", 255, nullptr, nullptr, 0},
        {"[]", 255, nullptr, nullptr, 0},
        {R"("checkHost")", 255, nullptr, nullptr, 0},
        {R"({"params":[]})", 255, nullptr, nullptr, 0},
        {R"({"function":1,"params":[]})", 255, nullptr, nullptr, 0},
        {R"({"function":"f","randomId":"r"})", 255, nullptr, nullptr, 0},
        {R"({"function":"f","params":[],"randomId":7})", 255, nullptr, nullptr, 0},
        {R"({"function":"f","params":[1,2]})", 0, "f", nullptr, 2},
        {R"({"Function":"f","PARAMS":[1],"RANDOMID":"r"})", 0, "f", "r", 1},
        {R"({"function":"a","FUNCTION":"b","params":"x","randomId":""})", 0, "a", "", 0},
        {R"( {"function":"f","params":[{"param":1}]} trailing text)", 0, "f", nullptr, 1},
        // A NUL inside any string would cut it short: the request is refused.
        {R"({"function":"f","params":["CN=a\u0000,O=b"]})", 255, nullptr, nullptr, 0},
        {R"({"function":"f\u0000g","params":[]})", 255, nullptr, nullptr, 0},
        {R"({"function":"f","params":[],"randomId":"r\u0000s"})", 255, nullptr, nullptr, 0},
        {R"({"function":"f","params":["a\\u0000"]})", 0, "f", nullptr, 1},
    };
    for (const Case& c : cases) {
        JSONText function, token;
        JSONPtr params;
        EXPECT_EQ(ParseRequestMsgToJSON(function, params, c.text, token), c.status) << (c.text ? c.text : "null");
        if (c.function) {
            ASSERT_TRUE(function && params);
            EXPECT_STREQ(function.get(), c.function);
            EXPECT_EQ(cJSON_GetArraySize(params.get()), c.paramCount);
        } else {
            EXPECT_FALSE(function || params);
        }
        if (c.token) {
            ASSERT_TRUE(token);
            EXPECT_STREQ(token.get(), c.token);
        } else {
            EXPECT_FALSE(token);
        }
    }
}

// Each operation with a wrong parameter count or a parameter of the wrong
// type, answered by its error-code rule; the agent's last error stays.
class OperationWrappers : public ::testing::Test {
protected:
    void SetUp() override {
        CCryptoAgent::s_hResourceModule = GetModuleHandleW(nullptr);
        g_pobjCryptoAgent = &m_agent;
    }
    void TearDown() override { g_pobjCryptoAgent = nullptr; }

    std::string Respond(const std::string& request) {
        CharBuffer text = AllocZeroed<char>(request.size() + 1);
        std::memcpy(text.get(), request.data(), request.size());
        JSONText response;
        EXPECT_EQ(ParseAndRespondRequest(text, &response), VELA_OK);
        EXPECT_FALSE(text);  // released once parsed
        return response ? std::string(response.get()) : std::string("<none>");
    }

    CCryptoAgent m_agent;
};

// Names and tokens that are not UTF-8 are echoed with U+FFFD in place of
// each stray byte, on both response paths, so that the response stays one
// JSON text (they used to be copied byte for byte).
TEST_F(OperationWrappers, EchoOnlyWellFormedUTF8) {
    struct Case {
        const char* request;
        const char* function;
        const char* token;
    } cases[] = {
        {"{\"function\":\"VE\xFFx\",\"params\":[],\"randomId\":\"r\xC0\xAF\"}", "VE\uFFFDx", "r\uFFFD\uFFFD"},
        {"{\"function\":\"checkHost\",\"params\":[],\"randomId\":\"\xED\xA0\x80\xE4\xB8\"}", "CheckHost",
         "\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"{\"function\":\"\xF4\x90\x80\x80\xE4\xB8\xAD\",\"params\":[]}", "\uFFFD\uFFFD\uFFFD\uFFFD\u4E2D", nullptr},
    };
    for (const Case& c : cases) {
        nlohmann::json response = nlohmann::json::parse(Respond(c.request));
        EXPECT_EQ(response["function"], nlohmann::json::parse(std::string("\"") + c.function + "\"")) << c.request;
        if (c.token) {
            EXPECT_EQ(response["randomId"], nlohmann::json::parse(std::string("\"") + c.token + "\""));
        }
    }
}

TEST_F(OperationWrappers, ApplyTheirErrorCodeRules) {
    struct Case {
        const char* function;
        const char* params;
        const char* responseName;
        int errorcode;
    } cases[] = {
        // rule S: E_INVALIDARG for a wrong count
        {"VELA_GetCSPInfo", "[1]", "VELA_GetCSPInfo", kInvalidArg},
        {"VELA_GetVersion", "[\"x\"]", "VELA_GetVersion", kInvalidArg},
        {"GetLastErrorDesc", "[{}]", "VELA_GetLastErrorDesc", kInvalidArg},
        {"VELA_GetCSPInfo", "{\"a\":1}", "VELA_GetCSPInfo", kInvalidArg},
        // rule M: -1 for everything
        {"VELA_GetAllCertInfo", "[1]", "VELA_GetAllCertInfo", -1},
        {"VELA_GetContainer", "[1]", "VELA_GetContainer", -1},
        {"VELA_HavePermissiontoGenerateKeyPair", "[1]", "VELA_HavePermissiontoGenerateKeyPair", -1},
        // rule P: -1 for a wrong count, the reader's code for a wrong type
        {"VELA_SetCSPInfo", "[]", "VELA_SetCSPInfo", -1},
        {"VELA_SetCSPInfo", "[1024]", "VELA_SetCSPInfo", -1},
        {"VELA_SetCSPInfo", "[\"1024\",\"CSP\"]", "VELA_SetCSPInfo", kType},
        {"VELA_SetCSPInfo", "[1024,1024]", "VELA_SetCSPInfo", kType},
        {"VELA_SetCSPInfo", "[{\"value\":1024},\"CSP\"]", "VELA_SetCSPInfo", kType},
        {"VELA_SetKeyAlgorithm", "[]", "VELA_SetKeyAlgorithm", -1},
        {"VELA_SetKeyAlgorithm", "[[\"RSA\"]]", "VELA_SetKeyAlgorithm", kType},
        {"VELA_ImportEncryptCert", "[\"a\",\"b\",\"c\"]", "VELA_ImportEncryptCert", -1},
        {"VELA_ImportEncryptCert", "[\"a\",\"b\",\"c\",\"1\"]", "VELA_ImportEncryptCert", kType},
        {"VELA_ImportEncryptCert", "[\"a\",2,\"c\",1]", "VELA_ImportEncryptCert", kType},
        {"VELA_ImportSignCert", "[1,\"a\"]", "VELA_ImportSignCert", -1},
        {"VELA_ImportSignCert", "[\"1\",\"a\",\"b\"]", "VELA_ImportSignCert", kType},
        {"VELA_ImportSignCert", "[1,\"a\",null]", "VELA_ImportSignCert", kType},
        {"VELA_PKCS10CertRequisition", "[\"CN=a\",1]", "VELA_PKCS10CertRequisition", -1},
        {"VELA_PKCS10CertRequisition", "[1,1,1]", "VELA_PKCS10CertRequisition", kType},
        {"VELA_PKCS10CertRequisition", "[\"CN=a\",1,true]", "VELA_PKCS10CertRequisition", kType},
        // the agent's own checks of the settings
        {"VELA_SetCSPInfo", "[2048,\"Microsoft Base Cryptographic Provider v1.0\"]", "VELA_SetCSPInfo",
         VELA_E_KEY_LENGTH_NOT_SUPPORTED},
        {"VELA_SetKeyAlgorithm", "[\"DSA\"]", "VELA_SetKeyAlgorithm", VELA_E_INVALID_KEY_ALGORITHM},
        {"VELA_SetKeyAlgorithm", "[\"  \"]", "VELA_SetKeyAlgorithm", VELA_E_INVALID_KEY_ALGORITHM},
    };
    for (const Case& c : cases) {
        std::string request = std::string(R"({"function":")") + c.function + R"(","params":)" + c.params + "}";
        std::string expected = std::string(R"({"function":")") + c.responseName +
                               R"(","errorcode":)" + std::to_string(c.errorcode) + R"(,"result":false})";
        EXPECT_EQ(Respond(request), expected) << request;
    }
}

TEST_F(OperationWrappers, PassValuesBetweenTheWireAndTheAgent) {
    // The key length arrives wrapped in "param"; the name in UTF-8 reaches
    // the agent as UTF-16 (trimmed by the agent).
    EXPECT_EQ(Respond(R"({"function":"vela_setcspinfo","params":[{"param":4096}," Tessera CSP \u00e9 "]})"),
              R"({"function":"VELA_SetCSPInfo","errorcode":0,"result":true})");
    EXPECT_EQ(m_agent.KeyLength(), 4096);
    EXPECT_EQ(m_agent.CSPName(), WString(TEXT("Tessera CSP \u00e9")));
    EXPECT_EQ(Respond(R"({"function":"VELA_SetKeyAlgorithm","params":[{"param":"sm2"}]})"),
              R"({"function":"VELA_SetKeyAlgorithm","errorcode":0,"result":true})");
    EXPECT_EQ(m_agent.KeyAlgorithm(), WString(TEXT("sm2")));

    // A request that fails before the agent is called leaves its last error.
    Respond(R"({"function":"VELA_SetCSPInfo","params":[512,"Microsoft Base Cryptographic Provider v1.0 "]})");
    Respond(R"({"function":"VELA_SetCSPInfo","params":[2048,"Microsoft Base Cryptographic Provider v1.0"]})");
    Respond(R"({"function":"VELA_SetKeyAlgorithm","params":[1]})");
    Respond(R"({"function":"VELA_SetCSPInfo","params":[]})");
    EXPECT_EQ(m_agent.LastError(), VELA_E_KEY_LENGTH_NOT_SUPPORTED);
    nlohmann::ordered_json desc = nlohmann::ordered_json::parse(Respond(R"({"function":"GetLastErrorDesc","params":[]})"));
    EXPECT_EQ(desc["function"], "VELA_GetLastErrorDesc");
    EXPECT_EQ(desc["errorcode"], 0);
    std::string text = desc["result"];
    EXPECT_NE(text.find("\n(0xa0072400)"), std::string::npos) << text;
}

TEST_F(OperationWrappers, AnswerEveryOperationWithItsResponseShape) {
    // Whatever the agent's slots answer, every response is one object with
    // the response name, an integer error code and a result.
    const char* requests[][2] = {
        {"VELA_GetCSPInfo", "[]"},
        {"VELA_GetAllCertInfo", "[]"},
        {"VELA_GetContainer", "[]"},
        {"VELA_HavePermissiontoGenerateKeyPair", "[]"},
        {"VELA_ImportSignCert", R"([1,"not a certificate","no container"])"},
        {"VELA_ImportEncryptCert", R"(["a","b","c",0])"},
        {"VELA_GetVersion", "[]"},
        {"GetLastErrorDesc", "[]"},
    };
    for (auto& r : requests) {
        std::string request = std::string(R"({"function":")") + r[0] + R"(","params":)" + r[1] +
                              R"(,"randomId":"id-7"})";
        nlohmann::ordered_json response = nlohmann::ordered_json::parse(Respond(request));
        std::string expectedName = std::strcmp(r[0], "GetLastErrorDesc") == 0 ? "VELA_GetLastErrorDesc" : r[0];
        ASSERT_EQ(response.size(), 4u) << response.dump();
        auto it = response.begin();
        EXPECT_EQ(it.key(), "function");
        EXPECT_EQ(it.value(), expectedName);
        EXPECT_EQ((++it).key(), "errorcode");
        EXPECT_TRUE(it.value().is_number_integer());
        EXPECT_EQ((++it).key(), "result");
        if (response["errorcode"] != 0) {
            EXPECT_EQ(it.value(), false);
        }
        EXPECT_EQ((++it).key(), "randomId");
        EXPECT_EQ(it.value(), "id-7");
    }
}

}  // namespace
