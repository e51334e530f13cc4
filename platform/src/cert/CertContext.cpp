// Certificate contexts: parsing DER into CERT_CONTEXT/CERT_INFO (a strict
// walk of the X.509 structure; names, serial, parameters and extension values
// are taken verbatim from the encoding), reference counting, properties,
// extensions, time validity and the decoding of key usage and key
// identifiers. OpenSSL computes the hashes.
#include "CertInternal.h"
#include "Der.h"

#include <tessera/platform_internal.h>

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

namespace tessera::cert {

std::recursive_mutex& Lock() {
    static std::recursive_mutex lock;
    return lock;
}

namespace {

void PointInfoAtStorage(CertObject& o) {
    o.info.SerialNumber = {DWORD(o.serial.size()), o.serial.data()};
    o.info.SignatureAlgorithm.pszObjId = o.sigOid.data();
    o.info.SignatureAlgorithm.Parameters = {DWORD(o.sigParams.size()), o.sigParams.data()};
    o.info.Issuer = {DWORD(o.issuer.size()), o.issuer.data()};
    o.info.Subject = {DWORD(o.subject.size()), o.subject.data()};
    o.info.SubjectPublicKeyInfo.Algorithm.pszObjId = o.keyOid.data();
    o.info.SubjectPublicKeyInfo.Algorithm.Parameters = {DWORD(o.keyParams.size()), o.keyParams.data()};
    o.info.SubjectPublicKeyInfo.PublicKey.cbData = DWORD(o.publicKey.size());
    o.info.SubjectPublicKeyInfo.PublicKey.pbData = o.publicKey.data();
    o.info.IssuerUniqueId = {DWORD(o.issuerUid.size()), o.issuerUid.empty() ? nullptr : o.issuerUid.data(), 0};
    o.info.SubjectUniqueId = {DWORD(o.subjectUid.size()), o.subjectUid.empty() ? nullptr : o.subjectUid.data(), 0};
    o.extensions.resize(o.extOids.size());
    for (size_t i = 0; i < o.extOids.size(); ++i) {
        o.extensions[i].pszObjId = o.extOids[i].data();
        o.extensions[i].Value = {DWORD(o.extValues[i].size()), o.extValues[i].data()};
    }
    o.info.cExtension = DWORD(o.extensions.size());
    o.info.rgExtension = o.extensions.empty() ? nullptr : o.extensions.data();
    o.context.dwCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    o.context.pbCertEncoded = o.der.data();
    o.context.cbCertEncoded = DWORD(o.der.size());
    o.context.pCertInfo = &o.info;
}

// "YYMMDDHHMMSSZ" (UTCTime, years 1950-2049) or "YYYYMMDDHHMMSS[.f]Z"
// (GeneralizedTime) as a FILETIME.
bool TimeToFileTime(const DerElement& e, FILETIME& out) {
    const char* p = reinterpret_cast<const char*>(e.content);
    size_t n = e.length;
    auto digits = [&](size_t at, size_t count, int& value) {
        value = 0;
        if (at + count > n) return false;
        for (size_t i = 0; i < count; ++i) {
            if (p[at + i] < '0' || p[at + i] > '9') return false;
            value = value * 10 + (p[at + i] - '0');
        }
        return true;
    };
    int year = 0, month, day, hour, minute, second;
    size_t at;
    if (e.tag == 0x17) {
        if (!digits(0, 2, year)) return false;
        year += year < 50 ? 2000 : 1900;
        at = 2;
    } else if (e.tag == 0x18) {
        if (!digits(0, 4, year)) return false;
        at = 4;
    } else {
        return false;
    }
    if (!digits(at, 2, month) || !digits(at + 2, 2, day) || !digits(at + 4, 2, hour) || !digits(at + 6, 2, minute) ||
        !digits(at + 8, 2, second))
        return false;
    at += 10;
    int milliseconds = 0;
    if (e.tag == 0x18 && at < n && p[at] == '.') {
        size_t start = ++at;
        int scale = 100;
        while (at < n && p[at] >= '0' && p[at] <= '9') {
            milliseconds += (p[at] - '0') * scale;
            scale /= 10;
            ++at;
        }
        if (at == start) return false;
    }
    if (at + 1 != n || p[at] != 'Z') return false;
    SYSTEMTIME st{};
    st.wYear = WORD(year);
    st.wMonth = WORD(month);
    st.wDay = WORD(day);
    st.wHour = WORD(hour);
    st.wMinute = WORD(minute);
    st.wSecond = WORD(second);
    st.wMilliseconds = WORD(milliseconds);
    return SystemTimeToFileTime(&st, &out) != FALSE;
}

// AlgorithmIdentifier: OID text and the encoded parameters (if any).
bool ReadAlgorithm(const DerElement& e, std::string& oid, Bytes& params) {
    DerReader r(e);
    DerElement id, p;
    if (!r.Next(id, 0x06)) return false;
    oid = OidText(id.content, id.length);
    if (oid.empty()) return false;
    if (!r.AtEnd()) {
        if (!r.Next(p) || !r.AtEnd()) return false;
        params.assign(p.start, p.start + p.total());
    }
    return true;
}

// Parses the encoded certificate into the object's fields (strict DER
// structure of RFC 5280's Certificate; the extension values and key bits are
// kept as they are encoded).
bool ParseInto(CertObject& o, const BYTE* der, size_t length) {
    DerReader top(der, length);
    DerElement cert, tbs, sigAlg, sig, e;
    if (!top.Next(cert, 0x30) || !top.AtEnd()) return false;
    DerReader c(cert);
    if (!c.Next(tbs, 0x30) || !c.Next(sigAlg, 0x30) || !c.Next(sig, 0x03) || !c.AtEnd()) return false;
    std::string outerOid;
    Bytes outerParams;
    if (!ReadAlgorithm(sigAlg, outerOid, outerParams) || sig.length < 1) return false;

    DerReader t(tbs);
    o.info.dwVersion = CERT_V1;
    if (t.Optional(e, 0xA0)) {
        DerReader v(e);
        DerElement number;
        if (!v.Next(number, 0x02) || !v.AtEnd() || number.length != 1 || number.content[0] > 2) return false;
        o.info.dwVersion = number.content[0];
    }
    DerElement serial, alg, issuer, validity, subject, spki;
    if (!t.Next(serial, 0x02) || serial.length == 0) return false;
    if (!t.Next(alg, 0x30) || !ReadAlgorithm(alg, o.sigOid, o.sigParams)) return false;
    if (!t.Next(issuer, 0x30) || !IsName(issuer.start, issuer.total())) return false;
    if (!t.Next(validity, 0x30)) return false;
    {
        DerReader v(validity);
        DerElement from, to;
        if (!v.Next(from) || !v.Next(to) || !v.AtEnd() || !TimeToFileTime(from, o.info.NotBefore) ||
            !TimeToFileTime(to, o.info.NotAfter))
            return false;
    }
    if (!t.Next(subject, 0x30) || !IsName(subject.start, subject.total())) return false;
    if (!t.Next(spki, 0x30)) return false;
    {
        DerReader k(spki);
        DerElement keyAlg, bits;
        if (!k.Next(keyAlg, 0x30) || !ReadAlgorithm(keyAlg, o.keyOid, o.keyParams) || !k.Next(bits, 0x03) ||
            !k.AtEnd() || bits.length < 1 || bits.content[0] > 7)
            return false;
        o.publicKey.assign(bits.content + 1, bits.content + bits.length);
        o.info.SubjectPublicKeyInfo.PublicKey.cUnusedBits = bits.content[0];
    }
    if (t.Optional(e, 0x81)) {
        if (e.length < 1) return false;
        o.issuerUid.assign(e.content + 1, e.content + e.length);
    }
    if (t.Optional(e, 0x82)) {
        if (e.length < 1) return false;
        o.subjectUid.assign(e.content + 1, e.content + e.length);
    }
    std::vector<BOOL> critical;
    if (t.Optional(e, 0xA3)) {
        DerReader wrapper(e);
        DerElement list;
        if (!wrapper.Next(list, 0x30) || !wrapper.AtEnd()) return false;
        DerReader exts(list);
        while (!exts.AtEnd()) {
            DerElement ext, id, flag, value;
            if (!exts.Next(ext, 0x30)) return false;
            DerReader x(ext);
            if (!x.Next(id, 0x06)) return false;
            BOOL isCritical = FALSE;
            if (x.Optional(flag, 0x01)) {
                if (flag.length != 1) return false;
                isCritical = flag.content[0] ? TRUE : FALSE;
            }
            if (!x.Next(value, 0x04) || !x.AtEnd()) return false;
            std::string oid = OidText(id.content, id.length);
            if (oid.empty()) return false;
            o.extOids.push_back(oid);
            o.extValues.emplace_back(value.content, value.content + value.length);
            critical.push_back(isCritical);
        }
    }
    if (!t.AtEnd()) return false;
    o.der.assign(der, der + length);
    o.serial.assign(serial.content, serial.content + serial.length);
    std::reverse(o.serial.begin(), o.serial.end());
    o.issuer.assign(issuer.start, issuer.start + issuer.total());
    o.subject.assign(subject.start, subject.start + subject.total());
    PointInfoAtStorage(o);
    for (size_t i = 0; i < critical.size(); ++i) o.extensions[i].fCritical = critical[i];
    return true;
}

Bytes Digest(const EVP_MD* md, const BYTE* data, size_t length) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (EVP_Digest(data, length, out, &n, md, nullptr) != 1) return {};
    return Bytes(out, out + n);
}

void PutDword(Bytes& b, size_t at, DWORD v) {
    b[at] = BYTE(v);
    b[at + 1] = BYTE(v >> 8);
    b[at + 2] = BYTE(v >> 16);
    b[at + 3] = BYTE(v >> 24);
}
DWORD GetDword(const Bytes& b, size_t at) {
    return DWORD(b[at]) | DWORD(b[at + 1]) << 8 | DWORD(b[at + 2]) << 16 | DWORD(b[at + 3]) << 24;
}

size_t Align(size_t n) { return (n + 7) & ~size_t(7); }

// A NUL-terminated little-endian UTF-16 string at the offset, as a length in
// characters; false when it does not end inside the record.
bool StringAt(const Bytes& b, DWORD offset, size_t& chars) {
    if (offset == 0) {
        chars = 0;
        return true;
    }
    for (size_t at = offset; at + 1 < b.size(); at += 2)
        if (b[at] == 0 && b[at + 1] == 0) {
            chars = (at - offset) / 2;
            return true;
        }
    return false;
}

// Output buffer protocol shared by the property and decoding calls.
BOOL CopyOut(const BYTE* data, DWORD size, void* out, DWORD* pcb) {
    if (!out) {
        *pcb = size;
        return TRUE;
    }
    if (*pcb < size) {
        *pcb = size;
        return Fail(ERROR_MORE_DATA);
    }
    if (size) std::memcpy(out, data, size);
    *pcb = size;
    return TRUE;
}

}  // namespace

Bytes Sha1(const BYTE* data, size_t length) { return Digest(EVP_sha1(), data, length); }
Bytes Md5(const BYTE* data, size_t length) { return Digest(EVP_md5(), data, length); }

std::u16string Thumbprint(const CertObject& object) {
    static const char digits[] = "0123456789ABCDEF";
    std::u16string text;
    for (BYTE b : Sha1(object.der.data(), object.der.size())) {
        text.push_back(char16_t(digits[b >> 4]));
        text.push_back(char16_t(digits[b & 15]));
    }
    return text;
}

CertObject* ParseCertificate(const BYTE* der, DWORD length, DWORD& error) {
    if (!der || length == 0) {
        error = DWORD(CRYPT_E_ASN1_EOD);
        return nullptr;
    }
    auto* o = new CertObject();
    o->magic = kCertMagic;
    if (!ParseInto(*o, der, length)) {
        delete o;
        error = der[0] == 0x30 ? DWORD(CRYPT_E_ASN1_CORRUPT) : DWORD(CRYPT_E_ASN1_BADTAG);
        return nullptr;
    }
    error = 0;
    return o;
}

CertObject* CloneCertificate(const CertObject& source) {
    auto* o = new CertObject();
    o->magic = kCertMagic;
    o->der = source.der;
    o->info = source.info;
    o->serial = source.serial;
    o->issuer = source.issuer;
    o->subject = source.subject;
    o->sigParams = source.sigParams;
    o->keyParams = source.keyParams;
    o->publicKey = source.publicKey;
    o->issuerUid = source.issuerUid;
    o->subjectUid = source.subjectUid;
    o->sigOid = source.sigOid;
    o->keyOid = source.keyOid;
    o->extOids = source.extOids;
    o->extValues = source.extValues;
    o->extensions = source.extensions;
    o->properties = source.properties;
    PointInfoAtStorage(*o);
    return o;
}

void DestroyCertificate(CertObject* object) {
    if (object->cachedProvider) CryptReleaseContext(object->cachedProvider, 0);
    object->magic = 0;
    delete object;
}

CertObject* FromContext(PCCERT_CONTEXT context) {
    auto* o = reinterpret_cast<CertObject*>(const_cast<CERT_CONTEXT*>(context));
    if (!o || o->magic != kCertMagic) return nullptr;
    return o;
}

// ---- key-provider records ---------------------------------------------------
// Serialized form: seven little-endian DWORDs (container offset, provider
// offset, provider type, flags, parameter count, parameter offset,
// dwKeySpec), the parameters as four DWORDs each (id, data offset,
// length, flags), then the data and the NUL-terminated UTF-16LE strings.
// Offsets count from the start of the record; 0 stands for a null pointer.
Bytes SerializeKeyProvInfo(const CRYPT_KEY_PROV_INFO& info) {
    const size_t header = 7 * 4;
    const size_t params = size_t(info.cProvParam) * 16;
    Bytes b(header + params, 0);
    auto appendString = [&b](const WCHAR* s) -> DWORD {
        if (!s) return 0;
        DWORD at = DWORD(b.size());
        for (; *s; ++s) {
            b.push_back(BYTE(*s));
            b.push_back(BYTE(*s >> 8));
        }
        b.push_back(0);
        b.push_back(0);
        return at;
    };
    for (DWORD i = 0; i < info.cProvParam && info.rgProvParam; ++i) {
        const CRYPT_KEY_PROV_PARAM& p = info.rgProvParam[i];
        DWORD at = DWORD(b.size());
        if (p.cbData && p.pbData) b.insert(b.end(), p.pbData, p.pbData + p.cbData);
        size_t slot = header + size_t(i) * 16;
        PutDword(b, slot, p.dwParam);
        PutDword(b, slot + 4, p.cbData && p.pbData ? at : 0);
        PutDword(b, slot + 8, p.pbData ? p.cbData : 0);
        PutDword(b, slot + 12, p.dwFlags);
    }
    DWORD container = appendString(info.pwszContainerName);
    DWORD provider = appendString(info.pwszProvName);
    PutDword(b, 0, container);
    PutDword(b, 4, provider);
    PutDword(b, 8, info.dwProvType);
    PutDword(b, 12, info.dwFlags);
    PutDword(b, 16, info.rgProvParam ? info.cProvParam : 0);
    PutDword(b, 20, info.cProvParam && info.rgProvParam ? DWORD(header) : 0);
    PutDword(b, 24, info.dwKeySpec);
    return b;
}

DWORD KeyProvInfoSize(const Bytes& b) {
    if (b.size() < 28) return 0;
    size_t container = 0, provider = 0;
    if (!StringAt(b, GetDword(b, 0), container) || !StringAt(b, GetDword(b, 4), provider)) return 0;
    DWORD count = GetDword(b, 16);
    DWORD paramsAt = GetDword(b, 20);
    if (count > 1024 || (count && (paramsAt < 28 || size_t(paramsAt) + size_t(count) * 16 > b.size()))) return 0;
    size_t size = Align(sizeof(CRYPT_KEY_PROV_INFO)) + Align(count * sizeof(CRYPT_KEY_PROV_PARAM));
    for (DWORD i = 0; i < count; ++i) {
        size_t slot = size_t(paramsAt) + size_t(i) * 16;
        DWORD offset = GetDword(b, slot + 4), length = GetDword(b, slot + 8);
        if (length && (offset == 0 || size_t(offset) + length > b.size())) return 0;
        size += Align(length);
    }
    if (GetDword(b, 0)) size += (container + 1) * sizeof(WCHAR);
    if (GetDword(b, 4)) size += (provider + 1) * sizeof(WCHAR);
    return DWORD(size);
}

void UnpackKeyProvInfo(const Bytes& b, BYTE* out) {
    auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(out);
    *info = CRYPT_KEY_PROV_INFO{};
    size_t at = Align(sizeof(CRYPT_KEY_PROV_INFO));
    DWORD count = GetDword(b, 16), paramsAt = GetDword(b, 20);
    auto* params = reinterpret_cast<CRYPT_KEY_PROV_PARAM*>(out + at);
    at += Align(count * sizeof(CRYPT_KEY_PROV_PARAM));
    for (DWORD i = 0; i < count; ++i) {
        size_t slot = size_t(paramsAt) + size_t(i) * 16;
        DWORD offset = GetDword(b, slot + 4), length = GetDword(b, slot + 8);
        params[i].dwParam = GetDword(b, slot);
        params[i].cbData = length;
        params[i].dwFlags = GetDword(b, slot + 12);
        params[i].pbData = length ? out + at : nullptr;
        if (length) std::memcpy(out + at, b.data() + offset, length);
        at += Align(length);
    }
    auto unpackString = [&](DWORD offset) -> LPWSTR {
        if (!offset) return nullptr;
        auto* s = reinterpret_cast<WCHAR*>(out + at);
        size_t n = 0;
        for (size_t p = offset;; p += 2, ++n) {
            WCHAR c = WCHAR(b[p] | (b[p + 1] << 8));
            s[n] = c;
            if (!c) break;
        }
        at += (n + 1) * sizeof(WCHAR);
        return s;
    };
    info->pwszContainerName = unpackString(GetDword(b, 0));
    info->pwszProvName = unpackString(GetDword(b, 4));
    info->dwProvType = GetDword(b, 8);
    info->dwFlags = GetDword(b, 12);
    info->cProvParam = count;
    info->rgProvParam = count ? params : nullptr;
    info->dwKeySpec = GetDword(b, 24);
}

// ---- registry certificate blobs ----------------------------------------------
Bytes EncodeBlob(const CertObject& object) {
    Bytes blob;
    auto record = [&blob](DWORD id, const Bytes& value) {
        size_t at = blob.size();
        blob.resize(at + 12);
        PutDword(blob, at, id);
        PutDword(blob, at + 4, 1);
        PutDword(blob, at + 8, DWORD(value.size()));
        blob.insert(blob.end(), value.begin(), value.end());
    };
    for (const auto& [id, value] : object.properties) record(id, value);
    record(CERT_CERT_PROP_ID, object.der);
    return blob;
}

CertObject* DecodeBlob(const BYTE* data, size_t length) {
    std::map<DWORD, Bytes> properties;
    const BYTE* cert = nullptr;
    size_t certLength = 0;
    size_t at = 0;
    while (at + 12 <= length) {
        auto dword = [&](size_t o) {
            return DWORD(data[o]) | DWORD(data[o + 1]) << 8 | DWORD(data[o + 2]) << 16 | DWORD(data[o + 3]) << 24;
        };
        DWORD id = dword(at) & 0xFFFFFF;
        DWORD n = dword(at + 8) & 0xFFFFFF;
        at += 12;
        if (n > length - at) return nullptr;
        if (id == CERT_CERT_PROP_ID) {
            if (!cert) {
                cert = data + at;
                certLength = n;
            }
        } else if (id != CERT_KEY_PROV_HANDLE_PROP_ID && id != CERT_KEY_CONTEXT_PROP_ID) {
            properties[id] = Bytes(data + at, data + at + n);
        }
        at += n;
    }
    if (!cert) return nullptr;
    DWORD error = 0;
    CertObject* o = ParseCertificate(cert, DWORD(certLength), error);
    if (!o) return nullptr;
    auto kp = properties.find(CERT_KEY_PROV_INFO_PROP_ID);
    if (kp != properties.end() && KeyProvInfoSize(kp->second) == 0) properties.erase(kp);
    o->properties = std::move(properties);
    return o;
}

}  // namespace tessera::cert

using namespace tessera;
using namespace tessera::cert;

// ---- contexts ---------------------------------------------------------------------
extern "C" PCCERT_CONTEXT CertCreateCertificateContext(DWORD encoding, const BYTE* der, DWORD length) {
    if (!(encoding & X509_ASN_ENCODING)) {
        SetLastError(DWORD(E_INVALIDARG));
        return nullptr;
    }
    DWORD error = 0;
    CertObject* o = ParseCertificate(der, length, error);
    if (!o) {
        SetLastError(error);
        return nullptr;
    }
    std::lock_guard<std::recursive_mutex> guard(Lock());
    AddRef(o);
    return &o->context;
}

extern "C" PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT context) {
    std::lock_guard<std::recursive_mutex> guard(Lock());
    CertObject* o = FromContext(context);
    if (!o) return nullptr;
    AddRef(o);
    return context;
}

extern "C" BOOL CertFreeCertificateContext(PCCERT_CONTEXT context) {
    if (!context) return TRUE;
    std::lock_guard<std::recursive_mutex> guard(Lock());
    CertObject* o = FromContext(context);
    if (!o) return Fail(ERROR_INVALID_PARAMETER);
    Release(o);
    return TRUE;
}

// ---- properties -------------------------------------------------------------------
extern "C" BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT context, DWORD id, void* data, DWORD* size) {
    std::lock_guard<std::recursive_mutex> guard(Lock());
    CertObject* o = FromContext(context);
    if (!o || !size) return Fail(DWORD(E_INVALIDARG));
    auto stored = o->properties.find(id);
    switch (id) {
    case CERT_KEY_PROV_INFO_PROP_ID: {
        if (stored == o->properties.end()) return Fail(DWORD(CRYPT_E_NOT_FOUND));
        DWORD needed = KeyProvInfoSize(stored->second);
        if (!needed) return Fail(DWORD(CRYPT_E_NOT_FOUND));
        if (!data) {
            *size = needed;
            return TRUE;
        }
        if (*size < needed) {
            *size = needed;
            return Fail(ERROR_MORE_DATA);
        }
        UnpackKeyProvInfo(stored->second, static_cast<BYTE*>(data));
        *size = needed;
        return TRUE;
    }
    case CERT_KEY_PROV_HANDLE_PROP_ID: {
        if (!o->cachedProvider) return Fail(DWORD(CRYPT_E_NOT_FOUND));
        HCRYPTPROV h = o->cachedProvider;
        return CopyOut(reinterpret_cast<const BYTE*>(&h), sizeof h, data, size);
    }
    case CERT_KEY_SPEC_PROP_ID: {
        auto kp = o->properties.find(CERT_KEY_PROV_INFO_PROP_ID);
        if (stored == o->properties.end() && kp != o->properties.end() && kp->second.size() >= 28) {
            DWORD keySpec = GetDword(kp->second, 24);
            return CopyOut(reinterpret_cast<const BYTE*>(&keySpec), sizeof keySpec, data, size);
        }
        break;
    }
    case CERT_SHA1_HASH_PROP_ID:
    case CERT_MD5_HASH_PROP_ID:
    case CERT_SUBJECT_PUBLIC_KEY_MD5_HASH_PROP_ID:
        if (stored == o->properties.end()) {
            Bytes hash = id == CERT_SHA1_HASH_PROP_ID  ? Sha1(o->der.data(), o->der.size())
                         : id == CERT_MD5_HASH_PROP_ID ? Md5(o->der.data(), o->der.size())
                                                       : Md5(o->publicKey.data(), o->publicKey.size());
            return CopyOut(hash.data(), DWORD(hash.size()), data, size);
        }
        break;
    default:
        break;
    }
    if (stored == o->properties.end()) return Fail(DWORD(CRYPT_E_NOT_FOUND));
    return CopyOut(stored->second.data(), DWORD(stored->second.size()), data, size);
}

extern "C" BOOL CertSetCertificateContextProperty(PCCERT_CONTEXT context, DWORD id, DWORD flags, const void* data) {
    std::lock_guard<std::recursive_mutex> guard(Lock());
    CertObject* o = FromContext(context);
    if (!o || id == 0 || id == CERT_CERT_PROP_ID) return Fail(DWORD(E_INVALIDARG));
    if (id == CERT_KEY_PROV_HANDLE_PROP_ID) {
        if (o->cachedProvider && !(flags & CERT_STORE_NO_CRYPT_RELEASE_FLAG))
            CryptReleaseContext(o->cachedProvider, 0);
        o->cachedProvider = data ? *static_cast<const HCRYPTPROV*>(data) : 0;
        return TRUE;
    }
    std::map<DWORD, Bytes> before = o->properties;
    if (!data) {
        o->properties.erase(id);
    } else if (id == CERT_KEY_PROV_INFO_PROP_ID) {
        o->properties[id] = SerializeKeyProvInfo(*static_cast<const CRYPT_KEY_PROV_INFO*>(data));
    } else {
        const auto* blob = static_cast<const CRYPT_DATA_BLOB*>(data);
        if (blob->cbData && !blob->pbData) return Fail(DWORD(E_INVALIDARG));
        o->properties[id] = Bytes(blob->pbData, blob->pbData + blob->cbData);
    }
    if (!(flags & CERT_SET_PROPERTY_INHIBIT_PERSIST_FLAG)) {
        DWORD error = 0;
        if (!PersistElement(o, error)) {
            o->properties = std::move(before);
            return Fail(error);
        }
    }
    return TRUE;
}

extern "C" DWORD CertEnumCertificateContextProperties(PCCERT_CONTEXT context, DWORD previous) {
    std::lock_guard<std::recursive_mutex> guard(Lock());
    CertObject* o = FromContext(context);
    if (!o) return 0;
    auto it = o->properties.upper_bound(previous);
    return it == o->properties.end() ? 0 : it->first;
}

// ---- extensions, names, time ---------------------------------------------------------
extern "C" PCERT_EXTENSION CertFindExtension(LPCSTR oid, DWORD count, CERT_EXTENSION extensions[]) {
    if (!oid || (count && !extensions)) {
        SetLastError(DWORD(E_INVALIDARG));
        return nullptr;
    }
    for (DWORD i = 0; i < count; ++i)
        if (extensions[i].pszObjId && std::strcmp(extensions[i].pszObjId, oid) == 0) return &extensions[i];
    SetLastError(DWORD(CRYPT_E_NOT_FOUND));
    return nullptr;
}

extern "C" LONG CertVerifyTimeValidity(LPFILETIME when, PCERT_INFO info) {
    FILETIME now;
    if (!when) {
        GetSystemTimeAsFileTime(&now);
        when = &now;
    }
    if (CompareFileTime(when, &info->NotBefore) < 0) return -1;
    if (CompareFileTime(when, &info->NotAfter) > 0) return 1;
    return 0;
}

extern "C" BOOL CertCompareCertificateName(DWORD, PCERT_NAME_BLOB a, PCERT_NAME_BLOB b) {
    if (!a || !b) return Fail(DWORD(E_INVALIDARG));
    if (a->cbData != b->cbData) return Fail(0);
    bool same = a->cbData == 0 || std::memcmp(a->pbData, b->pbData, a->cbData) == 0;
    if (!same) return Fail(0);
    return TRUE;
}

// ---- CryptDecodeObjectEx: key usage and key identifiers ----------------------------------
namespace {

enum class DecodeKind { Unsupported, Bits, Octets };

DecodeKind KindOf(LPCSTR type) {
    if (reinterpret_cast<uintptr_t>(type) >> 16 == 0) {
        uintptr_t n = reinterpret_cast<uintptr_t>(type);
        if (n == uintptr_t(X509_KEY_USAGE) || n == uintptr_t(X509_BITS)) return DecodeKind::Bits;
        if (n == uintptr_t(X509_OCTET_STRING)) return DecodeKind::Octets;
        return DecodeKind::Unsupported;
    }
    if (std::strcmp(type, szOID_KEY_USAGE) == 0) return DecodeKind::Bits;
    if (std::strcmp(type, szOID_SUBJECT_KEY_IDENTIFIER) == 0) return DecodeKind::Octets;
    return DecodeKind::Unsupported;
}

}  // namespace

extern "C" BOOL CryptDecodeObjectEx(DWORD encoding, LPCSTR type, const BYTE* encoded, DWORD length, DWORD flags,
                                    PCRYPT_DECODE_PARA para, void* out, DWORD* outSize) {
    if (!type || !outSize || (!encoded && length)) return Fail(DWORD(E_INVALIDARG));
    if (!(encoding & X509_ASN_ENCODING)) return Fail(DWORD(E_INVALIDARG));
    DecodeKind kind = KindOf(type);
    if (kind == DecodeKind::Unsupported) return Fail(ERROR_FILE_NOT_FOUND);
    DerReader reader(encoded, length);
    DerElement e;
    if (!reader.Next(e)) return Fail(DWORD(CRYPT_E_ASN1_EOD));
    if (!reader.AtEnd()) return Fail(DWORD(CRYPT_E_ASN1_CORRUPT));
    const BYTE* value = nullptr;
    size_t valueLength = 0;
    DWORD unused = 0;
    if (kind == DecodeKind::Bits) {
        if (e.tag != 0x03) return Fail(DWORD(CRYPT_E_ASN1_BADTAG));
        if (e.length < 1 || e.content[0] > 7 || (e.length == 1 && e.content[0] != 0))
            return Fail(DWORD(CRYPT_E_ASN1_CORRUPT));
        unused = e.content[0];
        value = e.content + 1;
        valueLength = e.length - 1;
    } else {
        if (e.tag != 0x04) return Fail(DWORD(CRYPT_E_ASN1_BADTAG));
        value = e.content;
        valueLength = e.length;
    }
    const bool nocopy = (flags & CRYPT_DECODE_NOCOPY_FLAG) != 0;
    const size_t head = kind == DecodeKind::Bits ? sizeof(CRYPT_BIT_BLOB) : sizeof(CRYPT_DATA_BLOB);
    const DWORD needed = DWORD(head + (nocopy ? 0 : valueLength));

    BYTE* target = static_cast<BYTE*>(out);
    if (flags & CRYPT_DECODE_ALLOC_FLAG) {
        if (!out) return Fail(DWORD(E_INVALIDARG));
        void* allocated = para && para->pfnAlloc ? para->pfnAlloc(needed) : LocalAlloc(LPTR, needed);
        if (!allocated) return Fail(DWORD(E_OUTOFMEMORY));
        *static_cast<void**>(out) = allocated;
        target = static_cast<BYTE*>(allocated);
    } else if (!out) {
        *outSize = needed;
        return TRUE;
    } else if (*outSize < needed) {
        *outSize = needed;
        return Fail(ERROR_MORE_DATA);
    }
    BYTE* bytes = const_cast<BYTE*>(value);
    if (!nocopy) {
        bytes = target + head;
        if (valueLength) std::memcpy(bytes, value, valueLength);
    }
    if (kind == DecodeKind::Bits) {
        auto* blob = reinterpret_cast<CRYPT_BIT_BLOB*>(target);
        blob->cbData = DWORD(valueLength);
        blob->pbData = valueLength ? bytes : nullptr;
        blob->cUnusedBits = unused;
    } else {
        auto* blob = reinterpret_cast<CRYPT_DATA_BLOB*>(target);
        blob->cbData = DWORD(valueLength);
        blob->pbData = valueLength ? bytes : nullptr;
    }
    *outSize = needed;
    return TRUE;
}
