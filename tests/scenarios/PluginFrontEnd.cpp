// The plug-in as a front end: each page is a new instance with its
// scriptable object; arguments become Int32 and string variants.
#include "BrowserHarness.h"
#include "FrontEnd.h"

namespace {

bool IsStringMethod(const std::string& method) {
    for (const char* name : {"VELA_GetCSPInfo", "VELA_GetAllCertInfo", "VELA_GetContainer",
                             "VELA_PKCS10CertRequisition", "VELA_GetVersion", "GetLastErrorDesc"})
        if (method == name) return true;
    return false;
}

class CPluginPage : public CPage {
public:
    CPluginPage(CBrowserHarness& harness, NPObject* object) : m_harness(harness), m_object(object) {}
    ~CPluginPage() override { m_harness.Browser().Release(m_object); }

    Outcome Call(const std::string& method, const std::vector<Arg>& args) override {
        std::vector<NPVariant> variants;
        for (const Arg& a : args) variants.push_back(a.isNumber ? Int(a.number) : Text(a.text.c_str()));
        ScriptResult r = m_harness.Browser().Invoke(m_object, method, variants);
        Outcome o;
        o.ok = r.ok;
        const bool stringMethod = IsStringMethod(method);
        if (!r.ok) {
            // A failed call leaves null for string methods, false for boolean ones.
            if (stringMethod)
                EXPECT_EQ(r.type, NPVariantType_Null) << method;
            else
                EXPECT_TRUE(r.type == NPVariantType_Bool && !r.flag) << method;
            return o;
        }
        if (stringMethod) {
            EXPECT_EQ(r.type, NPVariantType_String) << method;
            o.text = r.text;
        } else {
            EXPECT_EQ(r.type, NPVariantType_Bool) << method;
            o.flag = r.flag;
        }
        return o;
    }

private:
    CBrowserHarness& m_harness;
    NPObject* m_object;
};

class CPluginFrontEnd : public CFrontEnd {
public:
    std::string Name() const override { return "plug-in"; }
    ::testing::AssertionResult Begin() override { return m_harness.Start(); }
    std::unique_ptr<CPage> OpenPage() override {
        NPP instance = m_harness.NewInstance();
        if (!instance) return nullptr;
        NPObject* object = m_harness.ScriptableObject(instance);
        if (!object) return nullptr;
        return std::make_unique<CPluginPage>(m_harness, object);
    }
    ::testing::AssertionResult End() override { return m_harness.Finish(); }

private:
    CBrowserHarness m_harness;
};

}  // namespace

std::unique_ptr<CFrontEnd> MakePluginFrontEnd() { return std::make_unique<CPluginFrontEnd>(); }
