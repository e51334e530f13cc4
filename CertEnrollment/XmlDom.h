// The small DOM the CA-chain documents are read through. Children come in
// document order; whitespace-only text between elements is dropped, while
// comments are nodes of their own (named "#comment", text nodes "#text").
// Windows implements it with the MSXML document object (COM must be
// initialised on the thread); other platforms with pugixml.
#pragma once
#include <windows.h>

#include <memory>

#include "Misc.h"

class CXmlNode {
public:
    virtual ~CXmlNode() = default;
    virtual HRESULT GetChildCount(long& nCount) = 0;
    // index in [0, count); fails with E_INVALIDARG outside it.
    virtual HRESULT GetChild(long nIndex, std::unique_ptr<CXmlNode>& pChild) = 0;
    // S_FALSE and no node when there is no child.
    virtual HRESULT GetLastChild(std::unique_ptr<CXmlNode>& pChild) = 0;
    virtual HRESULT GetNodeName(WString& wstrName) = 0;
    // The concatenated text of the node and its descendants.
    virtual HRESULT GetText(WString& wstrText) = 0;
};

class CXmlDocument : public CXmlNode {
public:
    // Parses the text; a document that is not well-formed fails.
    virtual HRESULT LoadXml(const WCHAR* pwszText) = 0;
};

// Creates an empty document object.
HRESULT CreateXmlDocument(std::unique_ptr<CXmlDocument>& pDocument);
