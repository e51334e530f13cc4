// The CryptoAPI service-provider interface of the Tessera software
// providers: advapi32 loads this DLL for "Tessera RSA Software CSP" and
// "Tessera SM2 Software CSP" and calls these entry points with the
// provider's own handles. Each one checks what the dispatcher hands over
// (null and foreign handles, reserved arguments) and calls the provider
// engine, which keeps the keys and does the cryptography.
#include "Engine.h"

#include <cstring>
#include <string>

namespace {

// The table advapi32 passes to CPAcquireContext; version 3 carries the
// provider's registered name and type.
struct ProviderTable {
    DWORD Version;
    FARPROC FuncVerifyImage;
    FARPROC FuncReturnhWnd;
    DWORD dwProvType;
    BYTE* pbContextInfo;
    DWORD cbContextInfo;
    LPSTR pszProvName;
};

const wchar_t kRsaName[] = L"Tessera RSA Software CSP";
const wchar_t kSm2Name[] = L"Tessera SM2 Software CSP";

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

std::wstring FromAnsi(const char* text) {
    if (!text) return std::wstring();
    int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (n <= 1) return std::wstring();
    std::wstring out(size_t(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, out.data(), n);
    out.resize(size_t(n - 1));
    return out;
}

// The provider this context is for: the name advapi32 registered the DLL
// under; a table without one (older dispatchers) means the RSA provider.
bool ProviderName(const ProviderTable* table, std::wstring& name) {
    if (!table || table->Version < 3 || !table->pszProvName) {
        name = kRsaName;
        return true;
    }
    name = FromAnsi(table->pszProvName);
    return name == kRsaName || name == kSm2Name;
}

BOOL KnownContext(HCRYPTPROV hProv) { return TesseraEngineContextKnown(hProv) || Fail(NTE_BAD_UID); }

BOOL OwnKey(HCRYPTPROV hProv, HCRYPTKEY hKey) {
    if (!KnownContext(hProv)) return FALSE;
    return TesseraEngineKeyOwnedBy(hProv, hKey) || Fail(NTE_BAD_KEY);
}

BOOL OwnHash(HCRYPTPROV hProv, HCRYPTHASH hHash) {
    if (!KnownContext(hProv)) return FALSE;
    return TesseraEngineHashOwnedBy(hProv, hHash) || Fail(NTE_BAD_HASH);
}

}  // namespace

extern "C" {

BOOL WINAPI CPAcquireContext(HCRYPTPROV* phProv, LPCSTR szContainer, DWORD dwFlags, void* pVTable) {
    if (!phProv) return Fail(ERROR_INVALID_PARAMETER);
    auto table = static_cast<const ProviderTable*>(pVTable);
    std::wstring provider;
    if (!ProviderName(table, provider)) return Fail(NTE_KEYSET_NOT_DEF);
    DWORD type = table && table->dwProvType ? table->dwProvType : PROV_RSA_FULL;
    std::wstring container = FromAnsi(szContainer);
    HCRYPTPROV handle = 0;
    if (!TesseraEngineAcquireContext(&handle, szContainer ? container.c_str() : nullptr, provider.c_str(), type,
                                     dwFlags))
        return FALSE;
    // A deleted container leaves no context (handle 0); the dispatcher may
    // still hand that value to CPReleaseContext.
    *phProv = handle;
    return TRUE;
}

BOOL WINAPI CPAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer, DWORD dwFlags, void* pVTable) {
    if (!phProv) return Fail(ERROR_INVALID_PARAMETER);
    auto table = static_cast<const ProviderTable*>(pVTable);
    std::wstring provider;
    if (!ProviderName(table, provider)) return Fail(NTE_KEYSET_NOT_DEF);
    DWORD type = table && table->dwProvType ? table->dwProvType : PROV_RSA_FULL;
    HCRYPTPROV handle = 0;
    if (!TesseraEngineAcquireContext(&handle, szContainer, provider.c_str(), type, dwFlags)) return FALSE;
    *phProv = handle;
    return TRUE;
}

BOOL WINAPI CPReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
    if (hProv == 0 && dwFlags == 0) return TRUE;
    return TesseraEngineReleaseContext(hProv, dwFlags);
}

BOOL WINAPI CPGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey) {
    return TesseraEngineGenKey(hProv, Algid, dwFlags, phKey);
}

BOOL WINAPI CPDeriveKey(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTHASH hBaseData, DWORD dwFlags, HCRYPTKEY* phKey) {
    if (!OwnHash(hProv, hBaseData)) return FALSE;
    if (!phKey) return Fail(ERROR_INVALID_PARAMETER);
    return Fail(NTE_BAD_ALGID);
}

BOOL WINAPI CPDestroyKey(HCRYPTPROV hProv, HCRYPTKEY hKey) {
    return OwnKey(hProv, hKey) && TesseraEngineDestroyKey(hKey);
}

BOOL WINAPI CPSetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    return OwnKey(hProv, hKey) && TesseraEngineSetKeyParam(hKey, dwParam, pbData, dwFlags);
}

BOOL WINAPI CPGetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pcbDataLen,
                          DWORD dwFlags) {
    return OwnKey(hProv, hKey) && TesseraEngineGetKeyParam(hKey, dwParam, pbData, pcbDataLen, dwFlags);
}

// The providers have no settable provider parameters.
BOOL WINAPI CPSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    if (!KnownContext(hProv)) return FALSE;
    return Fail(NTE_BAD_TYPE);
}

BOOL WINAPI CPGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pcbDataLen, DWORD dwFlags) {
    return TesseraEngineGetProvParam(hProv, dwParam, pbData, pcbDataLen, dwFlags);
}

BOOL WINAPI CPSetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    if (!OwnHash(hProv, hHash)) return FALSE;
    if (!pbData) return Fail(ERROR_INVALID_PARAMETER);
    return Fail(NTE_BAD_TYPE);
}

BOOL WINAPI CPGetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pcbDataLen,
                           DWORD dwFlags) {
    return OwnHash(hProv, hHash) && TesseraEngineGetHashParam(hHash, dwParam, pbData, pcbDataLen, dwFlags);
}

BOOL WINAPI CPExportKey(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTKEY hPubKey, DWORD dwBlobType, DWORD dwFlags,
                        BYTE* pbData, DWORD* pcbDataLen) {
    if (!OwnKey(hProv, hKey)) return FALSE;
    if (hPubKey && !TesseraEngineKeyOwnedBy(hProv, hPubKey)) return Fail(NTE_BAD_PUBLIC_KEY);
    return TesseraEngineExportKey(hKey, hPubKey, dwBlobType, dwFlags, pbData, pcbDataLen);
}

BOOL WINAPI CPImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD cbDataLen, HCRYPTKEY hPubKey, DWORD dwFlags,
                        HCRYPTKEY* phKey) {
    if (!KnownContext(hProv)) return FALSE;
    if (hPubKey && !TesseraEngineKeyOwnedBy(hProv, hPubKey)) return Fail(NTE_BAD_PUBLIC_KEY);
    if (!pbData || !phKey) return Fail(ERROR_INVALID_PARAMETER);
    return TesseraEngineImportKey(hProv, pbData, cbDataLen, hPubKey, dwFlags, phKey);
}

BOOL WINAPI CPEncrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL fFinal, DWORD dwFlags, BYTE* pbData,
                      DWORD* pcbDataLen, DWORD cbBufLen) {
    if (!OwnKey(hProv, hKey)) return FALSE;
    if (hHash && !TesseraEngineHashOwnedBy(hProv, hHash)) return Fail(NTE_BAD_HASH);
    return TesseraEngineEncrypt(hKey, hHash, fFinal, dwFlags, pbData, pcbDataLen, cbBufLen);
}

BOOL WINAPI CPDecrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL fFinal, DWORD dwFlags, BYTE* pbData,
                      DWORD* pcbDataLen) {
    if (!OwnKey(hProv, hKey)) return FALSE;
    if (hHash && !TesseraEngineHashOwnedBy(hProv, hHash)) return Fail(NTE_BAD_HASH);
    return TesseraEngineDecrypt(hKey, hHash, fFinal, dwFlags, pbData, pcbDataLen);
}

BOOL WINAPI CPCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags, HCRYPTHASH* phHash) {
    if (!KnownContext(hProv)) return FALSE;
    if (hKey && !TesseraEngineKeyOwnedBy(hProv, hKey)) return Fail(NTE_BAD_KEY);
    return TesseraEngineCreateHash(hProv, Algid, hKey, dwFlags, phHash);
}

BOOL WINAPI CPHashData(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbData, DWORD cbDataLen, DWORD dwFlags) {
    return OwnHash(hProv, hHash) && TesseraEngineHashData(hHash, pbData, cbDataLen, dwFlags);
}

// Session keys are not hashed into a digest by these providers.
BOOL WINAPI CPHashSessionKey(HCRYPTPROV hProv, HCRYPTHASH hHash, HCRYPTKEY hKey, DWORD dwFlags) {
    if (!OwnHash(hProv, hHash)) return FALSE;
    if (!TesseraEngineKeyOwnedBy(hProv, hKey)) return Fail(NTE_BAD_KEY);
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}

BOOL WINAPI CPSignHash(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription, DWORD dwFlags,
                       BYTE* pbSignature, DWORD* pcbSigLen) {
    return OwnHash(hProv, hHash) &&
           TesseraEngineSignHash(hHash, dwKeySpec, szDescription, dwFlags, pbSignature, pcbSigLen);
}

BOOL WINAPI CPDestroyHash(HCRYPTPROV hProv, HCRYPTHASH hHash) {
    return OwnHash(hProv, hHash) && TesseraEngineDestroyHash(hHash);
}

BOOL WINAPI CPVerifySignature(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbSignature, DWORD cbSigLen,
                              HCRYPTKEY hPubKey, LPCWSTR szDescription, DWORD dwFlags) {
    if (!OwnHash(hProv, hHash)) return FALSE;
    if (!TesseraEngineKeyOwnedBy(hProv, hPubKey)) return Fail(NTE_BAD_KEY);
    return TesseraEngineVerifySignature(hHash, pbSignature, cbSigLen, hPubKey, szDescription, dwFlags);
}

BOOL WINAPI CPGenRandom(HCRYPTPROV hProv, DWORD cbLen, BYTE* pbBuffer) {
    return TesseraEngineGenRandom(hProv, cbLen, pbBuffer);
}

BOOL WINAPI CPGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) {
    return TesseraEngineGetUserKey(hProv, dwKeySpec, phUserKey);
}

// Hash and key states are not duplicated by these providers.
BOOL WINAPI CPDuplicateHash(HCRYPTPROV hUID, HCRYPTHASH hHash, DWORD* pdwReserved, DWORD dwFlags,
                            HCRYPTHASH* phHash) {
    if (!OwnHash(hUID, hHash)) return FALSE;
    if (pdwReserved || !phHash) return Fail(ERROR_INVALID_PARAMETER);
    if (dwFlags) return Fail(NTE_BAD_FLAGS);
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}

BOOL WINAPI CPDuplicateKey(HCRYPTPROV hUID, HCRYPTKEY hKey, DWORD* pdwReserved, DWORD dwFlags, HCRYPTKEY* phKey) {
    if (!OwnKey(hUID, hKey)) return FALSE;
    if (pdwReserved || !phKey) return Fail(ERROR_INVALID_PARAMETER);
    if (dwFlags) return Fail(NTE_BAD_FLAGS);
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}

}  // extern "C"
