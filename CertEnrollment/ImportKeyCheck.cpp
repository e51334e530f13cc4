// Checks made before anything is stored in a container or a certificate
// store: that a certificate certifies the key it is linked to, and that a
// decrypted encryption key is one consistent RSA key, the certificate's.
//
// The envelope's 3DES-ECB layer has no integrity: a damaged piece decrypts
// to a key with one garbled block. The providers compute with the CRT
// values and some ignore the private exponent, so a trial operation cannot
// see every damaged field; the relations between the blob's numbers are
// checked here instead (a few modular products: under a millisecond for a
// 2048-bit key, about 3 ms for 4096 bits).
#include <algorithm>
#include <cstring>
#include <vector>

#include "ASN1Engine.h"
#include "CertHolders.h"
#include "ImportEncryptCert.h"
#include "VelaTrace.h"

namespace {

HRESULT LastErrorStatus() { return StatusFromLastError((LONG)GetLastError()); }

// The public-key bits of a certificate: the DER RSAPublicKey, or 04 || x || y.
bool CertificateKeyBits(const BYTE* pbCert, DWORD dwCertLength, std::vector<BYTE>& bits) {
    CertContextHolder cert(CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, pbCert, dwCertLength));
    if (!cert) return false;
    const CRYPT_BIT_BLOB& key = cert.Get()->pCertInfo->SubjectPublicKeyInfo.PublicKey;
    bits.assign(key.pbData, key.pbData + key.cbData);
    return true;
}

// The same bits of a container key. RSA keys are exported as public-key
// information; SM2 keys as the 140-byte public-key blob with each
// coordinate least significant byte first.
bool ContainerKeyBits(HCRYPTPROV hProvider, HCRYPTKEY hKey, DWORD dwKeySpec, bool rsa, std::vector<BYTE>& bits) {
    if (rsa) {
        DWORD size = 0;
        if (!CryptExportPublicKeyInfo(hProvider, dwKeySpec, X509_ASN_ENCODING, nullptr, &size)) return false;
        std::vector<BYTE> buffer(size);
        auto* info = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(buffer.data());
        if (!CryptExportPublicKeyInfo(hProvider, dwKeySpec, X509_ASN_ENCODING, info, &size)) return false;
        bits.assign(info->PublicKey.pbData, info->PublicKey.pbData + info->PublicKey.cbData);
        return true;
    }
    BYTE blob[140];
    DWORD size = sizeof blob;
    if (!CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, blob, &size) || size != sizeof blob) return false;
    bits.assign(1, 0x04);
    for (int i = 31; i >= 0; --i) bits.push_back(blob[12 + i]);
    for (int i = 31; i >= 0; --i) bits.push_back(blob[76 + i]);
    return true;
}

// ---- unsigned numbers, least significant byte first --------------------------------

class Number {
public:
    Number() = default;
    Number(const BYTE* p, size_t n) : m_bytes(p, p + n) { Trim(); }
    explicit Number(DWORD v) {
        for (; v; v >>= 8) m_bytes.push_back(BYTE(v));
    }
    Number(const Number&) = default;
    Number& operator=(const Number&) = default;
    ~Number() { WipeMemory(m_bytes.data(), m_bytes.size()); }

    size_t Bits() const {
        if (m_bytes.empty()) return 0;
        size_t bits = (m_bytes.size() - 1) * 8;
        for (BYTE top = m_bytes.back(); top; top >>= 1) ++bits;
        return bits;
    }
    bool Bit(size_t i) const { return (m_bytes[i / 8] >> (i % 8)) & 1; }
    bool IsOne() const { return m_bytes.size() == 1 && m_bytes[0] == 1; }
    friend bool operator==(const Number& a, const Number& b) { return a.m_bytes == b.m_bytes; }
    friend bool operator<(const Number& a, const Number& b) {
        if (a.m_bytes.size() != b.m_bytes.size()) return a.m_bytes.size() < b.m_bytes.size();
        for (size_t i = a.m_bytes.size(); i > 0; --i)
            if (a.m_bytes[i - 1] != b.m_bytes[i - 1]) return a.m_bytes[i - 1] < b.m_bytes[i - 1];
        return false;
    }
    // this = 2 * this + bit
    void ShiftIn(bool bit) {
        unsigned carry = bit;
        for (BYTE& b : m_bytes) {
            unsigned v = (unsigned(b) << 1) | carry;
            b = BYTE(v);
            carry = v >> 8;
        }
        if (carry) m_bytes.push_back(BYTE(carry));
    }
    void Add(const Number& o) {
        if (m_bytes.size() < o.m_bytes.size()) m_bytes.resize(o.m_bytes.size(), 0);
        unsigned carry = 0;
        for (size_t i = 0; i < m_bytes.size(); ++i) {
            unsigned v = m_bytes[i] + (i < o.m_bytes.size() ? o.m_bytes[i] : 0) + carry;
            m_bytes[i] = BYTE(v);
            carry = v >> 8;
        }
        if (carry) m_bytes.push_back(BYTE(carry));
    }
    // this -= o, for o <= this
    void Subtract(const Number& o) {
        int borrow = 0;
        for (size_t i = 0; i < m_bytes.size(); ++i) {
            int v = int(m_bytes[i]) - (i < o.m_bytes.size() ? o.m_bytes[i] : 0) - borrow;
            borrow = v < 0;
            m_bytes[i] = BYTE(v + (borrow ? 256 : 0));
        }
        Trim();
    }
    void ReduceOnce(const Number& m) {
        if (!(*this < m)) Subtract(m);
    }
    static Number Product(const Number& a, const Number& b) {
        Number r;
        r.m_bytes.assign(a.m_bytes.size() + b.m_bytes.size(), 0);
        for (size_t i = 0; i < a.m_bytes.size(); ++i) {
            unsigned carry = 0;
            for (size_t j = 0; j < b.m_bytes.size(); ++j) {
                unsigned v = r.m_bytes[i + j] + unsigned(a.m_bytes[i]) * b.m_bytes[j] + carry;
                r.m_bytes[i + j] = BYTE(v);
                carry = v >> 8;
            }
            r.m_bytes[i + b.m_bytes.size()] = BYTE(carry);
        }
        r.Trim();
        return r;
    }

private:
    void Trim() {
        while (!m_bytes.empty() && m_bytes.back() == 0) m_bytes.pop_back();
    }
    std::vector<BYTE> m_bytes;
};

// a mod m, for m > 0
Number Mod(const Number& a, const Number& m) {
    Number r;
    for (size_t i = a.Bits(); i > 0; --i) {
        r.ShiftIn(a.Bit(i - 1));
        r.ReduceOnce(m);
    }
    return r;
}

// a * b mod m, for m > 0
Number MulMod(const Number& a, const Number& b, const Number& m) {
    Number reduced = Mod(b, m), r;
    for (size_t i = a.Bits(); i > 0; --i) {
        r.ShiftIn(false);
        r.ReduceOnce(m);
        if (a.Bit(i - 1)) {
            r.Add(reduced);
            r.ReduceOnce(m);
        }
    }
    return r;
}

// The RSAPublicKey of a certificate as numbers.
bool CertificateRsaKey(const BYTE* pbCert, DWORD dwCertLength, Number& modulus, Number& exponent) {
    std::vector<BYTE> bits;
    if (!CertificateKeyBits(pbCert, dwCertLength, bits)) return false;
    ASN1NodePtr root;
    if (DecodeASN1Memory(root, bits.data(), (DWORD)bits.size()) != 0 || !root || root->ChildCount() != 2) return false;
    auto value = [](const ASN1Node* node) {
        std::vector<BYTE> le(node->Content(), node->Content() + node->dwLength);
        std::reverse(le.begin(), le.end());
        return Number(le.data(), le.size());
    };
    modulus = value(root->Child(0));
    exponent = value(root->Child(1));
    return true;
}

// Whether the PRIVATEKEYBLOB's numbers are one RSA key: n = p q,
// d = dp mod (p - 1) = dq mod (q - 1), e dp = 1 mod (p - 1),
// e dq = 1 mod (q - 1) and q qinv = 1 mod p.
bool ConsistentRsaBlob(const SecretBytes& blob, Number& n, Number& e) {
    if (blob.Size() < 20) return false;
    const BYTE* p = blob.Data();
    DWORD bits = 0, exponent = 0;
    std::memcpy(&bits, p + 12, 4);
    std::memcpy(&exponent, p + 16, 4);
    const size_t full = bits / 8, half = bits / 16;
    if (bits == 0 || bits % 16 || blob.Size() != 20 + 2 * full + 5 * half) return false;
    const BYTE* cursor = p + 20;
    auto next = [&cursor](size_t length) {
        Number v(cursor, length);
        cursor += length;
        return v;
    };
    n = next(full);
    Number prime1 = next(half), prime2 = next(half), exponent1 = next(half), exponent2 = next(half),
           coefficient = next(half), d = next(full);
    e = Number(exponent);
    const Number one(1);
    if (!(one < prime1) || !(one < prime2) || !(Number::Product(prime1, prime2) == n)) return false;
    Number p1 = prime1, q1 = prime2;
    p1.Subtract(one);
    q1.Subtract(one);
    return Mod(d, p1) == exponent1 && Mod(d, q1) == exponent2 && MulMod(e, exponent1, p1).IsOne() &&
           MulMod(e, exponent2, q1).IsOne() && MulMod(coefficient, prime2, prime1).IsOne();
}

}  // namespace

HRESULT CheckCertificateOfContainerKey(HCRYPTPROV hProvider, HCRYPTKEY hKey, DWORD dwKeySpec, bool rsa,
                                       const BYTE* pbCert, DWORD dwCertLength) {
    VELA_TRACE_SCOPE("CheckCertificateOfContainerKey");
    std::vector<BYTE> certificateKey, containerKey;
    if (!CertificateKeyBits(pbCert, dwCertLength, certificateKey)) {
        HRESULT hr = LastErrorStatus();
        if (SUCCEEDED(hr)) hr = CRYPT_E_ASN1_BADTAG;
        VELA_LOG_FAILURE(hr, "CertCreateCertificateContext", "1");
        return hr;
    }
    if (!ContainerKeyBits(hProvider, hKey, dwKeySpec, rsa, containerKey)) {
        HRESULT hr = LastErrorStatus();
        if (SUCCEEDED(hr)) hr = NTE_BAD_KEY;
        VELA_LOG_FAILURE(hr, "Export container public key", "1");
        return hr;
    }
    if (certificateKey != containerKey) {
        VELA_LOG_FAILURE(NTE_BAD_PUBLIC_KEY, "Check certificate public key", "certificate key != container key");
        return NTE_BAD_PUBLIC_KEY;
    }
    return VELA_OK;
}

HRESULT CheckEncryptPrivateKeyBlob(const SecretBytes& blob, const BYTE* pbCert, DWORD dwCertLength) {
    VELA_TRACE_SCOPE("CheckEncryptPrivateKeyBlob");
    Number n, e;
    if (!ConsistentRsaBlob(blob, n, e)) {
        VELA_LOG_FAILURE(VELA_E_IMPORT_ENCRYPT_CERT, "Check RSA private key", "inconsistent key values");
        return VELA_E_IMPORT_ENCRYPT_CERT;
    }
    Number modulus, exponent;
    if (!CertificateRsaKey(pbCert, dwCertLength, modulus, exponent) || !(modulus == n) || !(exponent == e)) {
        VELA_LOG_FAILURE(VELA_E_IMPORT_ENCRYPT_CERT, "Check certificate public key", "certificate key != private key");
        return VELA_E_IMPORT_ENCRYPT_CERT;
    }
    return VELA_OK;
}
