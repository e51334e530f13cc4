// What installing keys and certificates may leave in a container: only a
// whole key that its certificate certifies. Envelopes and certificates are
// made here by the test's own cryptography (OpenSSL on Linux); installed keys
// are read back and compared with the key the CA made.
#include "ProviderSupport.h"

#include <cstring>
#include <string>

#include "CryptoAgent.h"
#include "ImportEncryptCert.h"

namespace {

const WCHAR kEnhanced[] = TEXT("Microsoft Enhanced Cryptographic Provider v1.0");
const WCHAR kTesseraRsa[] = TEXT("Tessera RSA Software CSP");
const WCHAR kTesseraSm2[] = TEXT("Tessera SM2 Software CSP");
constexpr ALG_ID kSm2Exchange = 0xBE00;

std::string Base64(const Bytes& data) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < data.size(); i += 3) {
        uint32_t v = uint32_t(data[i]) << 16;
        if (i + 1 < data.size()) v |= uint32_t(data[i + 1]) << 8;
        if (i + 2 < data.size()) v |= data[i + 2];
        out += alphabet[v >> 18];
        out += alphabet[(v >> 12) & 63];
        out += i + 1 < data.size() ? alphabet[(v >> 6) & 63] : '=';
        out += i + 2 < data.size() ? alphabet[v & 63] : '=';
    }
    return out;
}

WString Wide(const std::string& ascii) { return WString(ascii.begin(), ascii.end()); }

Bytes Der(unsigned char tag, const Bytes& content) {
    Bytes out{tag};
    size_t n = content.size();
    if (n < 0x80) {
        out.push_back((unsigned char)n);
    } else {
        Bytes octets;
        for (; n; n >>= 8) octets.insert(octets.begin(), (unsigned char)n);
        out.push_back((unsigned char)(0x80 | octets.size()));
        out.insert(out.end(), octets.begin(), octets.end());
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

std::string Field(size_t v) {
    char text[32];
    std::snprintf(text, sizeof text, "%016zu", v);
    return text;
}

// SEQUENCE { INTEGER 1, OCTET STRING key } in Base64 with its closing comma.
std::string Piece(const Bytes& key) {
    Bytes content = Der(0x02, {1});
    Bytes octets = Der(0x04, key);
    content.insert(content.end(), octets.begin(), octets.end());
    return Base64(Der(0x30, content)) + ",";
}

// The CA's envelope; privateStart is where the private-key piece begins.
std::string Envelope(size_t sessionType, const std::string& sessionPiece, const std::string& privatePiece,
                     size_t* privateStart = nullptr) {
    std::string head = Field(2) + Field(1) + Field(sessionType) + Field(sessionPiece.size()) + sessionPiece +
                       Field(privatePiece.size());
    if (privateStart) *privateStart = head.size();
    return head + privatePiece;
}

Bytes PersonalStoreCopy(const Bytes& cert, bool remove) {
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, TEXT("MY"));
    Bytes found;
    if (!store) return found;
    std::vector<PCCERT_CONTEXT> copies;
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c;
         c = CertEnumCertificatesInStore(store, c))
        if (Bytes(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded) == cert)
            copies.push_back(CertDuplicateCertificateContext(c));
    if (!copies.empty()) found = cert;
    for (PCCERT_CONTEXT c : copies) {
        if (remove) CertDeleteCertificateFromStore(c);  // frees the context
        else CertFreeCertificateContext(c);
    }
    CertCloseStore(store, 0);
    return found;
}
bool InPersonalStore(const Bytes& cert) { return !PersonalStoreCopy(cert, false).empty(); }

// A container with a temporary exchange key made outside the provider, so
// that the test can put it back.
class Container {
public:
    Container(const WCHAR* csp, bool sm2) : m_csp(csp), m_sm2(sm2), m_name(UniqueContainer("install")) {
        Prov prov;
        if (!prov.Acquire(m_name.c_str(), m_csp, PROV_RSA_FULL, CRYPT_NEWKEYSET)) return;
        if (sm2) {
            KeyH key;
            if (!CryptGenKey(prov.h, kSm2Exchange, CRYPT_EXPORTABLE, &key.h)) return;
            m_temporaryPoint = PointFromBlob(ExportBlob(key.h, PUBLICKEYBLOB));
            m_ready = true;
        } else {
            m_temporary = oracle::GenerateRsa(1024);
            m_ready = RestoreTemporaryKey();
        }
    }
    ~Container() {
        for (const Bytes& cert : m_certificates) PersonalStoreCopy(cert, true);
        HCRYPTPROV h = 0;
        CryptAcquireContextW(&h, m_name.c_str(), m_csp, PROV_RSA_FULL, m_sm2 ? 0xFFFF0002 : CRYPT_DELETEKEYSET);
    }
    bool Ready() const { return m_ready; }
    const WStr& Name() const { return m_name; }
    bool RestoreTemporaryKey() {
        Prov prov;
        KeyH key;
        return prov.Acquire(m_name.c_str(), m_csp, PROV_RSA_FULL, 0) &&
               CryptImportKey(prov.h, m_temporary.privateBlob.data(), DWORD(m_temporary.privateBlob.size()), 0,
                              CRYPT_EXPORTABLE, &key.h);
    }
    // The public key bits of the exchange key (DER RSAPublicKey or 04 || x || y).
    Bytes ExchangeKey() const {
        Prov prov;
        if (!prov.Acquire(m_name.c_str(), m_csp, PROV_RSA_FULL, m_sm2 ? CRYPT_VERIFYCONTEXT : 0)) return {};
        if (!m_sm2) return PublicKeyBits(prov.h, AT_KEYEXCHANGE);
        KeyH key;
        if (!CryptGetUserKey(prov.h, AT_KEYEXCHANGE, &key.h)) return {};
        return PointFromBlob(ExportBlob(key.h, PUBLICKEYBLOB));
    }
    bool HoldsTemporaryKey() const {
        return ExchangeKey() == (m_sm2 ? m_temporaryPoint : m_temporary.publicKeyDer);
    }
    Bytes ExchangePrivateBlob() const {
        Prov prov;
        KeyH key;
        if (!prov.Acquire(m_name.c_str(), m_csp, PROV_RSA_FULL, 0) || !CryptGetUserKey(prov.h, AT_KEYEXCHANGE, &key.h))
            return {};
        return ExportBlob(key.h, PRIVATEKEYBLOB);
    }
    // An RSA envelope of the CA's key for this container's temporary key.
    std::string RsaEnvelope(const oracle::RsaKey& caKey, size_t* privateStart = nullptr) const {
        Bytes session = oracle::RandomBytes(24);
        return Envelope(306, Piece(oracle::RsaEncryptPkcs1(m_temporary.publicKeyDer, session)),
                        Piece(oracle::TripleDesEncrypt(session, {}, caKey.privateKeyDer)), privateStart);
    }
    std::string Sm2Envelope(const Bytes& scalar) const {
        return Envelope(0, "", Piece(oracle::Sm2EncryptC1C3C2(m_temporaryPoint, scalar)));
    }
    // The certificate, Base64, remembered for removal from "MY".
    std::string Certificate(const Bytes& publicKey) {
        m_certificates.push_back(oracle::IssueCertificate(publicKey, m_sm2));
        return Base64(m_certificates.back());
    }
    const Bytes& LastCertificate() const { return m_certificates.back(); }

private:
    const WCHAR* m_csp;
    bool m_sm2;
    WStr m_name;
    bool m_ready = false;
    oracle::RsaKey m_temporary;
    Bytes m_temporaryPoint;
    std::vector<Bytes> m_certificates;
};

struct Route {
    const char* name;
    const WCHAR* csp;
    LONG bits;
};
void PrintTo(const Route& r, std::ostream* os) { *os << r.name; }

bool Usable(const WCHAR* csp) { return ProviderListed(csp) && oracle::Available(); }

HRESULT ImportEncryption(const Route& route, const Container& c, const std::string& envelope,
                         const std::string& cert, const WCHAR* algorithm = TEXT("RSA")) {
    return ImportEncryptCertEx(route.csp, c.Name(), algorithm, Wide(envelope), Wide(cert), route.bits,
                               CRYPT_EXPORTABLE);
}

// ---- damaged envelopes ---------------------------------------------------------

class DamagedEnvelope : public ::testing::TestWithParam<Route> {};

// One character of the private-key piece changed, at every position: the
// import fails and the temporary key stays, or (where the change leaves the
// key as it was) the CA's key is installed.
TEST_P(DamagedEnvelope, NeverInstallsADamagedKey) {
    const Route& route = GetParam();
    if (!Usable(route.csp)) GTEST_SKIP() << "provider not at hand";
    Container c(route.csp, false);
    ASSERT_TRUE(c.Ready()) << GetLastError();
    const oracle::RsaKey caKey = oracle::GenerateRsa(DWORD(route.bits));
    const std::string cert = c.Certificate(caKey.publicKeyDer);
    if (c.LastCertificate().empty()) GTEST_SKIP() << "no certificate authority at hand";
    size_t start = 0;
    const std::string good = c.RsaEnvelope(caKey, &start);
    size_t refused = 0, unchanged = 0;
    for (size_t i = start; i < good.size(); ++i) {
        std::string damaged = good;
        damaged[i] = good[i] == 'A' ? 'B' : 'A';
        HRESULT hr = ImportEncryption(route, c, damaged, cert);
        if (FAILED(hr)) {
            ++refused;
            ASSERT_TRUE(c.HoldsTemporaryKey()) << "position " << i - start << ": 0x" << std::hex << hr;
            continue;
        }
        ++unchanged;
        Bytes installed = c.ExchangePrivateBlob();
        ASSERT_TRUE(installed == caKey.privateBlob) << "position " << i - start << " installed another key";
        ASSERT_TRUE(oracle::RsaPrivateBlobValid(installed)) << "position " << i - start;
        ASSERT_TRUE(c.RestoreTemporaryKey());
    }
    EXPECT_GT(refused, (good.size() - start) * 9 / 10) << unchanged << " positions installed the key";
    ASSERT_EQ(ImportEncryption(route, c, good, cert), VELA_OK);
    Bytes installed = c.ExchangePrivateBlob();
    EXPECT_TRUE(installed == caKey.privateBlob);
    EXPECT_TRUE(oracle::RsaPrivateBlobValid(installed));
}

INSTANTIATE_TEST_SUITE_P(RsaRoutes, DamagedEnvelope,
                         ::testing::Values(Route{"plain", kEnhanced, 512}, Route{"encrypted_format", kTesseraRsa, 768}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- a certificate of another key --------------------------------------------------

// An import with the wrong certificate fails with the route's status and
// leaves the temporary key, so the right certificate still installs.
TEST(EncryptionImport, WrongCertificateKeepsTheTemporaryKey) {
    struct Case {
        Route route;
        bool sm2;
        HRESULT refused;
    } cases[] = {
        {{"plain, Microsoft", kEnhanced, 1024}, false, VELA_E_IMPORT_ENCRYPT_CERT},
        {{"plain, Tessera", kTesseraRsa, 1024}, false, VELA_E_IMPORT_ENCRYPT_CERT},
        {{"encrypted format", kTesseraRsa, 2048}, false, NTE_BAD_PUBLIC_KEY},
        {{"SM2", kTesseraSm2, 256}, true, NTE_BAD_PUBLIC_KEY},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.route.name);
        if (!Usable(k.route.csp) || (k.sm2 && !oracle::Sm2Available())) continue;
        Container c(k.route.csp, k.sm2);
        ASSERT_TRUE(c.Ready());
        std::string envelope, wrong, right;
        Bytes expected;
        if (k.sm2) {
            Bytes scalar, point, otherScalar, otherPoint;
            oracle::GenerateSm2(scalar, point);
            oracle::GenerateSm2(otherScalar, otherPoint);
            envelope = c.Sm2Envelope(scalar);
            wrong = c.Certificate(otherPoint);
            right = c.Certificate(point);
            expected = point;
        } else {
            oracle::RsaKey caKey = oracle::GenerateRsa(DWORD(k.route.bits));
            envelope = c.RsaEnvelope(caKey);
            wrong = c.Certificate(oracle::GenerateRsa(DWORD(k.route.bits)).publicKeyDer);
            right = c.Certificate(caKey.publicKeyDer);
            expected = caKey.publicKeyDer;
        }
        if (c.LastCertificate().empty()) GTEST_SKIP() << "no certificate authority at hand";
        const WCHAR* algorithm = k.sm2 ? TEXT("SM2") : TEXT("RSA");
        EXPECT_EQ(ImportEncryption(k.route, c, envelope, wrong, algorithm), k.refused);
        EXPECT_TRUE(c.HoldsTemporaryKey());
        ASSERT_EQ(ImportEncryption(k.route, c, envelope, right, algorithm), VELA_OK);
        EXPECT_EQ(c.ExchangeKey(), expected);
    }
}

// A signature certificate is linked to a container only when it certifies
// the container's key, on the store route and the key-parameter route.
TEST(SignatureImport, OnlyTheContainerKeysCertificateIsLinked) {
    struct Case {
        const char* name;
        const WCHAR* csp;
        DWORD keySpec;
    } cases[] = {
        {"Microsoft, exchange key", kEnhanced, AT_KEYEXCHANGE},
        {"Microsoft, signature key", kEnhanced, AT_SIGNATURE},
        {"Tessera", kTesseraRsa, AT_SIGNATURE},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        if (!Usable(k.csp)) continue;
        Container c(k.csp, false);
        ASSERT_TRUE(c.Ready());
        Bytes own;
        {
            Prov prov;
            KeyH key;
            ASSERT_TRUE(prov.Acquire(c.Name().c_str(), k.csp, PROV_RSA_FULL, 0));
            if (k.keySpec == AT_SIGNATURE) {
                ASSERT_TRUE(CryptGenKey(prov.h, AT_SIGNATURE, 1024u << 16, &key.h));
            }
            own = PublicKeyBits(prov.h, k.keySpec);
        }
        const std::string other = c.Certificate(oracle::GenerateRsa(1024).publicKeyDer);
        const Bytes otherDer = c.LastCertificate();
        if (otherDer.empty()) GTEST_SKIP() << "no certificate authority at hand";
        EXPECT_EQ(ImportSignCert(TEXT("RSA"), Wide(other), k.keySpec, k.csp, c.Name()), NTE_BAD_PUBLIC_KEY);
        EXPECT_FALSE(InPersonalStore(otherDer));
        const std::string right = c.Certificate(own);
        EXPECT_EQ(ImportSignCert(TEXT("RSA"), Wide(right), k.keySpec, k.csp, c.Name()), VELA_OK);
        EXPECT_TRUE(InPersonalStore(c.LastCertificate()));
    }
}

// ---- the two-certificate rollback --------------------------------------------------

struct Bstr {
    BSTR value;
    explicit Bstr(const WString& text) : value(SysAllocString(text.c_str())) {}
    explicit Bstr(const char* text) : Bstr(Wide(text)) {}
    ~Bstr() { SysFreeString(value); }
    operator BSTR() const { return value; }
};

bool Opens(const WCHAR* csp, const WStr& container) {
    Prov prov;
    return prov.Acquire(container.c_str(), csp, PROV_RSA_FULL, 0);
}

// A failed pair deletes the container it was given, but not a container
// that already held a complete enrollment of its own.
TEST(TwoCertificateInstallation, RollbackKeepsAnotherEnrollment) {
    for (const WCHAR* csp : {kEnhanced, kTesseraRsa}) {
        SCOPED_TRACE(Narrow(csp));
        if (!Usable(csp)) continue;
        Container enrolled(csp, false), fresh(csp, false);
        ASSERT_TRUE(enrolled.Ready() && fresh.Ready());
        const std::string cert = enrolled.Certificate(enrolled.ExchangeKey());
        if (enrolled.LastCertificate().empty()) GTEST_SKIP() << "no certificate authority at hand";
        ASSERT_EQ(ImportSignCert(TEXT("RSA"), Wide(cert), AT_KEYEXCHANGE, csp, enrolled.Name()), VELA_OK);

        CCryptoAgent agent;
        VARIANT_BOOL ok = VARIANT_FALSE;
        ASSERT_EQ(agent.VELA_SetCSPInfo(1024, Bstr(csp), &ok), VELA_OK);
        ASSERT_EQ(agent.VELA_SetKeyAlgorithm(Bstr("RSA"), &ok), VELA_OK);
        EXPECT_EQ(agent.VELA_ImportSignCert(3, Bstr("AAAA"), Bstr(fresh.Name()), &ok), VELA_OK);
        EXPECT_LT(agent.VELA_ImportSignCert(3, Bstr("AAAA"), Bstr(enrolled.Name()), &ok), 0);
        EXPECT_FALSE(Opens(csp, fresh.Name()));
        EXPECT_TRUE(Opens(csp, enrolled.Name()));
        EXPECT_TRUE(enrolled.HoldsTemporaryKey());
        EXPECT_TRUE(InPersonalStore(enrolled.LastCertificate()));
    }
}

}  // namespace
