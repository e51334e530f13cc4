// DER (and indefinite-length BER) decoder. One decode turns a buffer that
// holds one element into a tree of nodes; each node records the element's
// tag and where its content lies in the buffer. Content is never copied:
// consumers read it through the offsets, so the buffer must outlive the
// tree. A decode parses at most ASN1_MAX_NODES nodes.
#pragma once
#include <windows.h>

#include <memory>
#include <vector>

#include "VelaStatus.h"

constexpr DWORD ASN1_MAX_NODES = 255;
constexpr DWORD ASN1_INDEFINITE_LENGTH = 0xFFFFFFFF;

// Result values of the decoder.
constexpr int ASN1_PARSE_OK = 0;
constexpr int ASN1_PARSE_FAILED = -1;

struct ASN1Node {
    const BYTE* pbBuffer = nullptr;   // the decoded input
    BYTE bTag = 0;                    // identifier octet, taken whole
    DWORD dwLengthOctets = 0;         // 1 (short form, 0x80) or 1 + n (long form)
    DWORD dwLength = 0;               // content length; ASN1_INDEFINITE_LENGTH while unresolved
    ULONGLONG qwContentOffset = 0;    // first content octet
    DWORD dwTotalLength = 0;          // 1 + length octets + length; 0xFFFFFFFF while unresolved
    WORD wIndefinite = 0;             // 1 while the length is indefinite and unresolved
    DWORD dwBufferSize = 0;           // size of the whole input
    ASN1Node* pParent = nullptr;
    std::vector<std::unique_ptr<ASN1Node>> children;

    const BYTE* Content() const { return pbBuffer + qwContentOffset; }
    size_t ChildCount() const { return children.size(); }
    ASN1Node* Child(size_t index) const { return index < children.size() ? children[index].get() : nullptr; }
    // Offset of the identifier octet (the element's first byte).
    ULONGLONG ElementOffset() const { return qwContentOffset - dwLengthOctets - 1; }
    const BYTE* Element() const { return pbBuffer + ElementOffset(); }
};

using ASN1NodePtr = std::unique_ptr<ASN1Node>;

// Decodes the element at the start of pbBuffer. Returns 0 on success,
// VELA_R_ASN1_DECODE (0x20001041, not a failure status: test for non-zero)
// when the outermost tag and length cannot be read, and -1 for any failure
// inside the element. Whenever the root was created it is handed back in
// pRoot, also on failure.
HRESULT DecodeASN1Memory(ASN1NodePtr& pRoot, const BYTE* pbBuffer, DWORD dwSize);

// Reads the identifier octet at qwPosition and the length octets after it;
// both must lie before qwBound. 0 or -1.
int ParseASN1TLV(ULONGLONG qwPosition, ULONGLONG qwBound, const BYTE* pbBuffer, BYTE& bTag,
                 DWORD& dwLengthOctets, DWORD& dwLength, ULONGLONG& qwContentOffset, WORD& wIndefinite);

// Reads the length octets at qwPosition (before qwBound). 0 or -1.
int GetASN1ValueLength(ULONGLONG qwBound, ULONGLONG qwPosition, const BYTE* pbBuffer, DWORD& dwLengthOctets,
                       DWORD& dwLength, ULONGLONG& qwContentOffset, WORD& wIndefinite);

// Parses the node's children, recursively; dwNodeCount counts every node
// parsed in this decode. 0 or -1.
int ParseNode(ASN1Node* pNode, DWORD& dwNodeCount);

// Resolves the length of a leaf with indefinite length (the content runs
// up to and including the first two consecutive zero octets). 0 or -1.
int GetInfiniteLength(ASN1Node* pNode);

// Traces the node's tag, content length and content offset.
void PrintNode(const ASN1Node* pNode);

// True for the tags whose elements never have children.
inline bool IsASN1LeafTag(BYTE bTag) { return bTag <= 0x1F || (bTag >= 0x80 && bTag <= 0x8F); }
