// DER (and indefinite-length BER) decoder. One decode turns a buffer that
// holds one element into a tree of nodes; each node records the element's
// tag and where its content lies in the buffer. Content is never copied:
// consumers read it through the offsets, so the buffer must outlive the
// tree. A decode parses at most ASN1_MAX_NODES nodes.
#pragma once
#include <windows.h>

#include <memory>

#include "VelaStatus.h"

constexpr DWORD ASN1_MAX_NODES = 255;
constexpr DWORD ASN1_INDEFINITE_LENGTH = 0xFFFFFFFF;

// Result values of the decoder.
constexpr int ASN1_PARSE_OK = 0;
constexpr int ASN1_PARSE_FAILED = -1;

struct ASN1Node;
struct ASN1NodePool;  // storage of a tree's nodes, owned by its root

// Iteration over a node's children: for (const ASN1Node* c : node->Children()).
class ASN1ChildRange {
public:
    class Iterator {
    public:
        explicit Iterator(ASN1Node* p) : m_p(p) {}
        ASN1Node* operator*() const { return m_p; }
        Iterator& operator++();
        bool operator!=(const Iterator& other) const { return m_p != other.m_p; }

    private:
        ASN1Node* m_p;
    };
    explicit ASN1ChildRange(ASN1Node* first) : m_first(first) {}
    Iterator begin() const { return Iterator(m_first); }
    Iterator end() const { return Iterator(nullptr); }

private:
    ASN1Node* m_first;
};

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
    // The children, in buffer order, as a list.
    ASN1Node* pFirstChild = nullptr;
    ASN1Node* pLastChild = nullptr;
    ASN1Node* pNextSibling = nullptr;
    DWORD dwChildCount = 0;
    // Nodes are allocated in blocks from the tree's pool; releasing the
    // root (through ASN1NodePtr) releases the pool and so the whole tree.
    ASN1NodePool* pPool = nullptr;

    ASN1Node() = default;
    ASN1Node(const ASN1Node&) = delete;
    ASN1Node& operator=(const ASN1Node&) = delete;

    const BYTE* Content() const { return pbBuffer + qwContentOffset; }
    size_t ChildCount() const { return dwChildCount; }
    ASN1Node* Child(size_t index) const {
        ASN1Node* p = pFirstChild;
        while (p && index--) p = p->pNextSibling;
        return p;
    }
    ASN1ChildRange Children() const { return ASN1ChildRange(pFirstChild); }
    // Offset of the identifier octet (the element's first byte).
    ULONGLONG ElementOffset() const { return qwContentOffset - dwLengthOctets - 1; }
    const BYTE* Element() const { return pbBuffer + ElementOffset(); }
};

inline ASN1ChildRange::Iterator& ASN1ChildRange::Iterator::operator++() {
    m_p = m_p->pNextSibling;
    return *this;
}

struct ASN1TreeDeleter {
    void operator()(ASN1Node* pRoot) const;
};
using ASN1NodePtr = std::unique_ptr<ASN1Node, ASN1TreeDeleter>;

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
