// Reading the CA's envelope, rebuilding the PKCS #1 key as a private-key
// blob, and reordering SM2 ciphertexts.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ImportEncryptCert.h"

namespace {

using Bytes = std::vector<BYTE>;

Bytes Der(BYTE tag, const Bytes& content) {
    Bytes out{tag};
    size_t n = content.size();
    if (n < 0x80) {
        out.push_back(BYTE(n));
    } else {
        Bytes octets;
        for (; n; n >>= 8) octets.insert(octets.begin(), BYTE(n));
        out.push_back(BYTE(0x80 | octets.size()));
        out.insert(out.end(), octets.begin(), octets.end());
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::string Base64(const Bytes& data) {
    CharBuffer text;
    DWORD length = 0;
    Base64EncodeEx((DWORD)data.size(), text, data.data(), length);
    return std::string(text.get(), length);
}

WString Wide(const std::string& ascii) { return WString(ascii.begin(), ascii.end()); }

std::string Field(long long v) {
    char text[32];
    std::snprintf(text, sizeof text, "%016lld", v);
    return text;
}

// SEQUENCE { INTEGER 1, OCTET STRING key }, Base64, ',' appended.
std::string Piece(const Bytes& key) { return Base64(Der(0x30, Cat({Der(0x02, {1}), Der(0x04, key)}))) + ","; }

std::string Envelope(long long device, long long encrypt, long long session, const std::string& sessionPiece,
                     const std::string& privatePiece) {
    return Field(device) + Field(encrypt) + Field(session) + Field((long long)sessionPiece.size()) + sessionPiece +
           Field((long long)privatePiece.size()) + privatePiece;
}

const Bytes kSession = {0x11, 0x22, 0x33, 0x44};
const Bytes kPrivate = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5};

struct ReadCase {
    const char* what;
    std::string text;
    HRESULT strict;
    HRESULT extended;
};

TEST(Envelope, HeaderPiecesAndFaults) {
    const std::string s = Piece(kSession), p = Piece(kPrivate);
    const std::string good = Envelope(2, 1, 306, s, p);
    std::string noComma = Envelope(2, 1, 306, s.substr(0, s.size() - 1) + "A", p);
    std::string threeElements =
        Envelope(2, 1, 306, s, Base64(Der(0x30, Cat({Der(2, {1}), Der(4, kPrivate), Der(4, kPrivate)}))) + ",");
    std::string otherTags = Envelope(2, 1, 306, s, Base64(Der(0x30, Cat({Der(0x04, {9}), Der(0x02, kPrivate)}))) + ",");
    std::string commasInside = Envelope(2, 1, 306, s, p.substr(0, 4) + "," + p.substr(4));
    const ReadCase cases[] = {
        {"well formed", good, VELA_OK, VELA_OK},
        {"space padded", "               2               1             306" + Field((long long)s.size()) + s +
                             Field((long long)p.size()) + p,
         VELA_OK, VELA_OK},
        {"trailing text ignored", good + "whatever follows", VELA_OK, VELA_OK},
        {"commas inside a piece", commasInside, VELA_OK, VELA_OK},
        {"device 0", Envelope(0, 2, 306, s, p), VELA_OK, VELA_OK},
        {"device 3", Envelope(3, 1, 306, s, p), VELA_E_INVALID_KEY_DEVICE_TYPE, VELA_E_INVALID_KEY_DEVICE_TYPE},
        {"device -1", Envelope(-1, 1, 306, s, p), VELA_E_INVALID_KEY_DEVICE_TYPE, VELA_E_INVALID_KEY_DEVICE_TYPE},
        {"encrypt 0", Envelope(2, 0, 306, s, p), VELA_E_INVALID_KEY_ENCRYPT_TYPE, VELA_E_INVALID_KEY_ENCRYPT_TYPE},
        {"encrypt 3", Envelope(2, 3, 306, s, p), VELA_E_INVALID_KEY_ENCRYPT_TYPE, VELA_E_INVALID_KEY_ENCRYPT_TYPE},
        {"no session key", Envelope(2, 1, 0, "", p), VELA_E_INVALID_SESSION_KEY_TYPE, VELA_OK},
        {"no session key, piece ignored", Envelope(2, 1, 0, "garbage,", p), VELA_E_INVALID_SESSION_KEY_TYPE, VELA_OK},
        {"session type 305", Envelope(2, 1, 305, s, p), VELA_E_INVALID_SESSION_KEY_TYPE,
         VELA_E_INVALID_SESSION_KEY_TYPE},
        {"length beyond the text", Field(2) + Field(1) + Field(306) + Field(9999) + s + Field((long long)p.size()) + p,
         VELA_E_IMPORT_ENCRYPT_CERT, VELA_E_IMPORT_ENCRYPT_CERT},
        {"negative length", Field(2) + Field(1) + Field(306) + Field(-4) + s, VELA_E_IMPORT_ENCRYPT_CERT,
         VELA_E_IMPORT_ENCRYPT_CERT},
        {"piece without final comma", noComma, VELA_E_IMPORT_ENCRYPT_CERT, VELA_E_IMPORT_ENCRYPT_CERT},
        {"missing private piece", Field(2) + Field(1) + Field(306) + Field((long long)s.size()) + s,
         VELA_E_IMPORT_ENCRYPT_CERT, VELA_E_IMPORT_ENCRYPT_CERT},
        {"short length field", Field(2) + Field(1) + Field(306) + Field((long long)s.size()) + s + "0000012",
         VELA_E_IMPORT_ENCRYPT_CERT, VELA_E_IMPORT_ENCRYPT_CERT},
        {"three elements", threeElements, VELA_E_IMPORT_ENCRYPT_CERT, VELA_E_IMPORT_ENCRYPT_CERT},
        {"other tags accepted", otherTags, VELA_OK, VELA_OK},
        {"header cut short", Field(2) + Field(1) + "306", VELA_E_IMPORT_ENCRYPT_CERT, VELA_E_IMPORT_ENCRYPT_CERT},
        {"empty", "", VELA_E_IMPORT_ENCRYPT_CERT, VELA_E_IMPORT_ENCRYPT_CERT},
        {"not DER", Envelope(2, 1, 306, s, Base64({0x30, 0x05, 0x02}) + ","), VELA_E_IMPORT_ENCRYPT_CERT,
         VELA_E_IMPORT_ENCRYPT_CERT},
    };
    for (const ReadCase& c : cases) {
        EncryptedKeyEnvelope strict, extended;
        EXPECT_EQ(ParseEncryptCertPrivateKeyData(Wide(c.text), strict), c.strict) << c.what;
        EXPECT_EQ(ParseEncryptCertPrivateKeyDataEx(Wide(c.text), extended), c.extended) << c.what;
    }
}

TEST(Envelope, ExtractedKeys) {
    EncryptedKeyEnvelope envelope;
    ASSERT_EQ(ParseEncryptCertPrivateKeyData(Wide(Envelope(2, 1, 306, Piece(kSession), Piece(kPrivate))), envelope),
              VELA_OK);
    EXPECT_EQ(envelope.aiSessionAlgorithm, (ALG_ID)CALG_3DES);
    EXPECT_EQ(Bytes(envelope.sessionKey.Data(), envelope.sessionKey.Data() + envelope.sessionKey.Size()), kSession);
    EXPECT_EQ(Bytes(envelope.privateKey.Data(), envelope.privateKey.Data() + envelope.privateKey.Size()), kPrivate);

    EncryptedKeyEnvelope noSession;
    ASSERT_EQ(ParseEncryptCertPrivateKeyDataEx(Wide(Envelope(1, 2, 0, Piece(kSession), Piece(kPrivate))), noSession),
              VELA_OK);
    EXPECT_EQ(noSession.aiSessionAlgorithm, 0u);
    EXPECT_EQ(noSession.sessionKey.Size(), 0u);
    EXPECT_EQ(noSession.privateKey.Size(), kPrivate.size());
}

TEST(Envelope, CertificateTextIgnoresCommas) {
    Bytes cert = Der(0x30, Bytes(200, 0x5A));
    std::string text = Base64(cert);
    std::string withCommas;
    for (size_t i = 0; i < text.size(); ++i) {
        withCommas += text[i];
        if (i % 7 == 3) withCommas += ',';
    }
    for (const std::string& t : {text, withCommas}) {
        ByteBuffer bytes;
        DWORD length = 0;
        ASSERT_EQ(ParseEncryptCertPublicKeyCert(Wide(t), bytes, length), VELA_OK);
        EXPECT_EQ(Bytes(bytes.get(), bytes.get() + length), cert);
    }
    ByteBuffer bytes;
    DWORD length = 0;
    EXPECT_LT(ParseEncryptCertPublicKeyCert(Wide("!!!,,,"), bytes, length), 0);
}

// ---- SM2 ciphertext order --------------------------------------------------------

Bytes Pattern(size_t n) {
    Bytes v(n);
    for (size_t i = 0; i < n; ++i) v[i] = BYTE(i * 13 + 1);
    return v;
}

TEST(Sm2Order, ReorderingRoundTripsAndGuardsItsBounds) {
    for (size_t n : {96u, 97u, 128u, 200u}) {
        Bytes c1c3c2 = Pattern(n);
        ByteBuffer c1c2c3, back;
        ASSERT_EQ(ConvertC1C3C2ToC1C2C3(c1c3c2.data(), (DWORD)n, c1c2c3), VELA_OK);
        // C1 stays, C2 moves forward, C3 goes last.
        EXPECT_EQ(Bytes(c1c2c3.get(), c1c2c3.get() + 64), Bytes(c1c3c2.begin(), c1c3c2.begin() + 64));
        EXPECT_EQ(Bytes(c1c2c3.get() + n - 32, c1c2c3.get() + n), Bytes(c1c3c2.begin() + 64, c1c3c2.begin() + 96));
        EXPECT_EQ(c1c2c3[n], 0);
        ASSERT_EQ(ConvertC1C2C3ToC1C3C2(c1c2c3.get(), (DWORD)n, back), VELA_OK);
        EXPECT_EQ(Bytes(back.get(), back.get() + n), c1c3c2) << n;
        if (n == 96) {
            EXPECT_EQ(Bytes(c1c2c3.get(), c1c2c3.get() + n), c1c3c2);
        }
    }
    ByteBuffer out;
    Bytes shortCipher = Pattern(95);
    EXPECT_LT(ConvertC1C3C2ToC1C2C3(shortCipher.data(), 95, out), 0);
    EXPECT_LT(ConvertC1C2C3ToC1C3C2(shortCipher.data(), 95, out), 0);
}

// ---- PKCS #1 to private-key blob --------------------------------------------------

Bytes Integer(size_t length, BYTE first, BYTE fill) {
    Bytes v(length, fill);
    if (length) v[0] = first;
    return Der(0x02, v);
}

// An RSAPrivateKey whose values have the given lengths (not a usable key:
// the blob layout does not depend on the numbers).
Bytes Pkcs1(size_t bits, Bytes exponent, size_t dLength, size_t coefficientLength, size_t fields = 9) {
    const size_t full = bits / 8, half = bits / 16;
    std::vector<Bytes> values = {
        Der(0x02, {0}),
        Cat({Der(0x02, Cat({{0x00}, Bytes(full, 0xC1)}))}),  // modulus with its sign octet
        Der(0x02, exponent),
        Integer(dLength, 0x71, 0xD1),
        Integer(half, 0x81, 0xE1),
        Integer(half, 0x91, 0xE2),
        Integer(half, 0x41, 0xE3),
        Integer(half, 0x42, 0xE4),
        Integer(coefficientLength, 0x43, 0xE5),
    };
    values.resize(fields);
    Bytes content;
    for (const Bytes& v : values) content.insert(content.end(), v.begin(), v.end());
    return Der(0x30, content);
}

DWORD Dword(const BYTE* p) { return DWORD(p[0]) | DWORD(p[1]) << 8 | DWORD(p[2]) << 16 | DWORD(p[3]) << 24; }

TEST(PrivateKeyBlob, LayoutExponentAndLengths) {
    struct Case {
        const char* what;
        size_t keyBits;
        LONG setting;
        Bytes exponent;
        size_t dLength, coefficientLength, fields;
        HRESULT expected;
        DWORD blobExponent;
    } cases[] = {
        {"usual key", 1024, 1024, {0x01, 0x00, 0x01}, 128, 64, 9, VELA_OK, 65537},
        {"exponent 3", 1024, 1024, {0x03}, 128, 64, 9, VELA_OK, 3},
        {"exponent with sign octet", 1024, 1024, {0x00, 0x80, 0x00, 0x00, 0x01}, 128, 64, 9, VELA_OK, 0x80000001},
        {"exponent beyond 32 bits", 1024, 1024, {0x01, 0x00, 0x00, 0x00, 0x01}, 128, 64, 9,
         VELA_E_IMPORT_ENCRYPT_CERT, 0},
        {"short coefficient", 1024, 1024, {0x01, 0x00, 0x01}, 128, 63, 9, VELA_OK, 65537},
        {"short private exponent", 2048, 2048, {0x01, 0x00, 0x01}, 255, 128, 9, VELA_OK, 65537},
        {"1024-bit key, 2048 setting", 1024, 2048, {0x01, 0x00, 0x01}, 128, 64, 9, VELA_E_IMPORT_ENCRYPT_CERT, 0},
        {"2048-bit key, 1024 setting", 2048, 1024, {0x01, 0x00, 0x01}, 256, 128, 9, VELA_E_IMPORT_ENCRYPT_CERT, 0},
        {"too few elements", 1024, 1024, {0x01, 0x00, 0x01}, 128, 64, 8, VELA_E_IMPORT_ENCRYPT_CERT, 0},
    };
    for (const Case& c : cases) {
        Bytes der = Pkcs1(c.keyBits, c.exponent, c.dLength, c.coefficientLength, c.fields);
        SecretBytes blob;
        ASSERT_EQ(getMicrosoftSoftPkcs1PrivateKeyBlob_RSA(der.data(), (DWORD)der.size(), c.setting, blob), c.expected)
            << c.what;
        if (c.expected != VELA_OK) continue;
        const size_t full = c.keyBits / 8, half = c.keyBits / 16;
        ASSERT_EQ(blob.Size(), c.keyBits * 9 / 16 + 20) << c.what;
        const BYTE* p = blob.Data();
        EXPECT_EQ(p[0], PRIVATEKEYBLOB);
        EXPECT_EQ(p[1], 2);
        EXPECT_EQ(Dword(p + 4), (DWORD)CALG_RSA_KEYX);
        EXPECT_EQ(Dword(p + 8), 0x32415352u);
        EXPECT_EQ(Dword(p + 12), (DWORD)c.keyBits);
        EXPECT_EQ(Dword(p + 16), c.blobExponent) << c.what;
        // Little-endian values: the most significant byte of each sits at its field's end.
        EXPECT_EQ(p[20 + full - 1], 0xC1);                        // modulus (sign octet dropped)
        EXPECT_EQ(p[20 + full + half - 1], 0x81);                 // prime1
        const BYTE* coefficient = p + 20 + full + 4 * half;
        EXPECT_EQ(coefficient[c.coefficientLength - 1], 0x43) << c.what;
        if (c.coefficientLength < half) {
            EXPECT_EQ(coefficient[half - 1], 0);
        }
        const BYTE* d = coefficient + half;
        EXPECT_EQ(d[c.dLength - 1], 0x71) << c.what;
        if (c.dLength < full) {
            EXPECT_EQ(d[full - 1], 0);
        }
    }
}

// Values of zero (02 01 00) are empty once their sign octet is dropped; they
// become zero fields (an empty value used to be copied from a null pointer).
TEST(PrivateKeyBlob, ZeroValuesBecomeZeroFields) {
    const size_t full = 64, half = 32;
    Bytes zero = Der(0x02, {0});
    Bytes der = Der(0x30, Cat({zero, Der(0x02, Cat({{0x00}, Bytes(full, 0xC1)})), Der(0x02, {0x01, 0x00, 0x01}), zero,
                               zero, zero, zero, zero, zero}));
    SecretBytes blob;
    ASSERT_EQ(getMicrosoftSoftPkcs1PrivateKeyBlob_RSA(der.data(), (DWORD)der.size(), 512, blob), VELA_OK);
    ASSERT_EQ(blob.Size(), 20 + 2 * full + 5 * half);
    EXPECT_EQ(Bytes(blob.Data() + 20 + full, blob.Data() + blob.Size()), Bytes(full + 5 * half, 0));
}

}  // namespace
