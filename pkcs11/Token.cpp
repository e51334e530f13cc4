// Reads the token's objects from the user's "MY" store and key containers,
// through the certificate and provider calls of the platform layer.
#include "Token.h"

#include <wincrypt.h>

#include <tessera/key_access.h>
#include <tessera/platform_internal.h>
#include <tessera/store_snapshot.h>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>

namespace tessera::pkcs11 {

Bytes UlongValue(unsigned long value) {
    Bytes bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

Bytes BoolValue(bool value) { return Bytes{static_cast<unsigned char>(value ? 1 : 0)}; }

namespace {

// The named curve of SM2 keys (1.2.156.10197.1.301), DER-encoded.
const Bytes kSm2CurveOid = {0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D};

struct X509Deleter {
    void operator()(X509* p) const { X509_free(p); }
};
struct StoreCloser {
    void operator()(void* s) const { CertCloseStore(s, 0); }
};

Bytes Der(int (*encode)(const X509_NAME*, unsigned char**), const X509_NAME* name) {
    unsigned char* out = nullptr;
    int length = encode(name, &out);
    Bytes bytes;
    if (length > 0) bytes.assign(out, out + length);
    OPENSSL_free(out);
    return bytes;
}

Bytes SerialDer(const X509* x509) {
    unsigned char* out = nullptr;
    int length = i2d_ASN1_INTEGER(X509_get0_serialNumber(x509), &out);
    Bytes bytes;
    if (length > 0) bytes.assign(out, out + length);
    OPENSSL_free(out);
    return bytes;
}

Bytes BigEndianParam(const EVP_PKEY* pkey, const char* name) {
    BIGNUM* bn = nullptr;
    Bytes bytes;
    if (EVP_PKEY_get_bn_param(pkey, name, &bn) == 1) {
        bytes.resize(size_t(BN_num_bytes(bn)));
        BN_bn2bin(bn, bytes.data());
    }
    BN_free(bn);
    return bytes;
}

std::string Utf8Label(PCCERT_CONTEXT context) {
    DWORD length = CertGetNameStringW(context, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    if (length <= 1) return {};
    std::u16string name(length, u'\0');
    CertGetNameStringW(context, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name.data(), length);
    return ToUtf8(name.c_str());
}

bool ReadLink(PCCERT_CONTEXT context, KeyLink& link) {
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) return false;
    std::vector<uint64_t> buffer((size + 7) / 8);
    auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buffer.data());
    if (!CertGetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, info, &size)) return false;
    if (!info->pwszProvName || !info->pwszContainerName) return false;
    link.container = info->pwszContainerName;
    link.provider = info->pwszProvName;
    link.providerType = info->dwProvType;
    link.keySpec = info->dwKeySpec;
    link.acquireFlags = info->dwFlags & CRYPT_MACHINE_KEYSET;
    return link.keySpec == AT_KEYEXCHANGE || link.keySpec == AT_SIGNATURE;
}

// Whether the container still holds the pair the certificate names.
bool KeyPresent(const KeyLink& link) {
    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextW(&provider, link.container.c_str(), link.provider.c_str(), link.providerType,
                              link.acquireFlags))
        return false;
    HCRYPTKEY key = 0;
    bool present = CryptGetUserKey(provider, link.keySpec, &key) != FALSE;
    if (present) CryptDestroyKey(key);
    CryptReleaseContext(provider, 0);
    return present;
}

std::string Utf8(const std::u16string& text) { return ToUtf8(text.c_str()); }

void AddCommon(Object& o, ck_object_class_t objectClass, const Bytes& id, const std::string& label) {
    o.objectClass = objectClass;
    o.attributes[CKA_CLASS] = UlongValue(objectClass);
    o.attributes[CKA_TOKEN] = BoolValue(true);
    o.attributes[CKA_PRIVATE] = BoolValue(false);
    o.attributes[CKA_MODIFIABLE] = BoolValue(false);
    o.attributes[CKA_COPYABLE] = BoolValue(false);
    o.attributes[CKA_DESTROYABLE] = BoolValue(false);
    o.attributes[CKA_LABEL] = Bytes(label.begin(), label.end());
    o.attributes[CKA_ID] = id;
}

// Key attributes that the public and the private object share.
void AddKeyCommon(Object& o, const KeyLink& link, EVP_PKEY* pkey, const X509* x509, const Bytes& subject) {
    o.link = link;
    o.sm2 = EVP_PKEY_is_a(pkey, "SM2") || EVP_PKEY_is_a(pkey, "EC");
    o.keyType = o.sm2 ? CKK_EC : CKK_RSA;
    o.attributes[CKA_KEY_TYPE] = UlongValue(o.keyType);
    o.attributes[CKA_SUBJECT] = subject;
    o.attributes[CKA_DERIVE] = BoolValue(false);
    o.attributes[CKA_LOCAL] = BoolValue(false);
    if (o.sm2) {
        o.attributes[CKA_EC_PARAMS] = kSm2CurveOid;
        const ASN1_BIT_STRING* bits = X509_get0_pubkey_bitstr(x509);
        Bytes point{0x04, static_cast<unsigned char>(bits->length)};  // OCTET STRING of the uncompressed point
        point.insert(point.end(), bits->data, bits->data + bits->length);
        o.attributes[CKA_EC_POINT] = point;
    } else {
        o.attributes[CKA_MODULUS] = BigEndianParam(pkey, OSSL_PKEY_PARAM_RSA_N);
        o.attributes[CKA_PUBLIC_EXPONENT] = BigEndianParam(pkey, OSSL_PKEY_PARAM_RSA_E);
    }
}

}  // namespace

void Token::Put(const std::string& identity, Object object) {
    auto found = m_handles.find(identity);
    ck_object_handle_t handle = found != m_handles.end() ? found->second : m_next++;
    m_handles[identity] = handle;
    m_objects.emplace(handle, std::move(object));
}

void Token::Refresh() {
    std::map<ck_object_handle_t, Bytes> keyIds;
    for (const auto& [handle, key] : m_keys) keyIds[handle] = m_objects.at(handle).attributes.at(CKA_ID);
    m_objects.clear();
    RefreshObjects();
    // Keep a loaded key only while its object stays, with the same key.
    for (auto it = m_keys.begin(); it != m_keys.end();) {
        auto found = m_objects.find(it->first);
        bool same = found != m_objects.end() && found->second.attributes.at(CKA_ID) == keyIds[it->first];
        it = same ? std::next(it) : m_keys.erase(it);
    }
}

SharedKey Token::PrivateKey(ck_object_handle_t handle) {
    auto cached = m_keys.find(handle);
    if (cached != m_keys.end()) return cached->second;
    const Object* o = Find(handle);
    if (!o || o->objectClass != CKO_PRIVATE_KEY) return nullptr;
    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextW(&provider, o->link.container.c_str(), o->link.provider.c_str(), o->link.providerType,
                              o->link.acquireFlags))
        return nullptr;  // the container went away since the objects were read
    SharedKey key(TesseraCryptPrivateKey(provider, o->link.keySpec), EVP_PKEY_free);
    CryptReleaseContext(provider, 0);
    if (key) m_keys[handle] = key;
    return key;
}

void Token::RefreshObjects() {
    StoreReadSnapshot snapshot;
    std::unique_ptr<void, StoreCloser> store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                                           CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG,
                                                           u"MY"));
    if (!store) return;
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store.get(), nullptr); c;
         c = CertEnumCertificatesInStore(store.get(), c)) {
        KeyLink link;
        if (!ReadLink(c, link) || !KeyPresent(link)) continue;
        const unsigned char* p = c->pbCertEncoded;
        std::unique_ptr<X509, X509Deleter> x509(d2i_X509(nullptr, &p, long(c->cbCertEncoded)));
        EVP_PKEY* pkey = x509 ? X509_get0_pubkey(x509.get()) : nullptr;
        if (!pkey) continue;
        const ASN1_BIT_STRING* bits = X509_get0_pubkey_bitstr(x509.get());
        Bytes id(SHA_DIGEST_LENGTH);
        SHA1(bits->data, size_t(bits->length), id.data());
        std::string label = Utf8Label(c);
        Bytes value(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded);
        Bytes subject = Der(i2d_X509_NAME, X509_get_subject_name(x509.get()));

        Object cert;
        AddCommon(cert, CKO_CERTIFICATE, id, label);
        cert.link = link;
        cert.attributes[CKA_CERTIFICATE_TYPE] = UlongValue(CKC_X_509);
        cert.attributes[CKA_TRUSTED] = BoolValue(false);
        cert.attributes[CKA_CERTIFICATE_CATEGORY] = UlongValue(1);  // token user
        cert.attributes[CKA_VALUE] = value;
        cert.attributes[CKA_SUBJECT] = subject;
        cert.attributes[CKA_ISSUER] = Der(i2d_X509_NAME, X509_get_issuer_name(x509.get()));
        cert.attributes[CKA_SERIAL_NUMBER] = SerialDer(x509.get());
        Bytes digest(SHA_DIGEST_LENGTH);
        SHA1(value.data(), value.size(), digest.data());
        cert.attributes[CKA_CHECK_VALUE] = Bytes(digest.begin(), digest.begin() + 3);
        Put("cert:" + std::string(digest.begin(), digest.end()), std::move(cert));

        const std::string keyIdentity = Utf8(link.provider) + "\n" + Utf8(link.container) + "\n" +
                                        std::to_string(link.keySpec) + "\n" + std::to_string(link.acquireFlags);
        if (m_handles.count("priv:" + keyIdentity) && m_objects.count(m_handles["priv:" + keyIdentity])) continue;
        const bool exchange = link.keySpec == AT_KEYEXCHANGE;

        Object priv;
        AddCommon(priv, CKO_PRIVATE_KEY, id, label);
        AddKeyCommon(priv, link, pkey, x509.get(), subject);
        priv.attributes[CKA_SENSITIVE] = BoolValue(true);
        priv.attributes[CKA_EXTRACTABLE] = BoolValue(false);
        // The provider may have imported the key or may export it, so neither
        // is promised.
        priv.attributes[CKA_ALWAYS_SENSITIVE] = BoolValue(false);
        priv.attributes[CKA_NEVER_EXTRACTABLE] = BoolValue(false);
        priv.attributes[CKA_SIGN] = BoolValue(true);
        priv.attributes[CKA_SIGN_RECOVER] = BoolValue(false);
        priv.attributes[CKA_DECRYPT] = BoolValue(exchange && !priv.sm2);
        priv.attributes[CKA_UNWRAP] = BoolValue(false);
        priv.attributes[CKA_ALWAYS_AUTHENTICATE] = BoolValue(false);
        priv.attributes[CKA_WRAP_WITH_TRUSTED] = BoolValue(false);

        Object pub;
        AddCommon(pub, CKO_PUBLIC_KEY, id, label);
        AddKeyCommon(pub, link, pkey, x509.get(), subject);
        pub.attributes[CKA_VERIFY] = BoolValue(true);
        pub.attributes[CKA_VERIFY_RECOVER] = BoolValue(false);
        pub.attributes[CKA_ENCRYPT] = BoolValue(exchange && !pub.sm2);
        pub.attributes[CKA_WRAP] = BoolValue(false);
        pub.attributes[CKA_TRUSTED] = BoolValue(false);
        if (!pub.sm2) pub.attributes[CKA_MODULUS_BITS] = UlongValue(static_cast<unsigned long>(EVP_PKEY_get_bits(pkey)));

        Put("priv:" + keyIdentity, std::move(priv));
        Put("pub:" + keyIdentity, std::move(pub));
    }
}

const Object* Token::Find(ck_object_handle_t handle) const {
    auto found = m_objects.find(handle);
    return found == m_objects.end() ? nullptr : &found->second;
}

std::vector<ck_object_handle_t> Token::Match(const ck_attribute* templ, unsigned long count) const {
    std::vector<ck_object_handle_t> handles;
    for (const auto& [handle, object] : m_objects) {
        bool all = true;
        for (unsigned long i = 0; i < count && all; ++i) {
            auto found = object.attributes.find(templ[i].type);
            const auto* want = static_cast<const unsigned char*>(templ[i].value);
            all = found != object.attributes.end() && found->second.size() == templ[i].value_len &&
                  (templ[i].value_len == 0 || std::memcmp(found->second.data(), want, templ[i].value_len) == 0);
        }
        if (all) handles.push_back(handle);
    }
    return handles;
}

}  // namespace tessera::pkcs11
