// Requests, key generation and the permission probe against the machine's
// providers (the Microsoft RSA providers on Windows and under Wine, the
// project's providers elsewhere). The OpenSSL checks of what these produce
// run on the corpus (verify-requests.sh).
#include <gtest/gtest.h>

#include <set>

#include "ASN1Engine.h"
#include "CertificateInfo.h"
#include "CertificateRequisition.h"
#include "CryptoAgent.h"
#include "PKCS10Request.h"
#include "TestBytes.h"
#include "TestPlatform.h"

using testbytes::Bytes;

namespace {

const WCHAR kBase[] = TEXT("Microsoft Base Cryptographic Provider v1.0");
const WCHAR kEnhanced[] = TEXT("Microsoft Enhanced Cryptographic Provider v1.0");
const WCHAR kAes[] = TEXT("Microsoft Enhanced RSA and AES Cryptographic Provider");
const WCHAR kSM2[] = TEXT("Tessera SM2 Software CSP");

// Key containers live in a store of this test run only.
struct IsolatedKeyStore {
    IsolatedKeyStore() {
        std::string dir = testsupport::MakeTemporaryDirectory();
        if (!dir.empty()) testsupport::SetEnvironment("TESSERA_STORE_DIR", dir.c_str());
    }
} g_isolatedKeyStore;

bool ProviderInstalled(const WCHAR* name) {
    WideBuffer list;
    if (FAILED(GetAllCSPName(list)) || !list) return false;
    std::vector<WString> names;
    SplitStrings(list.get(), names);
    for (const WString& n : names)
        if (n == name) return true;
    return false;
}

// The names of the provider's containers, or nothing when it cannot list them.
bool ListContainers(const WCHAR* provider, std::set<std::string>& names) {
    HCRYPTPROV hProv = 0;
    if (!CryptAcquireContextW(&hProv, nullptr, provider, GetProviderType(provider), CRYPT_VERIFYCONTEXT))
        return false;
    names.clear();
    char name[1024];
    DWORD flags = CRYPT_FIRST;
    for (;;) {
        DWORD cb = sizeof name;
        if (!CryptGetProvParam(hProv, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &cb, flags)) break;
        names.insert(std::string(name));
        flags = CRYPT_NEXT;
    }
    bool ok = GetLastError() == ERROR_NO_MORE_ITEMS;
    CryptReleaseContext(hProv, 0);
    return ok;
}

BSTR Bstr(const WCHAR* text) { return SysAllocString(text); }

std::string Narrow(const WCHAR* text) {
    std::string out;
    for (; text && *text; ++text) out.push_back(*text < 0x80 ? (char)*text : '?');
    return out;
}

struct Request {
    HRESULT status = E_FAIL;
    HRESULT lastError = E_FAIL;  // recorded by the request
    std::string text;
    WString container;
};

Request MakeRequest(CCryptoAgent& agent, const WCHAR* provider, const WCHAR* algorithm, LONG keyLength,
                    const WCHAR* subject, LONG certType, LONG flags = 0) {
    Request r;
    VARIANT_BOOL ok = VARIANT_FALSE;
    BSTR bstrProvider = Bstr(provider), bstrAlgorithm = Bstr(algorithm), bstrSubject = Bstr(subject);
    EXPECT_EQ(agent.VELA_SetCSPInfo(keyLength, bstrProvider, &ok), VELA_OK);
    EXPECT_EQ(agent.VELA_SetKeyAlgorithm(bstrAlgorithm, &ok), VELA_OK);
    BSTR bstrRequest = nullptr;
    r.status = agent.VELA_PKCS10CertRequisition(bstrSubject, certType, flags, &bstrRequest);
    r.lastError = agent.LastError();
    EXPECT_NE(bstrRequest, nullptr) << "the request out-value is always set";
    if (bstrRequest)
        for (const WCHAR* p = bstrRequest; *p; ++p) r.text.push_back((char)*p);
    BSTR bstrContainer = nullptr;
    agent.VELA_GetContainer(&bstrContainer);
    r.container = ToWString(bstrContainer);
    SysFreeString(bstrContainer);
    SysFreeString(bstrRequest);
    SysFreeString(bstrProvider);
    SysFreeString(bstrAlgorithm);
    SysFreeString(bstrSubject);
    return r;
}

Bytes DecodeRequest(const std::string& text) {
    ByteBuffer der;
    DWORD cb = 0;
    EXPECT_EQ(Base64DecodeEx((int)text.size(), der, text.c_str(), cb), VELA_OK);
    return der ? Bytes(der.get(), der.get() + cb) : Bytes();
}

bool HasUserKey(HCRYPTPROV hProv, DWORD keySpec) {
    HCRYPTKEY hKey = 0;
    if (!CryptGetUserKey(hProv, keySpec, &hKey)) return false;
    CryptDestroyKey(hKey);
    return true;
}

Bytes ExportedRSAKeyBits(HCRYPTPROV hProv, DWORD keySpec) {
    DWORD cb = 0;
    if (!CryptExportPublicKeyInfo(hProv, keySpec, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, nullptr, &cb)) return {};
    ByteBuffer info = AllocZeroed<BYTE>(cb);
    if (!CryptExportPublicKeyInfo(hProv, keySpec, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                  reinterpret_cast<PCERT_PUBLIC_KEY_INFO>(info.get()), &cb))
        return {};
    const CERT_PUBLIC_KEY_INFO* p = reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(info.get());
    return Bytes(p->PublicKey.pbData, p->PublicKey.pbData + p->PublicKey.cbData);
}

Bytes ExportedSM2Point(HCRYPTPROV hProv, DWORD keySpec) {
    HCRYPTKEY hKey = 0;
    if (!CryptGetUserKey(hProv, keySpec, &hKey)) return {};
    BYTE blob[512];
    DWORD cb = sizeof blob;
    BOOL ok = CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, blob, &cb);
    CryptDestroyKey(hKey);
    if (!ok) return {};
    ByteBuffer point;
    DWORD cbPoint = 0;
    if (FAILED(ConvertSM2BlobToPoint(blob, cb, point, cbPoint))) return {};
    return Bytes(point.get(), point.get() + cbPoint);
}

struct RequestCase {
    const WCHAR* provider;
    const WCHAR* algorithm;
    LONG keyLength;
    LONG certType;
};

// Every request: the text's line structure, the request's layout, the keys
// that exist in the new container afterwards and that the request carries
// the container's public keys.
TEST(AgentRequest, BuildsRequestsWithTheContainersKeys) {
    const RequestCase cases[] = {
        {kEnhanced, TEXT("RSA"), 1024, 1}, {kEnhanced, TEXT("RSA"), 2048, 2}, {kBase, TEXT("RSA"), 1024, 1},
        {kBase, TEXT("rsa"), 512, 2},      {kAes, TEXT("RSA"), 2048, 1},      {kAes, TEXT("RSA"), 1024, 2},
        {kSM2, TEXT("SM2"), 256, 1},       {kSM2, TEXT("sm2"), 256, 2},       {kSM2, TEXT("SM2"), 0, 2},
    };
    int ran = 0;
    for (const RequestCase& c : cases) {
        if (!ProviderInstalled(c.provider)) continue;
        ++ran;
        SCOPED_TRACE(testing::Message() << Narrow(c.provider) << ", " << c.keyLength << " bits, type " << c.certType);
        const bool sm2 = !EqualsNoCaseAscii(c.algorithm, TEXT("RSA"));
        CCryptoAgent agent;
        Request r = MakeRequest(agent, c.provider, c.algorithm, c.keyLength, TEXT("CN=provider test,O=Tessera,C=CN"),
                                c.certType);
        ASSERT_EQ(r.status, VELA_OK);
        EXPECT_EQ(r.lastError, VELA_OK);
        ASSERT_EQ(r.container.size(), 38u);
        EXPECT_EQ(r.container.front(), '{');
        EXPECT_EQ(r.container.back(), '}');
        // 64-character lines joined by CR LF.
        for (size_t at = 0, line = 0;; ++line) {
            size_t end = r.text.find("\r\n", at);
            if (end == std::string::npos) {
                EXPECT_LE(r.text.size() - at, 64u);
                EXPECT_GT(r.text.size() - at, 0u);
                break;
            }
            EXPECT_EQ(end - at, 64u) << "line " << line;
            at = end + 2;
        }

        Bytes der = DecodeRequest(r.text);
        ASN1NodePtr root;
        ASSERT_EQ(DecodeASN1Memory(root, der.data(), (DWORD)der.size()), 0);
        ASSERT_EQ(root->ChildCount(), 3u);
        EXPECT_EQ(root->dwTotalLength, der.size());
        const ASN1Node* info = root->Child(0);
        ASSERT_EQ(info->ChildCount(), c.certType == 2 ? 4u : 3u);
        const ASN1Node* keyBits = info->Child(2)->Child(1);
        ASSERT_NE(keyBits, nullptr);
        Bytes requestKey(keyBits->Content() + 1, keyBits->Content() + keyBits->dwLength);
        const ASN1Node* signature = root->Child(2);
        if (sm2) {
            EXPECT_GE(signature->dwLength, 1u + 68u);
            EXPECT_LE(signature->dwLength, 1u + 72u);
        } else if (c.keyLength) {
            EXPECT_EQ(signature->dwLength, 1u + (DWORD)c.keyLength / 8);
        }

        HCRYPTPROV hProv = 0;
        ASSERT_TRUE(CryptAcquireContextW(&hProv, r.container.c_str(), c.provider, GetProviderType(c.provider), 0))
            << std::hex << GetLastError();
        DWORD requestSpec = c.certType == 1 ? AT_KEYEXCHANGE : AT_SIGNATURE;
        EXPECT_TRUE(HasUserKey(hProv, requestSpec));
        EXPECT_EQ(HasUserKey(hProv, AT_SIGNATURE), c.certType == 2);
        if (sm2) {
            EXPECT_EQ(requestKey, ExportedSM2Point(hProv, requestSpec));
        } else {
            EXPECT_EQ(requestKey, ExportedRSAKeyBits(hProv, requestSpec));
        }
        if (c.certType == 2) {
            const ASN1Node* outer = info->Child(3)->Child(1)->Child(1);
            ASSERT_NE(outer, nullptr);
            ASN1NodePtr inner;
            ASSERT_EQ(DecodeASN1Memory(inner, outer->Content(), outer->dwLength), 0);
            const ASN1Node* temp = inner->Child(1);
            ASSERT_NE(temp, nullptr);
            Bytes tempKey(temp->Content(), temp->Content() + temp->dwLength);
            if (sm2) {
                ASSERT_EQ(tempKey.size(), 136u);
                Bytes point = ExportedSM2Point(hProv, AT_KEYEXCHANGE);
                ASSERT_EQ(point.size(), 65u);
                EXPECT_TRUE(std::equal(point.begin() + 1, point.begin() + 33, tempKey.begin() + 8));
                EXPECT_TRUE(std::equal(point.begin() + 33, point.end(), tempKey.begin() + 72));
            } else {
                EXPECT_EQ(tempKey, ExportedRSAKeyBits(hProv, AT_KEYEXCHANGE));
                // 1024 bits whatever the request key's length.
                ASN1NodePtr rsa;
                ASSERT_EQ(DecodeASN1Memory(rsa, tempKey.data(), (DWORD)tempKey.size()), 0);
                ASSERT_NE(rsa->Child(0), nullptr);
                EXPECT_EQ(rsa->Child(0)->dwLength, 129u);
            }
        }
        CryptReleaseContext(hProv, 0);

        EXPECT_EQ(DeleteMultiCertContainer(r.container, WString(), c.provider), VELA_OK);
        HCRYPTPROV hGone = 0;
        EXPECT_FALSE(CryptAcquireContextW(&hGone, r.container.c_str(), c.provider, GetProviderType(c.provider), 0));
    }
    EXPECT_GT(ran, 0) << "no provider to test with";
}

TEST(AgentRequest, PassesTheGenerationFlags) {
    if (!ProviderInstalled(kEnhanced)) GTEST_SKIP() << "no enhanced provider";
    for (LONG flags : {0, CRYPT_EXPORTABLE}) {
        CCryptoAgent agent;
        Request r = MakeRequest(agent, kEnhanced, TEXT("RSA"), 1024, TEXT("CN=flags"), 1, flags);
        ASSERT_EQ(r.status, VELA_OK);
        HCRYPTPROV hProv = 0;
        ASSERT_TRUE(CryptAcquireContextW(&hProv, r.container.c_str(), kEnhanced, PROV_RSA_FULL, 0));
        HCRYPTKEY hKey = 0;
        ASSERT_TRUE(CryptGetUserKey(hProv, AT_KEYEXCHANGE, &hKey));
        DWORD cb = 0;
        EXPECT_EQ(CryptExportKey(hKey, 0, PRIVATEKEYBLOB, 0, nullptr, &cb) != FALSE, flags == CRYPT_EXPORTABLE);
        CryptDestroyKey(hKey);
        CryptReleaseContext(hProv, 0);
        DeleteMultiCertContainer(r.container, WString(), kEnhanced);
    }
}

TEST(AgentRequest, FailsWithoutLeavingKeysBehind) {
    if (!ProviderInstalled(kEnhanced)) GTEST_SKIP() << "no enhanced provider";
    std::set<std::string> before, after;
    const bool canList = ListContainers(kEnhanced, before);

    CCryptoAgent fresh;
    BSTR bstrRequest = nullptr;
    BSTR bstrSubject = Bstr(TEXT("CN=x"));
    EXPECT_EQ(fresh.VELA_PKCS10CertRequisition(bstrSubject, 1, 0, &bstrRequest), VELA_E_INVALID_KEY_ALGORITHM);
    ASSERT_NE(bstrRequest, nullptr);
    EXPECT_EQ(bstrRequest[0], 0);
    EXPECT_EQ(fresh.LastError(), VELA_E_INVALID_KEY_ALGORITHM);
    SysFreeString(bstrRequest);
    SysFreeString(bstrSubject);

    CCryptoAgent agent;
    Request good = MakeRequest(agent, kEnhanced, TEXT("RSA"), 1024, TEXT("CN=kept"), 1);
    ASSERT_EQ(good.status, VELA_OK);
    const struct {
        const WCHAR* provider;
        const WCHAR* subject;
        LONG certType;
        HRESULT status;  // 0: any failure
    } failures[] = {
        {TEXT("No Such Provider"), TEXT("CN=x"), 1, 0},
        {kEnhanced, TEXT("CN=x"), 3, 0},           // a container that was never created
        {kEnhanced, nullptr, 1, E_INVALIDARG},     // no subject: nothing is generated
    };
    for (const auto& f : failures) {
        Request r = MakeRequest(agent, f.provider, TEXT("RSA"), 1024, f.subject, f.certType);
        if (f.status) {
            EXPECT_EQ(r.status, f.status);
        } else {
            EXPECT_LT(r.status, 0);
        }
        EXPECT_EQ(r.lastError, r.status);
        EXPECT_TRUE(r.text.empty());
        EXPECT_EQ(r.container, good.container) << "a failed request keeps the last container";
    }
    // A key length that does not fit the generation flags is refused
    // before a container is made.
    WString name;
    ByteBuffer key;
    DWORD cbKey = 0;
    HCRYPTPROV hProv = 0;
    EXPECT_EQ(CreatePublicKey(name, key, 70000, TEXT("Tessera RSA Software CSP"), TRUE, AT_KEYEXCHANGE, TRUE, hProv,
                              cbKey, 0),
              VELA_E_KEY_LENGTH_NOT_SUPPORTED);
    EXPECT_EQ(hProv, 0u);

    DeleteMultiCertContainer(good.container, WString(), kEnhanced);
    if (canList) {
        ASSERT_TRUE(ListContainers(kEnhanced, after));
        EXPECT_EQ(before, after);
    }
    EXPECT_EQ(DeleteMultiCertContainer(WString(), WString(), kEnhanced), VELA_OK);
}

TEST(AgentRequest, BadSubjectsFailTheRequest) {
    if (!ProviderInstalled(kEnhanced)) GTEST_SKIP() << "no enhanced provider";
    const struct {
        const WCHAR* subject;
        HRESULT status;
    } cases[] = {{TEXT("CN=a=b"), NTE_BAD_DATA}, {TEXT(""), E_FAIL}, {TEXT("CN="), E_FAIL}};
    for (const auto& c : cases) {
        CCryptoAgent agent;
        Request r = MakeRequest(agent, kEnhanced, TEXT("RSA"), 1024, c.subject, 1);
        EXPECT_EQ(r.status, c.status);
        EXPECT_TRUE(r.text.empty());
        EXPECT_TRUE(r.container.empty());
    }
}

TEST(AgentPermissionProbe, CreatesAndRemovesAThrowawayContainer) {
    if (!ProviderInstalled(kBase)) GTEST_SKIP() << "no base provider";
    std::set<std::string> before, after;
    const bool canList = ListContainers(kBase, before);
    CCryptoAgent agent;
    VARIANT_BOOL ok = VARIANT_TRUE;
    BSTR bad = Bstr(TEXT("DSA"));
    agent.VELA_SetKeyAlgorithm(bad, &ok);
    SysFreeString(bad);
    const HRESULT previous = agent.LastError();
    ASSERT_EQ(previous, VELA_E_INVALID_KEY_ALGORITHM);

    ok = VARIANT_FALSE;
    EXPECT_EQ(agent.VELA_HavePermissiontoGenerateKeyPair(&ok), VELA_OK);
    EXPECT_EQ(ok, VARIANT_TRUE);
    EXPECT_EQ(agent.LastError(), previous) << "the probe does not record its status";
    if (canList) {
        ASSERT_TRUE(ListContainers(kBase, after));
        EXPECT_EQ(before, after);
    }
}

TEST(AgentListing, ListsTheInstalledProviders) {
    CCryptoAgent agent;
    BSTR list = nullptr;
    ASSERT_EQ(agent.VELA_GetCSPInfo(&list), VELA_OK);
    ASSERT_NE(list, nullptr);
    WString text = list;
    SysFreeString(list);
    std::vector<WString> names;
    SplitStrings(text.c_str(), names);
    std::set<WString> unique(names.begin(), names.end());
    EXPECT_EQ(unique.size(), names.size());
    EXPECT_TRUE(unique.count(kBase));
    EXPECT_TRUE(unique.count(kEnhanced));
    EXPECT_EQ(text.find(TEXT("||||")), WString::npos);
    EXPECT_NE(text.substr(0, 2), WString(TEXT("||")));
    EXPECT_EQ(agent.LastError(), VELA_OK);
}

}  // namespace
