// The native-messaging host as a front end: each page is one conversation
// with the built tessera-host, one frame per call.
#include <nlohmann/json.hpp>

#include <cstring>

#include "FrontEnd.h"
#include "HostProcess.h"

namespace {

const std::string kHost = TESSERA_HOST_PATH;

// The name the host answers with; only GetLastErrorDesc differs.
std::string ResponseName(const std::string& method) {
    return method == "GetLastErrorDesc" ? "VELA_GetLastErrorDesc" : method;
}

// What a finished conversation left behind, checked in End().
struct Ending {
    int exitCode = 0;
    std::string err;
    bool framesBroken = false;
};

class CHostPage : public CPage {
public:
    CHostPage(std::vector<Ending>& endings) : m_endings(endings) {}
    ~CHostPage() override {
        m_process.CloseStdin();
        std::string rest = m_process.ReadToEnd();
        Ending e;
        e.framesBroken = !rest.empty();
        e.exitCode = m_process.Wait();
        e.err = m_process.Stderr();
        m_endings.push_back(e);
    }
    bool Start() { return m_process.Start(kHost, {}); }

    Outcome Call(const std::string& method, const std::vector<Arg>& args) override {
        nlohmann::json params = nlohmann::json::array();
        for (const Arg& a : args) params.push_back(a.isNumber ? nlohmann::json(a.number) : nlohmann::json(a.text));
        const std::string token = "page-call-" + std::to_string(++m_calls);
        nlohmann::json request = {{"function", method}, {"params", params}, {"randomId", token}};
        Outcome o;
        std::string body;
        if (!m_process.Write(Frame(request.dump())) || !ReadFrame(body)) {
            ADD_FAILURE() << "no response from the host to " << method;
            return o;
        }
        nlohmann::json response = nlohmann::json::parse(body, nullptr, false);
        if (response.is_discarded() || !response.is_object()) {
            ADD_FAILURE() << "not a JSON object: " << body;
            return o;
        }
        EXPECT_EQ(response.value("function", ""), ResponseName(method)) << body;
        EXPECT_EQ(response.value("randomId", ""), token) << body;
        if (!response.contains("errorcode") || !response["errorcode"].is_number_integer()) {
            ADD_FAILURE() << "no integer errorcode: " << body;
            return o;
        }
        o.ok = response["errorcode"].get<long long>() == 0;
        const nlohmann::json* result = response.contains("result") ? &response["result"] : nullptr;
        if (!o.ok) {
            EXPECT_TRUE(result && result->is_boolean() && !result->get<bool>()) << body;
            return o;
        }
        if (result && result->is_string())
            o.text = result->get<std::string>();
        else if (result && result->is_boolean())
            o.flag = result->get<bool>();
        else
            ADD_FAILURE() << "a success without a string or boolean result: " << body;
        return o;
    }

private:
    bool ReadFrame(std::string& body) {
        unsigned char prefix[4];
        if (!m_process.ReadExact(prefix, 4)) return false;
        uint32_t n = uint32_t(prefix[0]) | uint32_t(prefix[1]) << 8 | uint32_t(prefix[2]) << 16 |
                     uint32_t(prefix[3]) << 24;
        if (n == 0xFFFFFFFF) return false;
        body.assign(n, '\0');
        return n == 0 || m_process.ReadExact(body.data(), n);
    }

    HostProcess m_process;
    std::vector<Ending>& m_endings;
    int m_calls = 0;
};

class CHostFrontEnd : public CFrontEnd {
public:
    std::string Name() const override { return "host"; }
    ::testing::AssertionResult Begin() override { return ::testing::AssertionSuccess(); }
    std::unique_ptr<CPage> OpenPage() override {
        auto page = std::make_unique<CHostPage>(m_endings);
        if (!page->Start()) return nullptr;
        return page;
    }
    ::testing::AssertionResult End() override {
        for (const Ending& e : m_endings) {
            if (e.exitCode != 0) return ::testing::AssertionFailure() << "host exited with " << e.exitCode;
            if (!e.err.empty()) return ::testing::AssertionFailure() << "host wrote to standard error: " << e.err;
            if (e.framesBroken) return ::testing::AssertionFailure() << "host wrote after its last response";
        }
        return ::testing::AssertionSuccess();
    }

private:
    std::vector<Ending> m_endings;
};

}  // namespace

std::unique_ptr<CFrontEnd> MakeHostFrontEnd() { return std::make_unique<CHostFrontEnd>(); }
