// The provider table, the algorithms each provider offers, provider
// enumeration and the shared handle tables.
#include "Csp.h"
#include "Algorithms.h"

#include <tessera/platform_internal.h>

#include <openssl/crypto.h>

namespace tessera::crypt {

void SecureBytes::Wipe() {
    if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
}

void SecureBytes::resize(size_t n) {
    if (n < bytes_.size()) OPENSSL_cleanse(bytes_.data() + n, bytes_.size() - n);
    if (n > bytes_.capacity()) {
        std::vector<BYTE> grown(n);
        std::memcpy(grown.data(), bytes_.data(), bytes_.size());
        Wipe();
        bytes_.swap(grown);
    } else {
        bytes_.resize(n);
    }
}

SharedPkey Share(Pkey key) { return SharedPkey(key.release(), PkeyDeleter()); }

Key::~Key() { EVP_CIPHER_CTX_free(cipher); }
Hash::~Hash() {
    EVP_MD_CTX_free(digest);
    if (!message.empty()) OPENSSL_cleanse(message.data(), message.size());
}

const std::vector<ProviderInfo>& Providers() {
    static const std::vector<ProviderInfo> providers = {
        {u"Microsoft Base Cryptographic Provider v1.0", PROV_RSA_FULL, Family::MicrosoftRsa, 512, false, false, false},
        {u"Microsoft Enhanced Cryptographic Provider v1.0", PROV_RSA_FULL, Family::MicrosoftRsa, 1024, true, false,
         false},
        {u"Microsoft Enhanced RSA and AES Cryptographic Provider", PROV_RSA_AES, Family::MicrosoftRsa, 1024, true,
         true, false},
        {u"Microsoft Strong Cryptographic Provider", PROV_RSA_FULL, Family::MicrosoftRsa, 1024, true, false, false},
        {u"Tessera RSA Software CSP", PROV_RSA_FULL, Family::TesseraRsa, 2048, true, false, true},
        {u"Tessera SM2 Software CSP", PROV_RSA_FULL, Family::TesseraSm2, 256, false, false, true},
    };
    return providers;
}

const ProviderInfo* FindProvider(const char16_t* name) {
    for (const auto& p : Providers())
        if (std::u16string_view(p.name) == std::u16string_view(name)) return &p;
    return nullptr;
}

// The provider a null provider name selects, as Windows' defaults.
const ProviderInfo* DefaultProvider(DWORD type) {
    if (type == PROV_RSA_FULL) return FindProvider(u"Microsoft Strong Cryptographic Provider");
    if (type == PROV_RSA_AES) return FindProvider(u"Microsoft Enhanced RSA and AES Cryptographic Provider");
    return nullptr;
}

const char* FamilyTag(Family family) {
    switch (family) {
    case Family::MicrosoftRsa: return "microsoft-rsa";
    case Family::TesseraRsa: return "tessera-rsa";
    case Family::TesseraSm2: return "tessera-sm2";
    }
    return "";
}

namespace {

constexpr DWORD kSigning = 0x20;  // CRYPT_FLAG_SIGNING

const AlgorithmInfo kRsaAlgorithms[] = {
    {CALG_RSA_SIGN, 1024, 512, 16384, kSigning, "RSA_SIGN", "RSA Signature"},
    {CALG_RSA_KEYX, 1024, 512, 16384, 0, "RSA_KEYX", "RSA Key Exchange"},
    {CALG_SHA1, 160, 160, 160, kSigning, "SHA-1", "Secure Hash Algorithm (SHA-1)"},
    {CALG_MD5, 128, 128, 128, 0, "MD5", "Message Digest 5 (MD5)"},
};
const AlgorithmInfo kTripleDesAlgorithms[] = {
    {CALG_3DES_112, 112, 112, 112, 0, "3DES TWO KEY", "Two Key Triple DES"},
    {CALG_3DES, 168, 168, 168, 0, "3DES", "Three Key Triple DES"},
};
const AlgorithmInfo kAesAlgorithms[] = {
    {CALG_AES_128, 128, 128, 128, 0, "AES 128", "Advanced Encryption Standard (AES) 128-bit"},
    {CALG_AES_192, 192, 192, 192, 0, "AES 192", "Advanced Encryption Standard (AES) 192-bit"},
    {CALG_AES_256, 256, 256, 256, 0, "AES 256", "Advanced Encryption Standard (AES) 256-bit"},
    {CALG_SHA_256, 256, 256, 256, 0, "SHA-256", "Secure Hash Algorithm (SHA-256)"},
};
const AlgorithmInfo kSm2Algorithms[] = {
    {kAlgSm2Signature, 256, 256, 256, kSigning, "SM2_SIGN", "SM2 Signature (GM/T 0003)"},
    {kAlgSm2Exchange, 256, 256, 256, 0, "SM2_KEYX", "SM2 Key Exchange (GM/T 0003)"},
    {kAlgSm3, 256, 256, 256, kSigning, "SM3", "SM3 Hash (GM/T 0004)"},
};

template <size_t N>
void Append(std::vector<AlgorithmInfo>& list, const AlgorithmInfo (&items)[N]) {
    list.insert(list.end(), items, items + N);
}

std::vector<AlgorithmInfo> BuildAlgorithms(const ProviderInfo& provider) {
    std::vector<AlgorithmInfo> list;
    if (provider.family == Family::TesseraSm2) {
        Append(list, kSm2Algorithms);
        return list;
    }
    Append(list, kRsaAlgorithms);
    for (auto& a : list)
        if (a.algorithm == CALG_RSA_SIGN || a.algorithm == CALG_RSA_KEYX) a.defaultBits = provider.defaultRsaBits;
    if (provider.offersTripleDes) Append(list, kTripleDesAlgorithms);
    if (provider.offersAes) Append(list, kAesAlgorithms);
    return list;
}

}  // namespace

const std::vector<AlgorithmInfo>& Algorithms(const ProviderInfo& provider) {
    static const auto tables = [] {
        std::vector<std::vector<AlgorithmInfo>> all;
        for (const auto& p : Providers()) all.push_back(BuildAlgorithms(p));
        return all;
    }();
    return tables[size_t(&provider - Providers().data())];
}

const AlgorithmInfo* FindAlgorithm(const ProviderInfo& provider, ALG_ID algorithm) {
    for (const auto& a : Algorithms(provider))
        if (a.algorithm == algorithm) return &a;
    return nullptr;
}

HandleTable<Context>& Contexts() {
    static HandleTable<Context> table;
    return table;
}
HandleTable<Key>& Keys() {
    static HandleTable<Key> table;
    return table;
}
HandleTable<Hash>& Hashes() {
    static HandleTable<Hash> table;
    return table;
}

BOOL CopyOut(const void* data, DWORD length, BYTE* buffer, DWORD* bufferLength) {
    if (!bufferLength) return Fail(ERROR_INVALID_PARAMETER);
    if (!buffer) {
        *bufferLength = length;
        return TRUE;
    }
    if (*bufferLength < length) {
        *bufferLength = length;
        return Fail(ERROR_MORE_DATA);
    }
    if (length) std::memcpy(buffer, data, length);
    *bufferLength = length;
    return TRUE;
}

}  // namespace tessera::crypt

using namespace tessera;
using namespace tessera::crypt;

extern "C" BOOL WINAPI CryptEnumProvidersW(DWORD dwIndex, DWORD* pdwReserved, DWORD dwFlags, DWORD* pdwProvType,
                                           LPWSTR szProvName, DWORD* pcbProvName) {
    if (pdwReserved || !pcbProvName) return Fail(ERROR_INVALID_PARAMETER);
    if (dwFlags) return Fail(NTE_BAD_FLAGS);
    const auto& providers = Providers();
    if (dwIndex >= providers.size()) return Fail(ERROR_NO_MORE_ITEMS);
    const ProviderInfo& p = providers[dwIndex];
    std::u16string_view name(p.name);
    DWORD bytes = DWORD((name.size() + 1) * sizeof(WCHAR));
    if (pdwProvType) *pdwProvType = p.type;
    if (!szProvName) {
        *pcbProvName = bytes;
        return TRUE;
    }
    if (*pcbProvName < bytes) {
        *pcbProvName = bytes;
        return Fail(ERROR_MORE_DATA);
    }
    std::memcpy(szProvName, name.data(), name.size() * sizeof(WCHAR));
    szProvName[name.size()] = 0;
    *pcbProvName = bytes;
    return TRUE;
}
