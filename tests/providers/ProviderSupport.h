// Handle holders and small helpers shared by the provider tests.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Oracle.h"

using Bytes = oracle::Bytes;
using WStr = std::basic_string<WCHAR>;

inline DWORD Code(HRESULT status) { return DWORD(status); }

struct Prov {
    HCRYPTPROV h = 0;
    Prov() = default;
    Prov(const Prov&) = delete;
    ~Prov() {
        if (h) CryptReleaseContext(h, 0);
    }
    bool Acquire(const WCHAR* container, const WCHAR* provider, DWORD type, DWORD flags) {
        if (h) CryptReleaseContext(h, 0);
        h = 0;
        return CryptAcquireContextW(&h, container, provider, type, flags) != FALSE;
    }
};

struct KeyH {
    HCRYPTKEY h = 0;
    KeyH() = default;
    KeyH(const KeyH&) = delete;
    ~KeyH() { Reset(); }
    void Reset() {
        if (h) CryptDestroyKey(h);
        h = 0;
    }
};

struct HashH {
    HCRYPTHASH h = 0;
    HashH() = default;
    HashH(const HashH&) = delete;
    ~HashH() {
        if (h) CryptDestroyHash(h);
    }
};

inline bool ProviderListed(const WCHAR* name, DWORD* type = nullptr) {
    for (DWORD i = 0;; ++i) {
        DWORD bytes = 0, t = 0;
        if (!CryptEnumProvidersW(i, nullptr, 0, &t, nullptr, &bytes)) return false;
        std::vector<WCHAR> buffer(bytes / sizeof(WCHAR) + 1);
        if (!CryptEnumProvidersW(i, nullptr, 0, &t, buffer.data(), &bytes)) return false;
        if (WStr(buffer.data()) == WStr(name)) {
            if (type) *type = t;
            return true;
        }
    }
}

// A container name no other test (or earlier run) uses.
inline WStr UniqueContainer(const char* prefix) {
    static const char hex[] = "0123456789abcdef";
    std::string text = std::string("contract-") + prefix + "-";
    for (unsigned char b : oracle::RandomBytes(8)) {
        text += hex[b >> 4];
        text += hex[b & 15];
    }
    return WStr(text.begin(), text.end());
}

inline std::string Narrow(const WCHAR* text) {
    std::string out;
    for (; *text; ++text) out += char(*text);
    return out;
}

inline Bytes Reversed(Bytes b) {
    std::reverse(b.begin(), b.end());
    return b;
}

inline Bytes ExportBlob(HCRYPTKEY key, DWORD type, HCRYPTKEY wrap = 0) {
    DWORD size = 0;
    if (!CryptExportKey(key, wrap, type, 0, nullptr, &size)) return {};
    Bytes blob(size);
    if (!CryptExportKey(key, wrap, type, 0, blob.data(), &size)) return {};
    blob.resize(size);
    return blob;
}

// The DER RSAPublicKey (public-key bits) of a container key, with its OID.
inline Bytes PublicKeyBits(HCRYPTPROV prov, DWORD keySpec, std::string* oid = nullptr) {
    DWORD size = 0;
    if (!CryptExportPublicKeyInfo(prov, keySpec, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, nullptr, &size)) return {};
    std::vector<unsigned char> buffer(size);
    auto info = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(buffer.data());
    if (!CryptExportPublicKeyInfo(prov, keySpec, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, info, &size)) return {};
    if (oid) *oid = info->Algorithm.pszObjId;
    return Bytes(info->PublicKey.pbData, info->PublicKey.pbData + info->PublicKey.cbData);
}

// Signs the message (hashed in two pieces) and returns the provider's bytes.
inline Bytes SignMessage(HCRYPTPROV prov, ALG_ID hashAlgorithm, DWORD keySpec, const Bytes& message) {
    HashH hash;
    if (!CryptCreateHash(prov, hashAlgorithm, 0, 0, &hash.h)) return {};
    size_t half = message.size() / 2;
    if (!CryptHashData(hash.h, message.data(), DWORD(half), 0) ||
        !CryptHashData(hash.h, message.data() + half, DWORD(message.size() - half), 0))
        return {};
    DWORD size = 0;
    if (!CryptSignHashW(hash.h, keySpec, nullptr, 0, nullptr, &size)) return {};
    Bytes signature(size);
    if (!CryptSignHashW(hash.h, keySpec, nullptr, 0, signature.data(), &size)) return {};
    signature.resize(size);
    return signature;
}

// 04 || x || y from the provider's 140-byte blob (coordinates least
// significant byte first in the first 32 bytes of each 64-byte field).
inline Bytes PointFromBlob(const Bytes& blob) {
    Bytes point(65, 0x04);
    std::reverse_copy(blob.begin() + 12, blob.begin() + 44, point.begin() + 1);
    std::reverse_copy(blob.begin() + 76, blob.begin() + 108, point.begin() + 33);
    return point;
}

// r || s most significant byte first, from the provider's reversed halves.
inline Bytes RawSignature(const Bytes& signature) {
    Bytes rs(signature.size());
    std::reverse_copy(signature.begin(), signature.begin() + 32, rs.begin());
    std::reverse_copy(signature.begin() + 32, signature.end(), rs.begin() + 32);
    return rs;
}

inline Bytes Text(const char* s) { return Bytes(s, s + std::char_traits<char>::length(s)); }
