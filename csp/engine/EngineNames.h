// Included first into every engine source compiled for the Windows DLL: the
// engine's CryptoAPI-named entry points get names of their own there, so they
// neither clash with advapi32's (which OpenSSL and the system call) nor
// reach them. The DLL's service-provider interface calls them by these names.
#pragma once

#define CryptAcquireContextW TesseraEngineAcquireContext
#define CryptReleaseContext TesseraEngineReleaseContext
#define CryptGetProvParam TesseraEngineGetProvParam
#define CryptGenRandom TesseraEngineGenRandom
#define CryptEnumProvidersW TesseraEngineEnumProviders
#define CryptGenKey TesseraEngineGenKey
#define CryptGetUserKey TesseraEngineGetUserKey
#define CryptDestroyKey TesseraEngineDestroyKey
#define CryptExportKey TesseraEngineExportKey
#define CryptImportKey TesseraEngineImportKey
#define CryptSetKeyParam TesseraEngineSetKeyParam
#define CryptGetKeyParam TesseraEngineGetKeyParam
#define CryptExportPublicKeyInfo TesseraEngineExportPublicKeyInfo
#define CryptCreateHash TesseraEngineCreateHash
#define CryptHashData TesseraEngineHashData
#define CryptGetHashParam TesseraEngineGetHashParam
#define CryptDestroyHash TesseraEngineDestroyHash
#define CryptSignHashW TesseraEngineSignHash
#define CryptVerifySignatureW TesseraEngineVerifySignature
#define CryptEncrypt TesseraEngineEncrypt
#define CryptDecrypt TesseraEngineDecrypt

