// Enrollment scenarios, each run through every front end, and then through
// all of them side by side to show that they give the same results.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "FrontEnd.h"
#include "TestPlatform.h"

namespace {

// ---- error texts, from the table both deliverables embed ---------------------
struct ErrorText {
    const char* english;
    const char* chinese;
};

const std::map<uint32_t, ErrorText>& ErrorTexts() {
    static const std::map<uint32_t, ErrorText> texts = {
#define VELA_ERROR_TEXT(id, name, en, zh) {0xA0070000u | (id), ErrorText{en, zh}},
#include "ErrorText.def"
#undef VELA_ERROR_TEXT
    };
    return texts;
}

std::string StatusSuffix(uint32_t status) {
    char text[16];
    std::snprintf(text, sizeof text, "\n(0x%08x)", status);
    return text;
}

// ---- expectations -----------------------------------------------------------------
enum class Kind {
    Fail,          // the call fails
    True,          // a boolean method succeeds
    Text,          // a string method succeeds with exactly this text
    ErrorText,     // GetLastErrorDesc: the text of this status
    FailureText,   // GetLastErrorDesc: the text of some failure status
    SameAsBefore,  // the same outcome as the page's previous call
    Request,       // a PKCS #10 request text (compared across front ends by its form only)
    Container,     // a new key container's name (likewise)
    Any,           // recorded only (compared across the front ends)
};

struct Expect {
    Kind kind;
    std::string text;
    uint32_t status = 0;
};
Expect Fails() { return {Kind::Fail, {}}; }
Expect True() { return {Kind::True, {}}; }
Expect Text(std::string t) { return {Kind::Text, std::move(t)}; }
Expect ErrorOf(uint32_t status) { return {Kind::ErrorText, {}, status}; }
Expect SomeFailureText() { return {Kind::FailureText, {}}; }
Expect SameAsBefore() { return {Kind::SameAsBefore, {}}; }
Expect Anything() { return {Kind::Any, {}}; }
Expect RequestText() { return {Kind::Request, {}}; }
Expect ContainerName() { return {Kind::Container, {}}; }

struct Step {
    int page;
    std::string method;
    std::vector<Arg> args;
    Expect expect;
};

struct Scenario {
    const char* name;
    int pages;
    std::vector<Step> steps;
    // Needs the request operations; skipped while the agent reports them as not built.
    bool needsRequests = false;
};

const char kBaseCSP[] = "Microsoft Base Cryptographic Provider v1.0";
const char kEnhancedCSP[] = "Microsoft Enhanced Cryptographic Provider v1.0";
constexpr uint32_t kKeyLengthNotSupported = 0xA0072400;
constexpr uint32_t kInvalidKeyAlgorithm = 0xA0072401;
constexpr uint32_t kInvalidArg = 0x80070057;
constexpr uint32_t kNotBuilt = 0x80004001;
const char kSubject[] = "CN=Tessera Test User,OU=Enrollment,O=Tessera,C=CN";

const std::vector<Scenario>& Scenarios() {
    static const std::vector<Scenario> scenarios = {
        {"Version",
         1,
         {
             {0, "VELA_GetVersion", {}, Text("3.2.0.3")},
             {0, "GetLastErrorDesc", {}, ErrorOf(0)},
             {0, "VELA_GetVersion", {Num(1)}, Fails()},
         }},
        {"CSPSettings",
         1,
         {
             {0, "VELA_SetCSPInfo", {Num(1024), Str(kBaseCSP)}, True()},
             {0, "VELA_SetCSPInfo", {Num(2048), Str(kBaseCSP)}, Fails()},
             {0, "GetLastErrorDesc", {}, ErrorOf(kKeyLengthNotSupported)},
             {0, "GetLastErrorDesc", {}, SameAsBefore()},
             {0, "VELA_SetCSPInfo", {Num(2048), Str(kEnhancedCSP)}, True()},
             {0, "GetLastErrorDesc", {}, ErrorOf(0)},
             {0, "VELA_SetCSPInfo", {Num(3000), Str(kEnhancedCSP)}, Fails()},
             {0, "VELA_SetCSPInfo", {Num(12345), Str("Vendor Security CSP")}, True()},
             {0, "VELA_SetCSPInfo", {Num(1024), Str("  Vendor CSP &amp; Co  ")}, True()},
             {0, "VELA_SetCSPInfo", {Num(1024), Str("   ")}, Fails()},
             {0, "GetLastErrorDesc", {}, ErrorOf(kInvalidArg)},
         }},
        {"KeyAlgorithm",
         1,
         {
             {0, "VELA_SetKeyAlgorithm", {Str("RSA")}, True()},
             {0, "VELA_SetKeyAlgorithm", {Str("sm2")}, True()},
             {0, "VELA_SetKeyAlgorithm", {Str("  Rsa  ")}, True()},
             {0, "VELA_SetKeyAlgorithm", {Str("DSA")}, Fails()},
             {0, "GetLastErrorDesc", {}, ErrorOf(kInvalidKeyAlgorithm)},
             {0, "VELA_SetKeyAlgorithm", {Str("   ")}, Fails()},
             {0, "GetLastErrorDesc", {}, ErrorOf(kInvalidKeyAlgorithm)},
             {0, "VELA_SetKeyAlgorithm", {Str("")}, Fails()},
             {0, "GetLastErrorDesc", {}, ErrorOf(kInvalidArg)},
         }},
        {"RejectedCallsKeepTheLastError",
         1,
         {
             {0, "VELA_SetCSPInfo", {Num(4096), Str(kBaseCSP)}, Fails()},
             {0, "VELA_SetCSPInfo", {Str("1024"), Str(kBaseCSP)}, Fails()},
             {0, "VELA_SetCSPInfo", {Num(1024)}, Fails()},
             {0, "VELA_SetKeyAlgorithm", {Num(1)}, Fails()},
             {0, "VELA_GetContainer", {Num(1)}, Fails()},
             {0, "VELA_PKCS10CertRequisition", {Str("CN=a"), Str("1"), Num(0)}, Fails()},
             {0, "VELA_ImportSignCert", {Num(1), Str("cert")}, Fails()},
             {0, "VELA_ImportEncryptCert", {Str("k"), Str("c"), Str("n"), Str("0")}, Fails()},
             {0, "GetLastErrorDesc", {}, ErrorOf(kKeyLengthNotSupported)},
         }},
        {"Container",
         1,
         {
             {0, "VELA_SetKeyAlgorithm", {Str("DSA")}, Fails()},
             {0, "VELA_GetContainer", {}, Text("")},
             {0, "GetLastErrorDesc", {}, ErrorOf(0)},
         }},
        {"PagesKeepSeparateSettings",
         2,
         {
             {0, "VELA_SetCSPInfo", {Num(2048), Str(kBaseCSP)}, Fails()},
             {1, "GetLastErrorDesc", {}, ErrorOf(0)},
             {1, "VELA_SetKeyAlgorithm", {Str("ECC")}, Fails()},
             {0, "GetLastErrorDesc", {}, ErrorOf(kKeyLengthNotSupported)},
             {1, "GetLastErrorDesc", {}, ErrorOf(kInvalidKeyAlgorithm)},
         }},
        {"RequestWithoutSettingsFails",
         1,
         {
             {0, "VELA_PKCS10CertRequisition", {Str("CN=Test User,O=Tessera,C=CN"), Num(1), Num(0)}, Fails()},
             {0, "GetLastErrorDesc", {}, SomeFailureText()},
             {0, "GetLastErrorDesc", {}, SameAsBefore()},
         }},
        {"Listings",
         1,
         {
             {0, "VELA_GetCSPInfo", {}, Anything()},
             {0, "GetLastErrorDesc", {}, Anything()},
             {0, "VELA_GetAllCertInfo", {}, Anything()},
             {0, "GetLastErrorDesc", {}, Anything()},
             {0, "VELA_HavePermissiontoGenerateKeyPair", {}, Anything()},
         }},
        {"SingleRSARequest",
         1,
         {
             {0, "VELA_SetCSPInfo", {Num(1024), Str(kEnhancedCSP)}, True()},
             {0, "VELA_SetKeyAlgorithm", {Str("RSA")}, True()},
             {0, "VELA_PKCS10CertRequisition", {Str(kSubject), Num(1), Num(0)}, RequestText()},
             {0, "GetLastErrorDesc", {}, ErrorOf(0)},
             {0, "VELA_GetContainer", {}, ContainerName()},
         },
         true},
        {"DoubleRSARequest",
         1,
         {
             {0, "VELA_SetCSPInfo", {Num(1024), Str(kEnhancedCSP)}, True()},
             {0, "VELA_SetKeyAlgorithm", {Str("rsa")}, True()},
             {0, "VELA_PKCS10CertRequisition", {Str(kSubject), Num(2), Num(0)}, RequestText()},
             {0, "VELA_GetContainer", {}, ContainerName()},
         },
         true},
        {"RequestNeedsAKeyAlgorithm",
         1,
         {
             {0, "VELA_SetCSPInfo", {Num(1024), Str(kEnhancedCSP)}, True()},
             {0, "VELA_PKCS10CertRequisition", {Str(kSubject), Num(1), Num(0)}, Fails()},
             {0, "GetLastErrorDesc", {}, ErrorOf(kInvalidKeyAlgorithm)},
             {0, "VELA_GetContainer", {}, Text("")},
         },
         true},
        {"PermissionProbeKeepsTheLastError",
         1,
         {
             {0, "VELA_SetKeyAlgorithm", {Str("DSA")}, Fails()},
             {0, "VELA_HavePermissiontoGenerateKeyPair", {}, True()},
             {0, "GetLastErrorDesc", {}, ErrorOf(kInvalidKeyAlgorithm)},
         },
         true},
    };
    return scenarios;
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Checks one outcome against its expectation; the previous outcome of the
// same page is there for SameAsBefore.
void Check(const Step& step, const Outcome& o, const Outcome* previous) {
    switch (step.expect.kind) {
    case Kind::Fail:
        EXPECT_FALSE(o.ok) << o;
        break;
    case Kind::True:
        EXPECT_EQ(o, (Outcome{true, std::nullopt, true}));
        break;
    case Kind::Text:
        EXPECT_EQ(o, (Outcome{true, step.expect.text, std::nullopt}));
        break;
    case Kind::ErrorText: {
        ASSERT_TRUE(o.ok && o.text) << o;
        const std::string suffix = StatusSuffix(step.expect.status);
        ASSERT_TRUE(EndsWith(*o.text, suffix)) << *o.text;
        auto it = ErrorTexts().find(step.expect.status);
        if (it != ErrorTexts().end()) {
            std::string message = o.text->substr(0, o.text->size() - suffix.size());
            EXPECT_TRUE(message == it->second.english || message == it->second.chinese) << message;
        }
        break;
    }
    case Kind::FailureText: {
        ASSERT_TRUE(o.ok && o.text) << o;
        size_t open = o.text->rfind("\n(0x");
        ASSERT_NE(open, std::string::npos) << *o.text;
        EXPECT_GE((*o.text)[open + 4], '8') << *o.text;
        break;
    }
    case Kind::SameAsBefore:
        ASSERT_NE(previous, nullptr);
        EXPECT_EQ(o, *previous);
        break;
    case Kind::Request: {
        // Base64 in lines of at most 64 characters separated by CR LF, no
        // header; the DER SEQUENCE of a request of this size starts "MI".
        ASSERT_TRUE(o.ok && o.text) << o;
        const std::string& t = *o.text;
        EXPECT_EQ(t.rfind("MI", 0), 0u) << t;
        size_t start = 0;
        while (start < t.size()) {
            size_t end = t.find("\r\n", start);
            std::string line = t.substr(start, end == std::string::npos ? std::string::npos : end - start);
            EXPECT_FALSE(line.empty()) << t;
            EXPECT_LE(line.size(), 64u) << line;
            EXPECT_EQ(line.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
                      std::string::npos)
                << line;
            if (end == std::string::npos) break;
            start = end + 2;
            EXPECT_LT(start, t.size()) << "the text ends with a line break";
        }
        break;
    }
    case Kind::Container:
        ASSERT_TRUE(o.ok && o.text) << o;
        EXPECT_EQ(o.text->size(), 38u) << *o.text;
        EXPECT_EQ(o.text->front(), '{');
        EXPECT_EQ(o.text->back(), '}');
        break;
    case Kind::Any:
        break;
    }
}

// Request texts and container names are new on every run: across front
// ends only their form, checked above, can be compared.
Outcome Comparable(const Step& step, Outcome o) {
    if (o.ok && o.text && step.expect.kind == Kind::Request) o.text = "<request>";
    if (o.ok && o.text && step.expect.kind == Kind::Container) o.text = "<container>";
    return o;
}

using FrontEndMaker = std::function<std::unique_ptr<CFrontEnd>()>;

// Runs a scenario through one front end; the outcomes in step order.
std::vector<Outcome> RunScenario(const Scenario& scenario, const FrontEndMaker& make) {
    std::vector<Outcome> outcomes;
    std::unique_ptr<CFrontEnd> frontEnd = make();
    SCOPED_TRACE(frontEnd->Name());
    EXPECT_TRUE(frontEnd->Begin());
    {
        std::vector<std::unique_ptr<CPage>> pages;
        for (int i = 0; i < scenario.pages; ++i) {
            pages.push_back(frontEnd->OpenPage());
            if (!pages.back()) {
                ADD_FAILURE() << "cannot open page " << i;
                return outcomes;
            }
        }
        std::vector<const Outcome*> lastOfPage(scenario.pages, nullptr);
        outcomes.reserve(scenario.steps.size());
        for (size_t i = 0; i < scenario.steps.size(); ++i) {
            const Step& step = scenario.steps[i];
            SCOPED_TRACE(testing::Message() << "step " << i << ": " << step.method << " on page " << step.page);
            Outcome o = pages[step.page]->Call(step.method, step.args);
            Check(step, o, lastOfPage[step.page]);
            outcomes.push_back(Comparable(step, o));
            lastOfPage[step.page] = &outcomes.back();
        }
    }
    EXPECT_TRUE(frontEnd->End());
    return outcomes;
}

const std::vector<std::pair<std::string, FrontEndMaker>>& FrontEnds() {
    static const std::vector<std::pair<std::string, FrontEndMaker>> frontEnds = {
        {"Plugin", MakePluginFrontEnd},
        {"Host", MakeHostFrontEnd},
    };
    return frontEnds;
}

// Whether the agent has its request operations: a request with complete
// settings that fails with E_NOTIMPL means they are not built yet.
bool RequestsBuilt() {
    static const bool built = [] {
        std::unique_ptr<CFrontEnd> frontEnd = MakePluginFrontEnd();
        if (!frontEnd->Begin()) return false;
        bool notBuilt = false;
        {
            std::unique_ptr<CPage> page = frontEnd->OpenPage();
            if (!page) return false;
            page->Call("VELA_SetCSPInfo", {Num(1024), Str(kEnhancedCSP)});
            page->Call("VELA_SetKeyAlgorithm", {Str("RSA")});
            if (!page->Call("VELA_PKCS10CertRequisition", {Str(kSubject), Num(1), Num(0)}).ok) {
                Outcome text = page->Call("GetLastErrorDesc", {});
                notBuilt = text.text && EndsWith(*text.text, StatusSuffix(kNotBuilt));
            }
        }
        frontEnd->End();
        return !notBuilt;
    }();
    return built;
}

// Key containers and certificates go to stores of the test's own (where
// the platform layer lets the location be chosen), which the child host
// processes inherit.
class ScenarioStores : public ::testing::Environment {
public:
    void SetUp() override {
        m_directory = testsupport::MakeTemporaryDirectory();
        if (m_directory.empty()) return;
        testsupport::SetEnvironment("TESSERA_STORE_DIR", m_directory.c_str());
        testsupport::SetEnvironment("TESSERA_MACHINE_STORE_DIR", m_directory.c_str());
    }
    void TearDown() override {
        if (m_directory.empty()) return;
        std::error_code ignored;
        std::filesystem::remove_all(m_directory, ignored);
    }

private:
    std::string m_directory;
};
const auto* const kScenarioStores = ::testing::AddGlobalTestEnvironment(new ScenarioStores);

class ScenarioTest : public ::testing::TestWithParam<std::tuple<size_t, size_t>> {};

TEST_P(ScenarioTest, GivesTheExpectedResults) {
    const Scenario& scenario = Scenarios()[std::get<0>(GetParam())];
    if (scenario.needsRequests && !RequestsBuilt()) GTEST_SKIP() << "the request operations are not built yet";
    RunScenario(scenario, FrontEnds()[std::get<1>(GetParam())].second);
}

INSTANTIATE_TEST_SUITE_P(FrontEnds, ScenarioTest,
                         ::testing::Combine(::testing::Range<size_t>(0, Scenarios().size()),
                                            ::testing::Range<size_t>(0, FrontEnds().size())),
                         [](const auto& info) {
                             return std::string(Scenarios()[std::get<0>(info.param)].name) + "_" +
                                    FrontEnds()[std::get<1>(info.param)].first;
                         });

class FrontEndsAgree : public ::testing::TestWithParam<size_t> {};

TEST_P(FrontEndsAgree, StepByStep) {
    const Scenario& scenario = Scenarios()[GetParam()];
    if (scenario.needsRequests && !RequestsBuilt()) GTEST_SKIP() << "the request operations are not built yet";
    std::vector<std::vector<Outcome>> results;
    for (const auto& frontEnd : FrontEnds()) results.push_back(RunScenario(scenario, frontEnd.second));
    for (size_t f = 1; f < results.size(); ++f) {
        ASSERT_EQ(results[f].size(), results[0].size());
        for (size_t i = 0; i < results[0].size(); ++i)
            EXPECT_EQ(results[f][i], results[0][i])
                << "step " << i << " (" << scenario.steps[i].method << "): " << FrontEnds()[f].first
                << " differs from " << FrontEnds()[0].first;
    }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, FrontEndsAgree, ::testing::Range<size_t>(0, Scenarios().size()),
                         [](const auto& info) { return std::string(Scenarios()[info.param].name); });

}  // namespace
