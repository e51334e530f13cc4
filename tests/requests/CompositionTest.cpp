#include <gtest/gtest.h>

#include "ASN1Engine.h"
#include "PKCS10Request.h"
#include "TestBytes.h"

using testbytes::Bytes;
using testbytes::Hex;
using testbytes::ToBytes;
using testbytes::ToHex;

namespace {

// A 1024-bit RSAPublicKey (modulus and exponent need not form a real key
// for composition).
Bytes FakeRSAPublicKey() {
    Bytes key = {0x30, 0x81, 0x89, 0x02, 0x81, 0x81, 0x00};
    for (int i = 0; i < 128; ++i) key.push_back((BYTE)(0x80 | i));
    key.insert(key.end(), {0x02, 0x03, 0x01, 0x00, 0x01});
    return key;
}

// An SM2 provider blob whose x coordinate is 01..20 and y 41..60 (most
// significant byte first), stored least significant first, with marker
// bytes in the unused halves of the fields.
Bytes FakeSM2Blob() {
    Bytes blob(VELA_SM2_PUBLIC_KEY_BLOB_SIZE, 0);
    blob[0] = 0x06;
    blob[8] = 0x00, blob[9] = 0x01;  // 256 bits
    for (int i = 0; i < 32; ++i) {
        blob[12 + i] = (BYTE)(0x20 - i);
        blob[76 + i] = (BYTE)(0x60 - i);
        blob[44 + i] = 0xE1;
        blob[108 + i] = 0xE2;
    }
    return blob;
}

const ASN1Node* Child(const ASN1Node* node, size_t index) {
    const ASN1Node* child = node ? node->Child(index) : nullptr;
    EXPECT_NE(child, nullptr) << "missing child " << index;
    return child;
}

Bytes ElementBytes(const ASN1Node* node) {
    return Bytes(node->Element(), node->Element() + node->dwTotalLength);
}

TEST(ComposeCertRequestInfo, SingleRequestHasThreeElements) {
    Bytes key = FakeRSAPublicKey();
    ByteBuffer info;
    DWORD cb = 0;
    ASSERT_EQ(ComposeCertRequestInfo(TEXT("CN=test,C=CN"), VELA_OID_RSA_ENCRYPTION, "", key.data(),
                                     (DWORD)key.size(), nullptr, 0, 0, info, cb),
              VELA_OK);
    ASN1NodePtr root;
    ASSERT_EQ(DecodeASN1Memory(root, info.get(), cb), 0);
    EXPECT_EQ(root->dwTotalLength, cb);
    ASSERT_EQ(root->ChildCount(), 3u);
    EXPECT_EQ(ToHex(ElementBytes(Child(root.get(), 0))), "02 01 00");
    const ASN1Node* spki = Child(root.get(), 2);
    EXPECT_EQ(ToHex(ElementBytes(Child(spki, 0))), ToHex(Hex("30 0D 06 09 2A 86 48 86 F7 0D 01 01 01 05 00")));
    const ASN1Node* bits = Child(spki, 1);
    EXPECT_EQ(bits->bTag, 0x03);
    EXPECT_EQ(bits->Content()[0], 0x00);
    EXPECT_EQ(Bytes(bits->Content() + 1, bits->Content() + bits->dwLength), key);
}

TEST(ComposeCertRequestInfo, DoubleRequestCarriesTheTwoSetLessAttributes) {
    Bytes key = FakeRSAPublicKey();
    Bytes temp = FakeRSAPublicKey();
    temp[10] = 0x11;
    ByteBuffer info;
    DWORD cb = 0;
    ASSERT_EQ(ComposeCertRequestInfo(TEXT("CN=test"), VELA_OID_RSA_ENCRYPTION, "", key.data(), (DWORD)key.size(),
                                     temp.data(), (DWORD)temp.size(), 0, info, cb),
              VELA_OK);
    ASN1NodePtr root;
    ASSERT_EQ(DecodeASN1Memory(root, info.get(), cb), 0);
    ASSERT_EQ(root->ChildCount(), 4u);
    const ASN1Node* attributes = Child(root.get(), 3);
    EXPECT_EQ(attributes->bTag, 0xA0);
    ASSERT_EQ(attributes->ChildCount(), 2u);
    EXPECT_EQ(ToHex(ElementBytes(Child(attributes, 0))),
              ToHex(Hex("30 13 06 09 2A 86 48 86 F7 0D 01 09 07 13 06 35 32 30 39 31 33")));
    const ASN1Node* tempAttribute = Child(attributes, 1);
    EXPECT_EQ(ToHex(ElementBytes(Child(tempAttribute, 0))), ToHex(Hex("06 09 2A 86 48 86 F7 0D 01 09 3F")));
    const ASN1Node* outer = Child(tempAttribute, 1);
    ASSERT_EQ(outer->bTag, 0x04);
    ASN1NodePtr inner;
    ASSERT_EQ(DecodeASN1Memory(inner, outer->Content(), outer->dwLength), 0);
    EXPECT_EQ(inner->dwTotalLength, outer->dwLength);
    ASSERT_EQ(inner->ChildCount(), 2u);
    EXPECT_EQ(ToHex(ElementBytes(Child(inner.get(), 0))), "02 01 01");
    const ASN1Node* keyOctets = Child(inner.get(), 1);
    EXPECT_EQ(keyOctets->bTag, 0x04);
    EXPECT_EQ(Bytes(keyOctets->Content(), keyOctets->Content() + keyOctets->dwLength), temp);
}

TEST(ConvertSM2Blob, ReordersTheCoordinates) {
    Bytes blob = FakeSM2Blob();
    ByteBuffer point;
    DWORD cbPoint = 0;
    ASSERT_EQ(ConvertSM2BlobToPoint(blob.data(), (DWORD)blob.size(), point, cbPoint), VELA_OK);
    ASSERT_EQ(cbPoint, 65u);
    EXPECT_EQ(point[0], 0x04);
    for (int i = 0; i < 32; ++i) {
        EXPECT_EQ(point[1 + i], i + 1);
        EXPECT_EQ(point[33 + i], 0x41 + i);
    }
    ByteBuffer temp;
    DWORD cbTemp = 0;
    ASSERT_EQ(ConvertSM2BlobToTemporaryKey(blob.data(), (DWORD)blob.size(), temp, cbTemp), VELA_OK);
    ASSERT_EQ(cbTemp, 136u);
    EXPECT_EQ(ToHex(temp.get(), 8), "00 B4 00 00 00 01 00 00");
    for (int i = 0; i < 32; ++i) {
        EXPECT_EQ(temp[8 + i], i + 1);
        EXPECT_EQ(temp[40 + i], 0xE1);
        EXPECT_EQ(temp[72 + i], 0x41 + i);
        EXPECT_EQ(temp[104 + i], 0xE2);
    }
    EXPECT_EQ(ConvertSM2BlobToPoint(blob.data(), 139, point, cbPoint), NTE_BAD_KEY);
    EXPECT_EQ(ConvertSM2BlobToTemporaryKey(blob.data(), 64, temp, cbTemp), NTE_BAD_KEY);
}

TEST(ComposeSignPublicKeyData, SM2KeyInfoNamesTheCurve) {
    Bytes blob = FakeSM2Blob();
    ByteBuffer point;
    DWORD cbPoint = 0;
    ASSERT_EQ(ConvertSM2BlobToPoint(blob.data(), (DWORD)blob.size(), point, cbPoint), VELA_OK);
    ByteBuffer spki;
    DWORD cb = 0;
    ASSERT_EQ(ComposeSignPublicKeyData(VELA_OID_EC_PUBLIC_KEY, VELA_OID_SM2_CURVE, point.get(), cbPoint, 1, spki, cb),
              VELA_OK);
    Bytes expected = Hex("30 59 30 13 06 07 2A 86 48 CE 3D 02 01 06 08 2A 81 1C CF 55 01 82 2D 03 42 00");
    expected.insert(expected.end(), point.get(), point.get() + 65);
    EXPECT_EQ(ToHex(spki.get(), cb), ToHex(expected));
}

TEST(ComposeSignAlgorithm, GivesTheAlgorithmIdentifiers) {
    const struct {
        const char* oid;
        const char* expected;
    } cases[] = {
        {VELA_OID_SHA1_RSA, "30 0D 06 09 2A 86 48 86 F7 0D 01 01 05 05 00"},
        {VELA_OID_SM2_SM3, "30 0C 06 08 2A 81 1C CF 55 01 83 75 05 00"},
    };
    for (const auto& c : cases) {
        ByteBuffer algorithm;
        DWORD cb = 0;
        ASSERT_EQ(ComposeSignAlgorithm(c.oid, algorithm, cb), VELA_OK);
        EXPECT_EQ(ToHex(algorithm.get(), cb), ToHex(Hex(c.expected)));
    }
}

TEST(ComposeSignature, WrapsTheSignatureInABitString) {
    Bytes rsa(256, 0xC3);
    ByteBuffer bits;
    DWORD cb = 0;
    ASSERT_EQ(ComposeSignature(rsa.data(), 256, 0, bits, cb), VELA_OK);
    EXPECT_EQ(ToHex(bits.get(), 5), "03 82 01 01 00");
    EXPECT_EQ(cb, 261u);
    Bytes sm2(64, 0x85);
    ASSERT_EQ(ComposeSignature(sm2.data(), 64, 1, bits, cb), VELA_OK);
    EXPECT_EQ(ToHex(bits.get(), 5), "03 49 00 30 46");
    EXPECT_EQ(ComposeSignature(sm2.data(), 63, 1, bits, cb), (HRESULT)0x8007000D);
}

TEST(TransformBase64, BreaksLinesAtSixtyFourCharacters) {
    for (DWORD length : {0u, 1u, 63u, 64u, 65u, 128u, 129u, 1000u}) {
        std::string text;
        for (DWORD i = 0; i < length; ++i) {
            text.push_back((char)('A' + i % 26));
            if (i % 76 == 75) text += "\r\n";  // the 76-character lines of the encoder
        }
        CharBuffer wrapped;
        DWORD cb = 0;
        ASSERT_EQ(TransformBase64EncodedDatatoHoldCRLFPer64Chars(cb, text.c_str(), (DWORD)text.size(), wrapped),
                  VELA_OK);
        std::string out(wrapped.get());
        EXPECT_EQ(out.size(), cb);
        std::string joined;
        size_t lines = 0;
        for (size_t start = 0; start <= out.size();) {
            size_t end = out.find("\r\n", start);
            std::string line = out.substr(start, end == std::string::npos ? std::string::npos : end - start);
            ++lines;
            joined += line;
            if (end == std::string::npos) {
                if (length) {
                    EXPECT_TRUE(line.size() >= 1 && line.size() <= 64) << length;
                }
                break;
            }
            EXPECT_EQ(line.size(), 64u) << length;
            start = end + 2;
        }
        EXPECT_EQ(lines, length ? (length + 63) / 64 : 1) << length;
        EXPECT_EQ(joined.size(), length);
        EXPECT_EQ(out.find('\n'), length > 64 ? 65u : std::string::npos);
    }
}

}  // namespace
