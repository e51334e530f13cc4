#include <gtest/gtest.h>

#include <random>

#include "ASN1Engine.h"
#include "PKCS10Request.h"
#include "TestBytes.h"

using testbytes::Bytes;
using testbytes::Hex;

namespace {

// Every node of a decoded tree must describe a span inside the input, and a
// parent's children must follow each other without gaps.
void ExpectTreeInsideInput(const ASN1Node* node, DWORD size) {
    ASSERT_EQ(node->wIndefinite, 0);
    ASSERT_LE(node->qwContentOffset + node->dwLength, size);
    ASSERT_EQ(node->dwTotalLength, 1 + node->dwLengthOctets + node->dwLength);
    ASSERT_EQ(node->dwBufferSize, size);
    ULONGLONG next = node->qwContentOffset;
    size_t count = 0;
    for (const ASN1Node* child : node->Children()) {
        ASSERT_EQ(child->pParent, node);
        ASSERT_EQ(child->ElementOffset(), next);
        ASSERT_EQ(child, node->Child(count));
        next += child->dwTotalLength;
        ++count;
        ExpectTreeInsideInput(child, size);
    }
    ASSERT_EQ(count, node->ChildCount());
}

HRESULT Decode(const Bytes& input, ASN1NodePtr& root) {
    return DecodeASN1Memory(root, input.empty() ? nullptr : input.data(), (DWORD)input.size());
}

struct DecodeCase {
    const char* name;
    const char* hex;
    HRESULT result;
    BYTE tag;
    DWORD length;
    DWORD totalLength;
    size_t children;
};

TEST(DecodeASN1Memory, DecodesAndRefusesAsStated) {
    const HRESULT kBad = (HRESULT)-1;
    const DecodeCase cases[] = {
        {"empty sequence", "30 00", 0, 0x30, 0, 2, 0},
        {"sequence with integer", "30 03 02 01 05", 0, 0x30, 3, 5, 1},
        {"octet string is a leaf", "04 03 30 01 00", 0, 0x04, 3, 5, 0},
        {"context primitive is a leaf", "85 02 30 00", 0, 0x85, 2, 4, 0},
        {"indefinite constructed", "A0 80 02 01 01 00 00", 0, 0xA0, 5, 7, 1},
        {"nested indefinite", "30 80 30 80 02 01 01 00 00 00 00", 0, 0x30, 9, 11, 1},
        {"indefinite inside definite", "30 07 A0 80 02 01 01 00 00", 0, 0x30, 7, 9, 1},
        {"empty indefinite", "30 80 00 00", 0, 0x30, 2, 4, 0},
        {"indefinite leaf", "04 80 41 42 00 00", 0, 0x04, 4, 6, 0},
        {"non-minimal length", "04 81 02 41 42", 0, 0x04, 2, 5, 0},
        {"five length octets keep the last four", "04 85 FF 00 00 00 01 41", 0, 0x04, 1, 8, 0},
        {"two children", "31 06 02 01 01 02 01 02", 0, 0x31, 6, 8, 2},
        {"child longer than parent but inside input", "30 03 02 02 05 06", 0, 0x30, 3, 5, 1},
        {"trailing bytes after the element", "02 01 05 FF FF", 0, 0x02, 1, 3, 0},
        {"no input", "", VELA_R_ASN1_DECODE, 0, 0, 0, 0},
        {"tag only", "30", VELA_R_ASN1_DECODE, 0, 0, 0, 0},
        {"long-form length octets missing", "30 82 01", VELA_R_ASN1_DECODE, 0, 0, 0, 0},
        {"content longer than input", "30 05 02 01 01", kBad, 0, 0, 0, 0},
        {"leaf longer than input", "04 05 01 02", kBad, 0, 0, 0, 0},
        {"child header past parent end", "30 01 02 01 05", kBad, 0, 0, 0, 0},
        {"child content past input", "30 03 02 05 05", kBad, 0, 0, 0, 0},
        {"indefinite without end-of-contents", "30 80 02 01 01", kBad, 0, 0, 0, 0},
        {"indefinite leaf without zeros", "04 80 41 42 00", kBad, 0, 0, 0, 0},
        {"huge length", "04 84 FF FF FF FF 00", kBad, 0, 0, 0, 0},
    };
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes input = Hex(c.hex);
        ASN1NodePtr root;
        HRESULT hr = Decode(input, root);
        EXPECT_EQ(hr, c.result);
        if (c.result == VELA_R_ASN1_DECODE) {
            EXPECT_FALSE(root);
        }
        if (hr != 0 || c.result != 0) continue;
        ASSERT_TRUE(root);
        EXPECT_EQ(root->bTag, c.tag);
        EXPECT_EQ(root->dwLength, c.length);
        EXPECT_EQ(root->dwTotalLength, c.totalLength);
        EXPECT_EQ(root->ChildCount(), c.children);
        EXPECT_EQ(root->pParent, nullptr);
        if (std::string(c.name) != "child longer than parent but inside input") {
            ExpectTreeInsideInput(root.get(), (DWORD)input.size());
        }
    }
}

TEST(DecodeASN1Memory, ReportsOffsetsIntoTheBuffer) {
    Bytes input = Hex("30 0A 02 01 05 30 05 04 03 41 42 43");
    ASN1NodePtr root;
    ASSERT_EQ(Decode(input, root), 0);
    ASSERT_EQ(root->ChildCount(), 2u);
    const ASN1Node* integer = root->Child(0);
    EXPECT_EQ(integer->bTag, 0x02);
    EXPECT_EQ(integer->qwContentOffset, 4u);
    EXPECT_EQ(integer->dwLength, 1u);
    EXPECT_EQ(integer->Content()[0], 0x05);
    const ASN1Node* octets = root->Child(1)->Child(0);
    ASSERT_NE(octets, nullptr);
    EXPECT_EQ(octets->qwContentOffset, 9u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(octets->Content()), octets->dwLength), "ABC");
    EXPECT_EQ(octets->pParent, root->Child(1));
    EXPECT_EQ(root->Child(2), nullptr);
}

TEST(DecodeASN1Memory, LongFormLengthsOfEverySize) {
    for (DWORD size : {127u, 128u, 255u, 256u, 65535u, 65536u}) {
        Bytes input;
        input.push_back(0x04);
        if (size < 128) {
            input.push_back((BYTE)size);
        } else {
            int n = size <= 0xFF ? 1 : size <= 0xFFFF ? 2 : 3;
            input.push_back((BYTE)(0x80 | n));
            for (int i = n - 1; i >= 0; --i) input.push_back((BYTE)(size >> (8 * i)));
        }
        DWORD header = (DWORD)input.size();
        input.resize(header + size, 0x5A);
        ASN1NodePtr root;
        ASSERT_EQ(Decode(input, root), 0) << size;
        EXPECT_EQ(root->dwLength, size);
        EXPECT_EQ(root->dwLengthOctets, header - 1);
        EXPECT_EQ(root->qwContentOffset, header);
        // One octet short fails.
        input.pop_back();
        ASN1NodePtr shorter;
        EXPECT_EQ(Decode(input, shorter), -1) << size;
    }
}

// 254 INTEGERs give 255 nodes, the limit; one more fails. Nested nodes count
// the same way as siblings.
TEST(DecodeASN1Memory, CountsEveryNodeAgainstTheLimit) {
    auto sequenceOf = [](int integers) {
        Bytes content;
        for (int i = 0; i < integers; ++i) content.insert(content.end(), {0x02, 0x01, (BYTE)i});
        Bytes out = {0x30, 0x82, (BYTE)(content.size() >> 8), (BYTE)content.size()};
        out.insert(out.end(), content.begin(), content.end());
        return out;
    };
    ASN1NodePtr root;
    EXPECT_EQ(Decode(sequenceOf(254), root), 0);
    EXPECT_EQ(root->ChildCount(), 254u);
    ASN1NodePtr over;
    EXPECT_EQ(Decode(sequenceOf(255), over), -1);
    EXPECT_TRUE(over) << "the root is handed back also on failure";

    // 127 nested sequences, each holding one integer: 255 nodes.
    auto nested = [](int depth) {
        Bytes out = {0x02, 0x01, 0x07};
        for (int i = 0; i < depth; ++i) {
            Bytes wrapped = {0x30};
            DWORD n = (DWORD)out.size();
            if (n < 128) wrapped.push_back((BYTE)n);
            else wrapped.insert(wrapped.end(), {0x82, (BYTE)(n >> 8), (BYTE)n});
            wrapped.insert(wrapped.end(), out.begin(), out.end());
            out.swap(wrapped);
        }
        return out;
    };
    ASN1NodePtr deep;
    EXPECT_EQ(Decode(nested(254), deep), 0);
    ASN1NodePtr deeper;
    EXPECT_EQ(Decode(nested(255), deeper), -1);
}

// Every prefix of a well-formed structure and thousands of mutations of it
// decode without reading outside the input (checked by the sanitizer build)
// and, when they succeed, report spans that lie inside it.
TEST(DecodeASN1Memory, NeverLeavesTheInput) {
    // A request's CertificationRequestInfo and indefinite-length elements,
    // all inside one indefinite-length SEQUENCE.
    Bytes key = Hex("30 0D 02 08 00 C1 C2 C3 C4 C5 C6 C7 02 01 03");
    ByteBuffer info;
    DWORD cbInfo = 0;
    ASSERT_EQ(ComposeCertRequestInfo(TEXT("CN=test,O=corpus,C=CN"), "1.2.840.113549.1.1.1", "", key.data(),
                                     (DWORD)key.size(), key.data(), (DWORD)key.size(), 0, info, cbInfo),
              VELA_OK);
    Bytes sample = {0x30, 0x80};
    sample.insert(sample.end(), info.get(), info.get() + cbInfo);
    for (BYTE b : Hex("A0 80 30 80 04 80 11 22 00 00 00 00 00 00 03 03 00 AA BB 00 00")) sample.push_back(b);
    {
        ASN1NodePtr whole;
        ASSERT_EQ(Decode(sample, whole), 0);
        ExpectTreeInsideInput(whole.get(), (DWORD)sample.size());
    }
    for (size_t n = 0; n <= sample.size(); ++n) {
        Bytes prefix(sample.begin(), sample.begin() + n);
        ASN1NodePtr root;
        HRESULT hr = Decode(prefix, root);
        if (hr == 0) ExpectTreeInsideInput(root.get(), (DWORD)prefix.size());
    }
    std::mt19937 random(20261208);
    for (int round = 0; round < 20000; ++round) {
        Bytes mutated = sample;
        int edits = 1 + (int)(random() % 4);
        for (int e = 0; e < edits && !mutated.empty(); ++e) {
            size_t at = random() % mutated.size();
            switch (random() % 3) {
                case 0: mutated[at] = (BYTE)random(); break;
                case 1: mutated.erase(mutated.begin() + (long)at); break;
                default: mutated.resize(at + 1); break;
            }
        }
        // Exact-size copy so that the sanitizer sees any read past the end.
        std::unique_ptr<BYTE[]> exact(new BYTE[mutated.size() ? mutated.size() : 1]);
        std::copy(mutated.begin(), mutated.end(), exact.get());
        ASN1NodePtr root;
        HRESULT hr = DecodeASN1Memory(root, exact.get(), (DWORD)mutated.size());
        if (hr == 0) {
            ExpectTreeInsideInput(root.get(), (DWORD)mutated.size());
        } else {
            EXPECT_TRUE(hr == VELA_R_ASN1_DECODE || hr == -1) << std::hex << hr;
        }
    }
}

TEST(ParseASN1TLV, RespectsTheBound) {
    Bytes input = Hex("30 03 02 01 05");
    BYTE tag = 0;
    DWORD lengthOctets = 0, length = 0;
    ULONGLONG offset = 0;
    WORD indefinite = 0;
    EXPECT_EQ(ParseASN1TLV(2, 5, input.data(), tag, lengthOctets, length, offset, indefinite), 0);
    EXPECT_EQ(tag, 0x02);
    EXPECT_EQ(offset, 4u);
    EXPECT_EQ(ParseASN1TLV(2, 3, input.data(), tag, lengthOctets, length, offset, indefinite), -1);
    EXPECT_EQ(ParseASN1TLV(5, 5, input.data(), tag, lengthOctets, length, offset, indefinite), -1);
    Bytes longForm = Hex("04 82 01 00");
    EXPECT_EQ(GetASN1ValueLength(4, 1, longForm.data(), lengthOctets, length, offset, indefinite), 0);
    EXPECT_EQ(length, 256u);
    EXPECT_EQ(lengthOctets, 3u);
    EXPECT_EQ(GetASN1ValueLength(3, 1, longForm.data(), lengthOctets, length, offset, indefinite), -1);
}

TEST(GetInfiniteLength, RefusesResolvedNodes) {
    Bytes input = Hex("04 02 00 00");
    ASN1NodePtr root;
    ASSERT_EQ(Decode(input, root), 0);
    EXPECT_EQ(GetInfiniteLength(root.get()), -1);
}

}  // namespace
