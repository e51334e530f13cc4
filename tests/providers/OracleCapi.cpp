// The contract's independent side in the Windows build: no OpenSSL is at
// hand there, so public-key checks run in a separate verify-only context of
// the system's RSA and AES provider, which also signs the certificates. The
// SM2 checks come from OracleSm2.cpp where libcrypto is built for the CSP
// DLL, else from OracleNoSm2.cpp (those cases skip).
#include "Oracle.h"

#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstring>

namespace oracle {
namespace {

class Verifier {
public:
    Verifier() {
        CryptAcquireContextW(&m_prov, nullptr, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_VERIFYCONTEXT);
    }
    ~Verifier() {
        if (m_prov) CryptReleaseContext(m_prov, 0);
    }
    HCRYPTPROV Get() const { return m_prov; }

private:
    HCRYPTPROV m_prov = 0;
};

HCRYPTPROV Prov() {
    static Verifier verifier;
    return verifier.Get();
}

void Put32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back((unsigned char)(v >> (8 * i)));
}

bool ReadLength(const Bytes& der, size_t& pos, size_t& length) {
    if (pos >= der.size()) return false;
    unsigned char first = der[pos++];
    if (first < 0x80) {
        length = first;
        return true;
    }
    size_t count = first & 0x7F;
    length = 0;
    while (count--) {
        if (pos >= der.size()) return false;
        length = (length << 8) | der[pos++];
    }
    return true;
}

bool ReadInteger(const Bytes& der, size_t& pos, Bytes& value) {
    size_t length = 0;
    if (pos >= der.size() || der[pos++] != 0x02 || !ReadLength(der, pos, length) || pos + length > der.size())
        return false;
    value.assign(der.begin() + pos, der.begin() + pos + length);
    pos += length;
    while (value.size() > 1 && value[0] == 0) value.erase(value.begin());
    return true;
}

void WriteLength(Bytes& out, size_t length) {
    if (length < 0x80) {
        out.push_back((unsigned char)length);
    } else if (length < 0x100) {
        out.push_back(0x81);
        out.push_back((unsigned char)length);
    } else {
        out.push_back(0x82);
        out.push_back((unsigned char)(length >> 8));
        out.push_back((unsigned char)length);
    }
}

void WriteInteger(Bytes& out, Bytes value) {
    while (value.size() > 1 && value[0] == 0) value.erase(value.begin());
    if (value[0] & 0x80) value.insert(value.begin(), 0);
    out.push_back(0x02);
    WriteLength(out, value.size());
    out.insert(out.end(), value.begin(), value.end());
}

HCRYPTKEY ImportPublic(const Bytes& der, ALG_ID algorithm) {
    Bytes modulus;
    uint32_t exponent = 0;
    if (!ParseRsaPublicKey(der, modulus, exponent)) return 0;
    Bytes blob = {PUBLICKEYBLOB, 2, 0, 0};
    Put32(blob, algorithm);
    Put32(blob, 0x31415352);
    Put32(blob, uint32_t(modulus.size() * 8));
    Put32(blob, exponent);
    blob.insert(blob.end(), modulus.rbegin(), modulus.rend());
    HCRYPTKEY key = 0;
    CryptImportKey(Prov(), blob.data(), DWORD(blob.size()), 0, 0, &key);
    return key;
}

}  // namespace

bool Available() { return Prov() != 0; }
bool UnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool ParseRsaPublicKey(const Bytes& der, Bytes& modulus, uint32_t& exponent) {
    size_t pos = 0, length = 0;
    if (der.empty() || der[pos++] != 0x30 || !ReadLength(der, pos, length)) return false;
    Bytes e;
    if (!ReadInteger(der, pos, modulus) || !ReadInteger(der, pos, e) || e.size() > 4) return false;
    exponent = 0;
    for (unsigned char b : e) exponent = (exponent << 8) | b;
    return true;
}

bool VerifyRsaSha1(const Bytes& publicKeyDer, const Bytes& message, const Bytes& signature) {
    HCRYPTKEY key = ImportPublic(publicKeyDer, CALG_RSA_SIGN);
    HCRYPTHASH hash = 0;
    bool ok = key && CryptCreateHash(Prov(), CALG_SHA1, 0, 0, &hash) &&
              CryptHashData(hash, message.data(), DWORD(message.size()), 0);
    Bytes little(signature.rbegin(), signature.rend());
    ok = ok && CryptVerifySignatureW(hash, little.data(), DWORD(little.size()), key, nullptr, 0);
    if (hash) CryptDestroyHash(hash);
    if (key) CryptDestroyKey(key);
    return ok;
}

Bytes RsaEncryptPkcs1(const Bytes& publicKeyDer, const Bytes& plain) {
    HCRYPTKEY key = ImportPublic(publicKeyDer, CALG_RSA_KEYX);
    if (!key) return {};
    Bytes modulus;
    uint32_t exponent = 0;
    ParseRsaPublicKey(publicKeyDer, modulus, exponent);
    Bytes data(plain);
    data.resize(modulus.size());
    DWORD length = DWORD(plain.size());
    bool ok = CryptEncrypt(key, 0, TRUE, 0, data.data(), &length, DWORD(data.size()));
    CryptDestroyKey(key);
    if (!ok) return {};
    data.resize(length);
    return Bytes(data.rbegin(), data.rend());
}

RsaKey GenerateRsa(unsigned bits) {
    RsaKey result;
    HCRYPTKEY key = 0;
    if (!CryptGenKey(Prov(), AT_KEYEXCHANGE, (bits << 16) | CRYPT_EXPORTABLE, &key)) return result;
    DWORD size = 0;
    CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, nullptr, &size);
    result.privateBlob.resize(size);
    CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, result.privateBlob.data(), &size);
    CryptDestroyKey(key);
    const Bytes& blob = result.privateBlob;
    uint32_t exponent;
    std::memcpy(&exponent, &blob[16], 4);
    Bytes modulus(blob.rend() - 20 - bits / 8, blob.rend() - 20);
    Bytes e;
    for (int shift = 24; shift >= 0; shift -= 8) e.push_back((unsigned char)(exponent >> shift));
    Bytes body;
    WriteInteger(body, modulus);
    WriteInteger(body, e);
    result.publicKeyDer.push_back(0x30);
    WriteLength(result.publicKeyDer, body.size());
    result.publicKeyDer.insert(result.publicKeyDer.end(), body.begin(), body.end());
    // RSAPrivateKey { 0, n, e, d, p, q, dp, dq, qinv }, from the blob's
    // little-endian fields in blob order n, p, q, dp, dq, qinv, d.
    const size_t full = bits / 8, half = bits / 16;
    auto field = [&](size_t offset, size_t length) {
        return Bytes(blob.rend() - offset - length, blob.rend() - offset);
    };
    const size_t p = 20 + full, q = p + half, dp = q + half, dq = dp + half, qinv = dq + half, d = qinv + half;
    Bytes priv;
    WriteInteger(priv, {0});
    for (const Bytes& v : {modulus, e, field(d, full), field(p, half), field(q, half), field(dp, half), field(dq, half),
                           field(qinv, half)})
        WriteInteger(priv, v);
    result.privateKeyDer.push_back(0x30);
    WriteLength(result.privateKeyDer, priv.size());
    result.privateKeyDer.insert(result.privateKeyDer.end(), priv.begin(), priv.end());
    return result;
}

Bytes TripleDesEncrypt(const Bytes& key, const Bytes& iv, const Bytes& plain) {
    Bytes blob = {PLAINTEXTKEYBLOB, 2, 0, 0};
    Put32(blob, CALG_3DES);
    Put32(blob, uint32_t(key.size()));
    blob.insert(blob.end(), key.begin(), key.end());
    HCRYPTKEY handle = 0;
    if (!CryptImportKey(Prov(), blob.data(), DWORD(blob.size()), 0, 0, &handle)) return {};
    DWORD mode = iv.empty() ? CRYPT_MODE_ECB : CRYPT_MODE_CBC;
    CryptSetKeyParam(handle, KP_MODE, (const BYTE*)&mode, 0);
    if (!iv.empty()) CryptSetKeyParam(handle, KP_IV, iv.data(), 0);
    Bytes data(plain);
    data.resize(plain.size() + 8);
    DWORD length = DWORD(plain.size());
    bool ok = CryptEncrypt(handle, 0, TRUE, 0, data.data(), &length, DWORD(data.size()));
    CryptDestroyKey(handle);
    if (!ok) return {};
    data.resize(length);
    return data;
}

Bytes RandomBytes(size_t n) {
    Bytes out(n);
    CryptGenRandom(Prov(), DWORD(n), out.data());
    return out;
}

// Signed by a signature key of the oracle's own verify context (SHA-1 with
// RSA), issuer and subject "CN=Tessera Test".
Bytes IssueCertificate(const Bytes& publicKey, bool sm2) {
    static const bool signer = [] {
        HCRYPTKEY key = 0;
        return CryptGenKey(Prov(), AT_SIGNATURE, 1024u << 16, &key) != FALSE;
    }();
    if (sm2 || !signer) return {};
    static BYTE name[] = {0x30, 0x17, 0x31, 0x15, 0x30, 0x13, 0x06, 0x03, 0x55, 0x04, 0x03, 0x0C, 0x0C, 'T', 'e',
                          's',  's',  'e',  'r',  'a',  ' ',  'T',  'e',  's',  't'};
    static BYTE null[] = {0x05, 0x00};
    Bytes serial = RandomBytes(8);
    serial.back() &= 0x7F;  // little-endian: the sign bit is in the last byte
    Bytes key = publicKey;
    CERT_INFO info = {};
    info.dwVersion = CERT_V1;
    info.SerialNumber = {DWORD(serial.size()), serial.data()};
    info.SignatureAlgorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_SHA1RSA);
    info.Issuer = {0x19, name};
    info.Subject = {0x19, name};
    GetSystemTimeAsFileTime(&info.NotBefore);
    ULARGE_INTEGER after;
    after.LowPart = info.NotBefore.dwLowDateTime;
    after.HighPart = info.NotBefore.dwHighDateTime;
    after.QuadPart += 365ULL * 24 * 3600 * 10000000;
    info.NotAfter.dwLowDateTime = after.LowPart;
    info.NotAfter.dwHighDateTime = after.HighPart;
    info.SubjectPublicKeyInfo.Algorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_RSA);
    info.SubjectPublicKeyInfo.Algorithm.Parameters = {DWORD(sizeof null), null};
    info.SubjectPublicKeyInfo.PublicKey = {DWORD(key.size()), key.data(), 0};
    CRYPT_ALGORITHM_IDENTIFIER algorithm = {const_cast<LPSTR>(szOID_RSA_SHA1RSA), {0, nullptr}};
    DWORD size = 0;
    if (!CryptSignAndEncodeCertificate(Prov(), AT_SIGNATURE, X509_ASN_ENCODING, X509_CERT_TO_BE_SIGNED, &info,
                                       &algorithm, nullptr, nullptr, &size))
        return {};
    Bytes cert(size);
    if (!CryptSignAndEncodeCertificate(Prov(), AT_SIGNATURE, X509_ASN_ENCODING, X509_CERT_TO_BE_SIGNED, &info,
                                       &algorithm, nullptr, cert.data(), &size))
        return {};
    cert.resize(size);
    return cert;
}
bool RsaPrivateBlobValid(const Bytes&) { return true; }

}  // namespace oracle
