// The provider engine's entry points as the Windows side of the DLL sees
// them: the engine's CryptoAPI-shaped functions under their own names (see
// engine/EngineNames.h), and its handle-ownership checks.
#pragma once
#include <windows.h>
#include <wincrypt.h>

extern "C" {
BOOL TesseraEngineAcquireContext(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider, DWORD dwProvType,
                                 DWORD dwFlags);
BOOL TesseraEngineReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);
BOOL TesseraEngineGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags);
BOOL TesseraEngineGenRandom(HCRYPTPROV hProv, DWORD dwLen, BYTE* pbBuffer);
BOOL TesseraEngineGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey);
BOOL TesseraEngineGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey);
BOOL TesseraEngineDestroyKey(HCRYPTKEY hKey);
BOOL TesseraEngineExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags, BYTE* pbData,
                            DWORD* pdwDataLen);
BOOL TesseraEngineImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD dwDataLen, HCRYPTKEY hPubKey, DWORD dwFlags,
                            HCRYPTKEY* phKey);
BOOL TesseraEngineSetKeyParam(HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData, DWORD dwFlags);
BOOL TesseraEngineGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags);
BOOL TesseraEngineCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags, HCRYPTHASH* phHash);
BOOL TesseraEngineHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags);
BOOL TesseraEngineGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags);
BOOL TesseraEngineDestroyHash(HCRYPTHASH hHash);
BOOL TesseraEngineSignHash(HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription, DWORD dwFlags,
                           BYTE* pbSignature, DWORD* pdwSigLen);
BOOL TesseraEngineVerifySignature(HCRYPTHASH hHash, const BYTE* pbSignature, DWORD dwSigLen, HCRYPTKEY hPubKey,
                                  LPCWSTR szDescription, DWORD dwFlags);
BOOL TesseraEngineEncrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData,
                          DWORD* pdwDataLen, DWORD dwBufLen);
BOOL TesseraEngineDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData,
                          DWORD* pdwDataLen);

BOOL TesseraEngineContextKnown(HCRYPTPROV hProv);
BOOL TesseraEngineKeyOwnedBy(HCRYPTPROV hProv, HCRYPTKEY hKey);
BOOL TesseraEngineHashOwnedBy(HCRYPTPROV hProv, HCRYPTHASH hHash);
}
