// The service-provider interface of tessera-csp.dll, called directly as
// advapi32 calls it, with the inputs advapi32 itself would not check: the
// provider table, handles of another context, short buffers, reserved
// arguments. The DLL is found where its registration points.
#include <windows.h>
#include <wincrypt.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <functional>
#include <string>
#include <vector>

namespace {

const wchar_t kProviderKey[] = L"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\Tessera SM2 Software CSP";

struct ProviderTable {
    DWORD Version;
    FARPROC FuncVerifyImage;
    FARPROC FuncReturnhWnd;
    DWORD dwProvType;
    BYTE* pbContextInfo;
    DWORD cbContextInfo;
    LPSTR pszProvName;
};

using AcquireFn = BOOL(WINAPI*)(HCRYPTPROV*, LPCSTR, DWORD, void*);
using ReleaseFn = BOOL(WINAPI*)(HCRYPTPROV, DWORD);
using GenKeyFn = BOOL(WINAPI*)(HCRYPTPROV, ALG_ID, DWORD, HCRYPTKEY*);
using KeyFn = BOOL(WINAPI*)(HCRYPTPROV, HCRYPTKEY);
using GetKeyParamFn = BOOL(WINAPI*)(HCRYPTPROV, HCRYPTKEY, DWORD, BYTE*, DWORD*, DWORD);
using GetProvParamFn = BOOL(WINAPI*)(HCRYPTPROV, DWORD, BYTE*, DWORD*, DWORD);
using SetProvParamFn = BOOL(WINAPI*)(HCRYPTPROV, DWORD, const BYTE*, DWORD);
using CreateHashFn = BOOL(WINAPI*)(HCRYPTPROV, ALG_ID, HCRYPTKEY, DWORD, HCRYPTHASH*);
using HashDataFn = BOOL(WINAPI*)(HCRYPTPROV, HCRYPTHASH, const BYTE*, DWORD, DWORD);
using DuplicateHashFn = BOOL(WINAPI*)(HCRYPTPROV, HCRYPTHASH, DWORD*, DWORD, HCRYPTHASH*);
using RegisterFn = HRESULT(WINAPI*)(void);

std::wstring RegisteredImage() {
    wchar_t path[MAX_PATH * 2] = {};
    DWORD size = sizeof(path);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kProviderKey, L"Image Path", RRF_RT_REG_SZ, nullptr, path, &size))
        return std::wstring();
    return path;
}

DWORD RegisteredDword(const wchar_t* name) {
    DWORD value = 0xFFFFFFFF, size = sizeof(value);
    RegGetValueW(HKEY_LOCAL_MACHINE, kProviderKey, name, RRF_RT_REG_DWORD, nullptr, &value, &size);
    return value;
}

class ServiceProvider : public ::testing::Test {
protected:
    void SetUp() override {
        std::wstring image = RegisteredImage();
        if (image.empty()) GTEST_SKIP() << "tessera-csp.dll is not registered";
        m_module = LoadLibraryW(image.c_str());
        ASSERT_NE(m_module, nullptr);
    }
    void TearDown() override {
        for (HCRYPTPROV h : m_contexts) Fn<ReleaseFn>("CPReleaseContext")(h, 0);
        if (m_module) FreeLibrary(m_module);
    }
    template <typename F>
    F Fn(const char* name) {
        return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(m_module, name)));
    }
    // A verify context of the named provider, as advapi32 opens it.
    HCRYPTPROV Verify(const char* provider) {
        ProviderTable table{3, nullptr, nullptr, PROV_RSA_FULL, nullptr, 0, const_cast<LPSTR>(provider)};
        HCRYPTPROV h = 0;
        EXPECT_TRUE(Fn<AcquireFn>("CPAcquireContext")(&h, nullptr, CRYPT_VERIFYCONTEXT, &table));
        if (h) m_contexts.push_back(h);
        return h;
    }
    HMODULE m_module = nullptr;
    std::vector<HCRYPTPROV> m_contexts;
};

TEST_F(ServiceProvider, RefusesWhatTheDispatcherPassesOnUnchecked) {
    ProviderTable foreign{3, nullptr, nullptr, PROV_RSA_FULL, nullptr, 0, const_cast<LPSTR>("Other CSP")};
    HCRYPTPROV none = 0;
    EXPECT_FALSE(Fn<AcquireFn>("CPAcquireContext")(&none, nullptr, CRYPT_VERIFYCONTEXT, &foreign));
    EXPECT_EQ(GetLastError(), DWORD(NTE_KEYSET_NOT_DEF));

    HCRYPTPROV a = Verify("Tessera SM2 Software CSP"), b = Verify("Tessera SM2 Software CSP");
    ASSERT_TRUE(a && b);
    HCRYPTKEY keyA = 0;
    ASSERT_TRUE(Fn<GenKeyFn>("CPGenKey")(a, AT_SIGNATURE, 0, &keyA));
    HCRYPTHASH hashB = 0;
    ASSERT_TRUE(Fn<CreateHashFn>("CPCreateHash")(b, 0x800F, 0, 0, &hashB));
    BYTE data[4] = {1, 2, 3, 4};
    DWORD length = sizeof(data), reserved = 0;
    HCRYPTHASH copy = 0;

    struct Case {
        const char* what;
        std::function<BOOL()> call;
        DWORD error;
    };
    const Case cases[] = {
        {"unknown context", [&] { return Fn<GenKeyFn>("CPGenKey")(0x7777, AT_SIGNATURE, 0, &copy); },
         DWORD(NTE_BAD_UID)},
        {"key of another context", [&] { return Fn<KeyFn>("CPDestroyKey")(b, keyA); }, DWORD(NTE_BAD_KEY)},
        {"key parameter through another context",
         [&] { return Fn<GetKeyParamFn>("CPGetKeyParam")(b, keyA, KP_ALGID, data, &length, 0); },
         DWORD(NTE_BAD_KEY)},
        {"hash of another context", [&] { return Fn<HashDataFn>("CPHashData")(a, hashB, data, sizeof(data), 0); },
         DWORD(NTE_BAD_HASH)},
        {"reserved argument", [&] { return Fn<DuplicateHashFn>("CPDuplicateHash")(b, hashB, &reserved, 0, &copy); },
         DWORD(ERROR_INVALID_PARAMETER)},
        {"unknown provider parameter",
         [&] { return Fn<GetProvParamFn>("CPGetProvParam")(a, 0x7777, data, &length, 0); }, DWORD(NTE_BAD_TYPE)},
        {"provider parameter set",
         [&] { return Fn<SetProvParamFn>("CPSetProvParam")(a, PP_KEYSET_SEC_DESCR, data, 0); },
         DWORD(NTE_BAD_TYPE)},
        {"release of an unknown context", [&] { return Fn<ReleaseFn>("CPReleaseContext")(0x7777, 0); },
         DWORD(NTE_BAD_UID)},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_FALSE(c.call()) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
    EXPECT_TRUE(Fn<KeyFn>("CPDestroyKey")(a, keyA));
}

// A short buffer gets ERROR_MORE_DATA and the length needed, and nothing
// is written into it.
TEST_F(ServiceProvider, ShortBuffersGetTheLengthAndStayUntouched) {
    HCRYPTPROV h = Verify("Tessera RSA Software CSP");
    ASSERT_TRUE(h);
    const std::string name = "Tessera RSA Software CSP";
    BYTE buffer[64];
    std::memset(buffer, 0xA5, sizeof(buffer));
    DWORD length = 4;
    EXPECT_FALSE(Fn<GetProvParamFn>("CPGetProvParam")(h, PP_NAME, buffer, &length, 0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
    EXPECT_EQ(length, DWORD(name.size() + 1));
    for (BYTE b : buffer) ASSERT_EQ(b, 0xA5);
    EXPECT_TRUE(Fn<GetProvParamFn>("CPGetProvParam")(h, PP_NAME, buffer, &length, 0));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer)), name);
    EXPECT_EQ(buffer[length], 0xA5);
}

// Registration again is harmless and leaves both providers described as
// advapi32 reads them: this DLL, type 1, no signature.
TEST_F(ServiceProvider, RegistrationDescribesBothProviders) {
    ASSERT_EQ(Fn<RegisterFn>("DllRegisterServer")(), S_OK);
    wchar_t self[MAX_PATH * 2];
    DWORD n = GetModuleFileNameW(m_module, self, MAX_PATH * 2);
    EXPECT_EQ(RegisteredImage(), std::wstring(self, n));
    EXPECT_EQ(RegisteredDword(L"Type"), 1u);
    EXPECT_EQ(RegisteredDword(L"SigInFile"), 0u);
    HCRYPTPROV h = 0;
    ASSERT_TRUE(CryptAcquireContextW(&h, nullptr, L"Tessera RSA Software CSP", 1, CRYPT_VERIFYCONTEXT));
    CryptReleaseContext(h, 0);
}

// A private key at rest is not in the store file as it is in memory: the
// private exponent of a new key (big-endian, as PKCS #8 carries it) does not
// occur in the user's database after the key is written.
TEST_F(ServiceProvider, PrivateKeysAreProtectedAtRest) {
    if (GetEnvironmentVariableW(L"TESSERA_STORE_DIR", nullptr, 0)) GTEST_SKIP() << "store directory overridden";
    const wchar_t* provider = L"Tessera RSA Software CSP";
    const wchar_t* container = L"tessera-csp-at-rest";
    HCRYPTPROV h = 0;
    CryptAcquireContextW(&h, container, provider, 1, CRYPT_DELETEKEYSET);
    ASSERT_TRUE(CryptAcquireContextW(&h, container, provider, 1, CRYPT_NEWKEYSET));
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(h, AT_KEYEXCHANGE, (1024u << 16) | CRYPT_EXPORTABLE, &key));
    std::vector<BYTE> blob(2048);
    DWORD length = DWORD(blob.size());
    ASSERT_TRUE(CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, blob.data(), &length));
    CryptDestroyKey(key);
    CryptReleaseContext(h, 0);
    // The blob ends with the private exponent, least significant byte first.
    std::vector<BYTE> exponent(blob.begin() + (length - 128), blob.begin() + length);
    std::reverse(exponent.begin(), exponent.end());

    wchar_t folder[MAX_PATH];
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder), S_OK);
    std::ifstream file(std::filesystem::path(std::wstring(folder) + L"\\Tessera\\tessera.db"), std::ios::binary);
    ASSERT_TRUE(file.good());
    std::vector<BYTE> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(std::search(bytes.begin(), bytes.end(), exponent.begin(), exponent.end()), bytes.end());

    // And the key comes back from the store.
    ASSERT_TRUE(CryptAcquireContextW(&h, container, provider, 1, 0));
    EXPECT_TRUE(CryptGetUserKey(h, AT_KEYEXCHANGE, &key));
    if (key) CryptDestroyKey(key);
    CryptReleaseContext(h, 0);
    EXPECT_TRUE(CryptAcquireContextW(&h, container, provider, 1, CRYPT_DELETEKEYSET));
}

// A machine key set: written to the machine's key file, read back by a new
// context, deleted with its container.
TEST_F(ServiceProvider, MachineKeysPersistInTheMachineKeyFile) {
    const wchar_t* provider = L"Tessera SM2 Software CSP";
    const wchar_t* container = L"tessera-csp-machine";
    HCRYPTPROV h = 0;
    CryptAcquireContextW(&h, container, provider, 1, CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET);
    ASSERT_TRUE(CryptAcquireContextW(&h, container, provider, 1, CRYPT_NEWKEYSET | CRYPT_MACHINE_KEYSET));
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(h, 0x3E00, 0, &key));
    BYTE first[256], again[256];
    DWORD firstLength = sizeof(first), againLength = sizeof(again);
    ASSERT_TRUE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, first, &firstLength));
    CryptDestroyKey(key);
    CryptReleaseContext(h, 0);

    ASSERT_TRUE(CryptAcquireContextW(&h, container, provider, 1, CRYPT_MACHINE_KEYSET));
    ASSERT_TRUE(CryptGetUserKey(h, AT_SIGNATURE, &key));
    ASSERT_TRUE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, again, &againLength));
    EXPECT_EQ(std::vector<BYTE>(first, first + firstLength), std::vector<BYTE>(again, again + againLength));
    CryptDestroyKey(key);
    CryptReleaseContext(h, 0);

    wchar_t folder[MAX_PATH];
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder), S_OK);
    if (!GetEnvironmentVariableW(L"TESSERA_MACHINE_STORE_DIR", nullptr, 0)) {
        EXPECT_NE(GetFileAttributesW((std::wstring(folder) + L"\\Tessera\\machine-keys.db").c_str()),
                  INVALID_FILE_ATTRIBUTES);
    }
    EXPECT_TRUE(CryptAcquireContextW(&h, container, provider, 1, CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET));
}

}  // namespace
