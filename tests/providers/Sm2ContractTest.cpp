// The contract of the SM2 provider and of the encrypted-key import blobs of
// the non-Microsoft providers. Skipped where those providers are not listed.
#include "ProviderSupport.h"

#include "VendorKeyBlob.h"

#include <algorithm>
#include <cstring>

namespace {

const WCHAR kSm2Name[] = TEXT("Tessera SM2 Software CSP");
const WCHAR kRsaName[] = TEXT("Tessera RSA Software CSP");
constexpr ALG_ID kSm2Exchange = 0xBE00;
constexpr ALG_ID kSm2Signature = 0x3E00;
constexpr ALG_ID kSm3 = 0x800F;
constexpr DWORD kSm2Delete = 0xFFFF0002;

class Sm2Contract : public ::testing::Test {
protected:
    void SetUp() override {
        if (!ProviderListed(kSm2Name) || !oracle::Sm2Available()) GTEST_SKIP() << "no SM2 provider";
        m_container = UniqueContainer("sm2");
    }
    void TearDown() override {
        HCRYPTPROV h = 0;
        if (!m_container.empty()) CryptAcquireContextW(&h, m_container.c_str(), kSm2Name, 1, kSm2Delete);
    }
    bool Create(Prov& prov) { return prov.Acquire(m_container.c_str(), kSm2Name, 1, CRYPT_NEWKEYSET); }
    WStr m_container;
};

TEST_F(Sm2Contract, KeysExportAsBlobsAndSignaturesVerifyWithTheDefaultIdentifier) {
    Prov prov;
    ASSERT_TRUE(Create(prov));
    struct Case {
        ALG_ID algorithm;
        DWORD keySpec;
        DWORD flags;
    };
    for (const Case& c : {Case{kSm2Exchange, AT_KEYEXCHANGE, 0}, Case{kSm2Signature, AT_SIGNATURE, 256u << 16}}) {
        SCOPED_TRACE(c.algorithm);
        KeyH key;
        ASSERT_TRUE(CryptGenKey(prov.h, c.algorithm, c.flags, &key.h)) << GetLastError();
        Bytes blob = ExportBlob(key.h, PUBLICKEYBLOB);
        ASSERT_EQ(blob.size(), 140u);
        DWORD bits;
        std::memcpy(&bits, &blob[8], 4);
        EXPECT_EQ(bits, 256u);
        Bytes point = PointFromBlob(blob);

        Bytes message = Text("SM2 CertificationRequestInfo");
        Bytes signature = SignMessage(prov.h, kSm3, c.keySpec, message);
        ASSERT_EQ(signature.size(), 64u);
        EXPECT_TRUE(oracle::VerifySm2(point, message, RawSignature(signature), "1234567812345678"));
        EXPECT_FALSE(oracle::VerifySm2(point, message, RawSignature(signature), ""));
        ALG_ID algorithm = 0;
        DWORD size = 4;
        ASSERT_TRUE(CryptGetKeyParam(key.h, KP_ALGID, (BYTE*)&algorithm, &size, 0));
        EXPECT_EQ(algorithm, c.algorithm);
    }
}

TEST_F(Sm2Contract, HashesWithSm3AndRefusesRsaAlgorithms) {
    Prov prov;
    ASSERT_TRUE(Create(prov));
    HashH hash;
    ASSERT_TRUE(CryptCreateHash(prov.h, kSm3, 0, 0, &hash.h));
    Bytes abc = Text("abc");
    ASSERT_TRUE(CryptHashData(hash.h, abc.data(), 3, 0));
    Bytes value(32);
    DWORD size = 32;
    ASSERT_TRUE(CryptGetHashParam(hash.h, HP_HASHVAL, value.data(), &size, 0));
    const Bytes expected = {0x66, 0xc7, 0xf0, 0xf4, 0x62, 0xee, 0xed, 0xd9, 0xd1, 0xf2, 0xd4,
                            0x6b, 0xdc, 0x10, 0xe4, 0xe2, 0x41, 0x67, 0xc4, 0x87, 0x5c, 0xf2,
                            0xf7, 0xa2, 0x29, 0x7d, 0xa0, 0x2b, 0x8f, 0x4b, 0xa8, 0xe0};
    EXPECT_EQ(value, expected);

    HashH sha;
    EXPECT_FALSE(CryptCreateHash(prov.h, CALG_SHA1, 0, 0, &sha.h));
    EXPECT_EQ(GetLastError(), Code(NTE_BAD_ALGID));
    KeyH rsa;
    EXPECT_FALSE(CryptGenKey(prov.h, CALG_RSA_KEYX, 0, &rsa.h));
    EXPECT_EQ(GetLastError(), Code(NTE_BAD_ALGID));
    // A length configured for RSA still gives a 256-bit SM2 key.
    ASSERT_TRUE(CryptGenKey(prov.h, kSm2Exchange, 1024u << 16, &rsa.h));
    DWORD bits = 0;
    size = sizeof(bits);
    ASSERT_TRUE(CryptGetKeyParam(rsa.h, KP_KEYLEN, (BYTE*)&bits, &size, 0));
    EXPECT_EQ(bits, 256u);
}

TEST_F(Sm2Contract, VerifyContextWithANameReachesTheContainerAndItsOwnFlagDeletes) {
    Bytes blob;
    {
        Prov prov;
        ASSERT_TRUE(Create(prov));
        KeyH key;
        ASSERT_TRUE(CryptGenKey(prov.h, kSm2Exchange, 0, &key.h));
        blob = ExportBlob(key.h, PUBLICKEYBLOB);
    }
    {
        Prov verify;
        ASSERT_TRUE(verify.Acquire(m_container.c_str(), kSm2Name, 1, CRYPT_VERIFYCONTEXT));
        KeyH user;
        ASSERT_TRUE(CryptGetUserKey(verify.h, AT_KEYEXCHANGE, &user.h));
        EXPECT_EQ(ExportBlob(user.h, PUBLICKEYBLOB), blob);
    }
    HCRYPTPROV h = 0;
    EXPECT_TRUE(CryptAcquireContextW(&h, m_container.c_str(), kSm2Name, 1, kSm2Delete));
    EXPECT_FALSE(CryptAcquireContextW(&h, m_container.c_str(), kSm2Name, 1, 0));
    EXPECT_EQ(GetLastError(), Code(NTE_BAD_KEYSET));
    EXPECT_FALSE(CryptAcquireContextW(&h, m_container.c_str(), kSm2Name, 1, CRYPT_VERIFYCONTEXT));
    // The flag is the SM2 provider's own: the RSA providers refuse it.
    EXPECT_FALSE(CryptAcquireContextW(&h, m_container.c_str(), kRsaName, 1, kSm2Delete));
    EXPECT_EQ(GetLastError(), Code(NTE_BAD_FLAGS));
}

// The CA encrypts the user's encryption private scalar under the request's
// temporary exchange key; the provider decrypts it and installs the pair.
TEST_F(Sm2Contract, ImportsTheEncryptedExchangeKeyInC1C3C2OrderOnly) {
    Prov prov;
    ASSERT_TRUE(Create(prov));
    KeyH temporary;
    ASSERT_TRUE(CryptGenKey(prov.h, kSm2Exchange, 0, &temporary.h));
    Bytes temporaryPoint = PointFromBlob(ExportBlob(temporary.h, PUBLICKEYBLOB));
    Bytes scalar, point;
    oracle::GenerateSm2(scalar, point);
    Bytes c1c3c2 = oracle::Sm2EncryptC1C3C2(temporaryPoint, scalar);
    ASSERT_EQ(c1c3c2.size(), 128u);
    Bytes c1c2c3 = c1c3c2;  // C3 (32 bytes at 64) moved behind C2
    std::rotate(c1c2c3.begin() + 64, c1c2c3.begin() + 96, c1c2c3.end());

    Prov verify;
    ASSERT_TRUE(verify.Acquire(m_container.c_str(), kSm2Name, 1, CRYPT_VERIFYCONTEXT));
    struct Attempt {
        const Bytes* cipher;
        size_t blobSize;
        bool accepted;
    };
    const Attempt attempts[] = {
        {&c1c2c3, sizeof(VENDOR_SM2_ENCRYPTED_KEY_BLOB), false},
        {&c1c3c2, 20, false},  // the address field truncated to 32 bits is refused
        {&c1c3c2, sizeof(VENDOR_SM2_ENCRYPTED_KEY_BLOB), true},
    };
    for (const Attempt& a : attempts) {
        BYTE blob[sizeof(VENDOR_SM2_ENCRYPTED_KEY_BLOB)];
        FillVendorSm2KeyBlob(blob, a.cipher->data(), DWORD(a.cipher->size()));
        KeyH imported;
        BOOL ok = CryptImportKey(verify.h, blob, DWORD(std::min(a.blobSize, sizeof(blob))), 0, CRYPT_EXPORTABLE,
                                 &imported.h);
        EXPECT_EQ(ok != FALSE, a.accepted);
        if (ok) {
            EXPECT_EQ(PointFromBlob(ExportBlob(imported.h, PUBLICKEYBLOB)), point);
        }
    }
    if (sizeof(void*) == 8) {
        EXPECT_EQ(sizeof(VENDOR_SM2_ENCRYPTED_KEY_BLOB), 24u);
    }

    // The installed pair is the container's exchange key from now on.
    Prov reopened;
    ASSERT_TRUE(reopened.Acquire(m_container.c_str(), kSm2Name, 1, 0));
    Bytes message = Text("encryption pair");
    EXPECT_TRUE(oracle::VerifySm2(point, message, RawSignature(SignMessage(reopened.h, kSm3, AT_KEYEXCHANGE, message)),
                                  "1234567812345678"));
}

class TesseraRsaImport : public ::testing::Test {
protected:
    void SetUp() override {
        if (!ProviderListed(kRsaName) || !oracle::Sm2Available()) GTEST_SKIP() << "no Tessera RSA provider";
        m_container = UniqueContainer("rsa-envelope");
    }
    void TearDown() override {
        HCRYPTPROV h = 0;
        if (!m_container.empty()) CryptAcquireContextW(&h, m_container.c_str(), kRsaName, 1, CRYPT_DELETEKEYSET);
    }
    WStr m_container;
};

void AppendDer(Bytes& out, unsigned char tag, const Bytes& content) {
    out.push_back(tag);
    size_t n = content.size();
    if (n < 0x80) {
        out.push_back((unsigned char)n);
    } else if (n < 0x100) {
        out.push_back(0x81);
        out.push_back((unsigned char)n);
    } else {
        out.push_back(0x82);
        out.push_back((unsigned char)(n >> 8));
        out.push_back((unsigned char)n);
    }
    out.insert(out.end(), content.begin(), content.end());
}

Bytes Envelope(const Bytes& encryptedSessionKey, const Bytes& encryptedPrivateKey, bool knownAlgorithm) {
    Bytes body = {0x02, 0x01, 0x01};
    AppendDer(body, 0x06, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01});
    if (knownAlgorithm)
        AppendDer(body, 0x06, {0x2B, 0x06, 0x01, 0x04, 0x01, 0xA6, 0x41, 0x01, 0x07});  // 1.3.6.1.4.1.4929.1.7
    else
        AppendDer(body, 0x06, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x03, 0x07});  // des-ede3-cbc
    AppendDer(body, 0x04, encryptedSessionKey);
    AppendDer(body, 0x04, encryptedPrivateKey);
    Bytes out;
    AppendDer(out, 0x30, body);
    return out;
}

TEST_F(TesseraRsaImport, DecryptsTheEnvelopeAndInstallsTheExchangePair) {
    Prov prov;
    ASSERT_TRUE(prov.Acquire(m_container.c_str(), kRsaName, 1, CRYPT_NEWKEYSET));
    KeyH temporary, signing;
    ASSERT_TRUE(CryptGenKey(prov.h, AT_KEYEXCHANGE, 1024u << 16, &temporary.h));
    ASSERT_TRUE(CryptGenKey(prov.h, AT_SIGNATURE, 1024u << 16, &signing.h));
    Bytes signingKey = PublicKeyBits(prov.h, AT_SIGNATURE);

    oracle::RsaKey encryption = oracle::GenerateRsa(2048);
    Bytes sessionKey = oracle::RandomBytes(24);
    Bytes encryptedKey = oracle::TripleDesEncrypt(sessionKey, {}, encryption.privateKeyDer);
    Bytes encryptedSession = oracle::RsaEncryptPkcs1(PublicKeyBits(prov.h, AT_KEYEXCHANGE), sessionKey);
    Bytes good = Envelope(encryptedSession, encryptedKey, true);
    Bytes unknown = Envelope(encryptedSession, encryptedKey, false);
    Bytes reversedSession = Envelope(Reversed(encryptedSession), encryptedKey, true);

    struct Attempt {
        const Bytes* envelope;
        size_t blobSize;
        bool accepted;
    };
    const Attempt attempts[] = {
        {&unknown, sizeof(VENDOR_RSA_ENCRYPTED_KEY_BLOB), false},
        {&reversedSession, sizeof(VENDOR_RSA_ENCRYPTED_KEY_BLOB), false},
        {&good, 24, false},  // the address field truncated to 32 bits is refused
        {&good, sizeof(VENDOR_RSA_ENCRYPTED_KEY_BLOB), true},
    };
    for (const Attempt& a : attempts) {
        BYTE blob[sizeof(VENDOR_RSA_ENCRYPTED_KEY_BLOB)];
        FillVendorRsaKeyBlob(blob, 2048, a.envelope->data(), DWORD(a.envelope->size()));
        KeyH imported;
        BOOL ok = CryptImportKey(prov.h, blob, DWORD(std::min(a.blobSize, sizeof(blob))), 0, 0, &imported.h);
        EXPECT_EQ(ok != FALSE, a.accepted);
    }
    if (sizeof(void*) == 8) {
        EXPECT_EQ(sizeof(VENDOR_RSA_ENCRYPTED_KEY_BLOB), 28u);
    }

    Prov reopened;
    ASSERT_TRUE(reopened.Acquire(m_container.c_str(), kRsaName, 1, 0));
    EXPECT_EQ(PublicKeyBits(reopened.h, AT_KEYEXCHANGE), encryption.publicKeyDer);
    EXPECT_EQ(PublicKeyBits(reopened.h, AT_SIGNATURE), signingKey);
    Bytes message = Text("CA-made pair");
    EXPECT_TRUE(oracle::VerifyRsaSha1(encryption.publicKeyDer, message,
                                      Reversed(SignMessage(reopened.h, CALG_SHA1, AT_KEYEXCHANGE, message))));
}

}  // namespace
