#include "ASN1Engine.h"

#include "VelaTrace.h"

#include <new>
#include <type_traits>

// Nodes come in blocks, so a decode makes one allocation for a small tree
// and a few for a large one. The first block lives in the pool itself.
struct ASN1NodePool {
    static constexpr size_t kFirstBlockNodes = 48;
    static constexpr size_t kBlockNodes = 64;
    struct Block {
        Block* pNext;
        alignas(ASN1Node) unsigned char storage[kBlockNodes * sizeof(ASN1Node)];
    };
    alignas(ASN1Node) unsigned char first[kFirstBlockNodes * sizeof(ASN1Node)];
    unsigned char* pNextFree = first;
    unsigned char* pEnd = first + sizeof first;
    Block* pBlocks = nullptr;

    ASN1NodePool() = default;
    ASN1NodePool(const ASN1NodePool&) = delete;
    ASN1NodePool& operator=(const ASN1NodePool&) = delete;
    ~ASN1NodePool() {
        while (pBlocks) {
            Block* next = pBlocks->pNext;
            delete pBlocks;
            pBlocks = next;
        }
    }

    ASN1Node* Allocate() {
        if (pNextFree == pEnd) {
            Block* block = new (std::nothrow) Block;
            if (!block) return nullptr;
            block->pNext = pBlocks;
            pBlocks = block;
            pNextFree = block->storage;
            pEnd = block->storage + sizeof block->storage;
        }
        ASN1Node* node = new (pNextFree) ASN1Node;
        pNextFree += sizeof(ASN1Node);
        node->pPool = this;
        return node;
    }
};

static_assert(std::is_trivially_destructible_v<ASN1Node>, "nodes are released with their pool");

void ASN1TreeDeleter::operator()(ASN1Node* pRoot) const {
    if (pRoot) delete pRoot->pPool;
}

namespace {

void FillNode(ASN1Node* node, const BYTE* pbBuffer, DWORD dwSize, ASN1Node* pParent, BYTE bTag,
              DWORD dwLengthOctets, DWORD dwLength, ULONGLONG qwContentOffset, WORD wIndefinite) {
    node->pbBuffer = pbBuffer;
    node->dwBufferSize = dwSize;
    node->pParent = pParent;
    node->bTag = bTag;
    node->dwLengthOctets = dwLengthOctets;
    node->dwLength = dwLength;
    node->qwContentOffset = qwContentOffset;
    node->wIndefinite = wIndefinite;
    node->dwTotalLength = wIndefinite ? 0xFFFFFFFF : 1 + dwLengthOctets + dwLength;
}

}  // namespace

int GetASN1ValueLength(ULONGLONG qwBound, ULONGLONG qwPosition, const BYTE* pbBuffer, DWORD& dwLengthOctets,
                       DWORD& dwLength, ULONGLONG& qwContentOffset, WORD& wIndefinite) {
    if (!pbBuffer || qwPosition >= qwBound) return ASN1_PARSE_FAILED;
    BYTE bFirst = pbBuffer[qwPosition];
    if (bFirst < 0x80) {
        dwLengthOctets = 1;
        dwLength = bFirst;
        qwContentOffset = qwPosition + 1;
        wIndefinite = 0;
        return ASN1_PARSE_OK;
    }
    if (bFirst == 0x80) {
        dwLengthOctets = 1;
        dwLength = ASN1_INDEFINITE_LENGTH;
        qwContentOffset = qwPosition + 1;
        wIndefinite = 1;
        return ASN1_PARSE_OK;
    }
    DWORD dwCount = bFirst & 0x7F;
    if (qwBound - (qwPosition + 1) < dwCount) return ASN1_PARSE_FAILED;
    DWORD dwValue = 0;
    for (DWORD i = 0; i < dwCount; ++i) dwValue = (dwValue << 8) | pbBuffer[qwPosition + 1 + i];
    dwLengthOctets = dwCount + 1;
    dwLength = dwValue;
    qwContentOffset = qwPosition + 1 + dwCount;
    wIndefinite = 0;
    return ASN1_PARSE_OK;
}

int ParseASN1TLV(ULONGLONG qwPosition, ULONGLONG qwBound, const BYTE* pbBuffer, BYTE& bTag,
                 DWORD& dwLengthOctets, DWORD& dwLength, ULONGLONG& qwContentOffset, WORD& wIndefinite) {
    if (!pbBuffer || qwPosition >= qwBound || qwPosition + 1 >= qwBound) return ASN1_PARSE_FAILED;
    bTag = pbBuffer[qwPosition];
    return GetASN1ValueLength(qwBound, qwPosition + 1, pbBuffer, dwLengthOctets, dwLength, qwContentOffset,
                              wIndefinite);
}

int GetInfiniteLength(ASN1Node* pNode) {
    if (!pNode || !pNode->wIndefinite) return ASN1_PARSE_FAILED;
    const BYTE* pb = pNode->pbBuffer;
    ULONGLONG qwEnd = pNode->dwBufferSize;
    for (ULONGLONG i = pNode->qwContentOffset; i + 1 < qwEnd; ++i) {
        if (pb[i] == 0 && pb[i + 1] == 0) {
            pNode->dwLength = (DWORD)(i + 2 - pNode->qwContentOffset);
            pNode->dwTotalLength = 1 + pNode->dwLengthOctets + pNode->dwLength;
            pNode->wIndefinite = 0;
            return ASN1_PARSE_OK;
        }
    }
    TraceInfo(TEXT("GetInfiniteLength: no end-of-contents octets after offset %u"), (DWORD)pNode->qwContentOffset);
    return ASN1_PARSE_FAILED;
}

void PrintNode(const ASN1Node* pNode) {
    if (!pNode || !TraceEnabled(TRACE_FLAG_INFO)) return;
    TraceInfo(TEXT("ASN1 node: tag 0x%02x, length %u, content offset %u"), (DWORD)pNode->bTag, pNode->dwLength,
              (DWORD)pNode->qwContentOffset);
}

int ParseNode(ASN1Node* pNode, DWORD& dwNodeCount) {
    if (!pNode) return ASN1_PARSE_FAILED;
    if (++dwNodeCount > ASN1_MAX_NODES) {
        TraceInfo(TEXT("ParseNode: node limit reached (%u nodes)"), dwNodeCount);
        return ASN1_PARSE_FAILED;
    }
    const ULONGLONG qwSize = pNode->dwBufferSize;

    if (IsASN1LeafTag(pNode->bTag)) {
        if (pNode->wIndefinite) return GetInfiniteLength(pNode);
        // A leaf's content must lie inside the input.
        if (pNode->qwContentOffset + pNode->dwLength > qwSize) return ASN1_PARSE_FAILED;
        return ASN1_PARSE_OK;
    }
    if (!pNode->wIndefinite && pNode->dwLength == 0) return ASN1_PARSE_OK;

    ULONGLONG qwBound = qwSize;
    if (!pNode->wIndefinite) {
        ULONGLONG qwEnd = pNode->qwContentOffset + pNode->dwLength;
        if (qwEnd > qwSize) return ASN1_PARSE_FAILED;
        qwBound = qwEnd;
    }

    ULONGLONG qwConsumed = 0;
    for (;;) {
        ULONGLONG qwPosition = pNode->qwContentOffset + qwConsumed;
        if (pNode->wIndefinite) {
            // The end-of-contents octets close the element; they count as content.
            if (qwPosition + 2 > qwSize) return ASN1_PARSE_FAILED;
            if (pNode->pbBuffer[qwPosition] == 0 && pNode->pbBuffer[qwPosition + 1] == 0) {
                pNode->dwLength = (DWORD)(qwConsumed + 2);
                pNode->dwTotalLength = 1 + pNode->dwLengthOctets + pNode->dwLength;
                pNode->wIndefinite = 0;
                return ASN1_PARSE_OK;
            }
        }

        BYTE bTag = 0;
        DWORD dwLengthOctets = 0, dwLength = 0;
        ULONGLONG qwContentOffset = 0;
        WORD wIndefinite = 0;
        if (ParseASN1TLV(qwPosition, qwBound, pNode->pbBuffer, bTag, dwLengthOctets, dwLength, qwContentOffset,
                         wIndefinite) != ASN1_PARSE_OK)
            return ASN1_PARSE_FAILED;

        ASN1Node* pChild = pNode->pPool ? pNode->pPool->Allocate() : nullptr;
        if (!pChild) return ASN1_PARSE_FAILED;
        FillNode(pChild, pNode->pbBuffer, pNode->dwBufferSize, pNode, bTag, dwLengthOctets, dwLength,
                 qwContentOffset, wIndefinite);
        if (TraceEnabled(TRACE_FLAG_INFO)) PrintNode(pChild);
        if (pNode->pLastChild) pNode->pLastChild->pNextSibling = pChild;
        else pNode->pFirstChild = pChild;
        pNode->pLastChild = pChild;
        ++pNode->dwChildCount;
        // A definite-length leaf is finished here; everything else recurses.
        if (IsASN1LeafTag(bTag) && !wIndefinite) {
            if (++dwNodeCount > ASN1_MAX_NODES) {
                TraceInfo(TEXT("ParseNode: node limit reached (%u nodes)"), dwNodeCount);
                return ASN1_PARSE_FAILED;
            }
            if (qwContentOffset + dwLength > qwSize) return ASN1_PARSE_FAILED;
        } else if (ParseNode(pChild, dwNodeCount) != ASN1_PARSE_OK) {
            return ASN1_PARSE_FAILED;
        }

        qwConsumed += pChild->dwTotalLength;
        if (!pNode->wIndefinite && qwConsumed >= pNode->dwLength) return ASN1_PARSE_OK;
    }
}

HRESULT DecodeASN1Memory(ASN1NodePtr& pRoot, const BYTE* pbBuffer, DWORD dwSize) {
    VELA_TRACE_SCOPE("DecodeASN1Memory");
    BYTE bTag = 0;
    DWORD dwLengthOctets = 0, dwLength = 0;
    ULONGLONG qwContentOffset = 0;
    WORD wIndefinite = 0;
    if (ParseASN1TLV(0, dwSize, pbBuffer, bTag, dwLengthOctets, dwLength, qwContentOffset, wIndefinite) !=
        ASN1_PARSE_OK) {
        VELA_LOG_FAILURE(VELA_E_ASN1_DECODE, "ParseASN1TLV", "outermost tag and length");
        return VELA_R_ASN1_DECODE;
    }
    ASN1NodePool* pPool = new (std::nothrow) ASN1NodePool;
    ASN1NodePtr root(pPool ? pPool->Allocate() : nullptr);
    if (!root) {
        delete pPool;
        return ASN1_PARSE_FAILED;
    }
    FillNode(root.get(), pbBuffer, dwSize, nullptr, bTag, dwLengthOctets, dwLength, qwContentOffset, wIndefinite);
    pRoot = std::move(root);
    PrintNode(pRoot.get());
    DWORD dwNodeCount = 0;
    int nResult = ParseNode(pRoot.get(), dwNodeCount);
    TraceInfo(TEXT("DecodeASN1Memory: %u nodes"), dwNodeCount);
    return nResult;
}
