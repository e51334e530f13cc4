// The DER decoder: any input decodes or fails cleanly, every span of a tree
// lies inside the input, and strict DER built from the encoder's tags
// re-encodes, with the encoder primitives, to the very same bytes.
#include "ASN1Engine.h"
#include "FuzzSupport.h"
#include "PKCS10Request.h"

namespace {

bool IsEncoderTag(BYTE tag) {
    switch (tag) {
    case 0x02: case 0x04: case 0x06: case 0x0C: case 0x13: case 0x16: case 0x1E:
    case 0x30: case 0x31: case 0x80: case 0xA0: return true;
    default: return false;
    }
}

bool IsConstructed(BYTE tag) { return tag == 0x30 || tag == 0x31 || tag == 0xA0; }

// The header X.690 prescribes for a definite, minimal length.
std::vector<BYTE> MinimalHeader(BYTE tag, DWORD length) {
    std::vector<BYTE> header{tag};
    if (length < 0x80) {
        header.push_back(BYTE(length));
        return header;
    }
    int count = length > 0xFFFFFF ? 4 : length > 0xFFFF ? 3 : length > 0xFF ? 2 : 1;
    header.push_back(BYTE(0x80 | count));
    for (int i = count - 1; i >= 0; --i) header.push_back(BYTE(length >> (8 * i)));
    return header;
}

// Checks the tree's bookkeeping; returns whether the node is strict DER
// that the encoder can produce (known tag, minimal header, non-empty
// content, children filling the content exactly).
bool CheckNode(const ASN1Node* node, size_t size) {
    FUZZ_CHECK(node->wIndefinite == 0);
    FUZZ_CHECK(node->qwContentOffset + node->dwLength <= size);
    FUZZ_CHECK(node->ElementOffset() + node->dwTotalLength == node->qwContentOffset + node->dwLength);
    size_t count = 0;
    ULONGLONG children = 0;
    bool strict = true;
    for (const ASN1Node* child : node->Children()) {
        FUZZ_CHECK(child->pParent == node);
        strict = CheckNode(child, size) && strict;
        children += child->dwTotalLength;
        ++count;
    }
    FUZZ_CHECK(count == node->ChildCount());
    if (IsASN1LeafTag(node->bTag)) FUZZ_CHECK(count == 0);
    std::vector<BYTE> header = MinimalHeader(node->bTag, node->dwLength);
    strict = strict && IsEncoderTag(node->bTag) && node->dwLength > 0 &&
             header.size() == 1 + node->dwLengthOctets &&
             std::equal(header.begin(), header.end(), node->Element());
    if (IsConstructed(node->bTag)) strict = strict && children == node->dwLength;
    return strict;
}

std::vector<BYTE> Reencode(const ASN1Node* node) {
    std::vector<BYTE> content;
    if (IsConstructed(node->bTag)) {
        for (const ASN1Node* child : node->Children()) {
            std::vector<BYTE> part = Reencode(child);
            content.insert(content.end(), part.begin(), part.end());
        }
    } else {
        content.assign(node->Content(), node->Content() + node->dwLength);
    }
    ByteBuffer encoded;
    DWORD length = 0;
    FUZZ_CHECK(SUCCEEDED(ASN1Encode(node->bTag, content.data(), DWORD(content.size()), encoded, length)));
    return std::vector<BYTE>(encoded.get(), encoded.get() + length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ASN1NodePtr root;
    if (DecodeASN1Memory(root, data, DWORD(size)) != 0) return 0;
    FUZZ_CHECK(root != nullptr);
    if (!CheckNode(root.get(), size)) return 0;
    std::vector<BYTE> again = Reencode(root.get());
    FUZZ_CHECK(again.size() == root->dwTotalLength);
    FUZZ_CHECK(std::equal(again.begin(), again.end(), data));
    return 0;
}
