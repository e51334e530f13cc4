// The chain documents' DOM on Windows: the MSXML document object through
// COM (in-process server). The caller has initialised COM on the thread.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <msxml2.h>

#include "XmlDom.h"

namespace {

// mingw-w64's import libraries lack these identifiers; defined here under
// our own names. DOMDocument {F6D90F11-9C73-11D3-B32E-00C04F990BB4},
// IXMLDOMDocument {2933BF81-7B36-11D2-B20E-00C04F983E60}.
const CLSID kClsidDomDocument = {0xF6D90F11, 0x9C73, 0x11D3, {0xB3, 0x2E, 0x00, 0xC0, 0x4F, 0x99, 0x0B, 0xB4}};
const IID kIidXmlDomDocument = {0x2933BF81, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

// Calls a BSTR getter, copies its result and frees it.
template <typename Object, typename Getter>
HRESULT ReadBstr(Object* object, Getter getter, WString& out) {
    BSTR bstr = nullptr;
    HRESULT hr = (object->*getter)(&bstr);
    if (SUCCEEDED(hr)) out.assign(bstr ? bstr : L"");
    if (bstr) SysFreeString(bstr);
    return FAILED(hr) ? hr : S_OK;
}

class CMsxmlNode : public CXmlNode {
public:
    explicit CMsxmlNode(IXMLDOMNode* node) : m_node(node) {}
    ~CMsxmlNode() override {
        if (m_node) m_node->Release();
    }
    CMsxmlNode(const CMsxmlNode&) = delete;
    CMsxmlNode& operator=(const CMsxmlNode&) = delete;

    HRESULT GetChildCount(long& nCount) override { return ChildCount(m_node, nCount); }
    HRESULT GetChild(long nIndex, std::unique_ptr<CXmlNode>& pChild) override { return Child(m_node, nIndex, pChild); }
    HRESULT GetLastChild(std::unique_ptr<CXmlNode>& pChild) override { return LastChild(m_node, pChild); }
    HRESULT GetNodeName(WString& wstrName) override {
        return ReadBstr(m_node, &IXMLDOMNode::get_nodeName, wstrName);
    }
    HRESULT GetText(WString& wstrText) override {
        return ReadBstr(m_node, &IXMLDOMNode::get_text, wstrText);
    }

    static HRESULT ChildCount(IXMLDOMNode* node, long& nCount) {
        IXMLDOMNodeList* list = nullptr;
        HRESULT hr = node->get_childNodes(&list);
        if (FAILED(hr)) return hr;
        if (!list) return E_POINTER;
        LONG length = 0;
        hr = list->get_length(&length);
        list->Release();
        if (SUCCEEDED(hr)) nCount = length;
        return FAILED(hr) ? hr : S_OK;
    }
    static HRESULT Child(IXMLDOMNode* node, long nIndex, std::unique_ptr<CXmlNode>& pChild) {
        IXMLDOMNodeList* list = nullptr;
        HRESULT hr = node->get_childNodes(&list);
        if (FAILED(hr)) return hr;
        if (!list) return E_POINTER;
        IXMLDOMNode* item = nullptr;
        hr = list->get_item(nIndex, &item);
        list->Release();
        if (FAILED(hr)) return hr;
        if (!item) return E_INVALIDARG;
        return Wrap(item, pChild);
    }
    static HRESULT LastChild(IXMLDOMNode* node, std::unique_ptr<CXmlNode>& pChild) {
        IXMLDOMNode* item = nullptr;
        HRESULT hr = node->get_lastChild(&item);
        if (FAILED(hr)) return hr;
        if (!item) return S_FALSE;
        return Wrap(item, pChild);
    }
    static HRESULT Wrap(IXMLDOMNode* item, std::unique_ptr<CXmlNode>& pChild) {
        pChild.reset(new (std::nothrow) CMsxmlNode(item));
        if (!pChild) {
            item->Release();
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }

private:
    IXMLDOMNode* m_node;
};

class CMsxmlDocument : public CXmlDocument {
public:
    explicit CMsxmlDocument(IXMLDOMDocument* document) : m_document(document) {}
    ~CMsxmlDocument() override { m_document->Release(); }
    CMsxmlDocument(const CMsxmlDocument&) = delete;
    CMsxmlDocument& operator=(const CMsxmlDocument&) = delete;

    HRESULT LoadXml(const WCHAR* pwszText) override {
        BSTR bstrText = SysAllocString(pwszText);
        if (!bstrText) return E_OUTOFMEMORY;
        VARIANT_BOOL bLoaded = VARIANT_FALSE;
        HRESULT hr = m_document->loadXML(bstrText, &bLoaded);
        SysFreeString(bstrText);
        if (FAILED(hr)) return hr;
        return bLoaded == VARIANT_TRUE ? S_OK : E_FAIL;
    }
    HRESULT GetChildCount(long& nCount) override { return CMsxmlNode::ChildCount(m_document, nCount); }
    HRESULT GetChild(long nIndex, std::unique_ptr<CXmlNode>& pChild) override {
        return CMsxmlNode::Child(m_document, nIndex, pChild);
    }
    HRESULT GetLastChild(std::unique_ptr<CXmlNode>& pChild) override {
        return CMsxmlNode::LastChild(m_document, pChild);
    }
    HRESULT GetNodeName(WString& wstrName) override {
        return ReadBstr(m_document, &IXMLDOMNode::get_nodeName, wstrName);
    }
    HRESULT GetText(WString& wstrText) override {
        return ReadBstr(m_document, &IXMLDOMNode::get_text, wstrText);
    }

private:
    IXMLDOMDocument* m_document;
};

}  // namespace

HRESULT CreateXmlDocument(std::unique_ptr<CXmlDocument>& pDocument) {
    IXMLDOMDocument* document = nullptr;
    HRESULT hr = CoCreateInstance(kClsidDomDocument, nullptr, CLSCTX_INPROC_SERVER, kIidXmlDomDocument,
                                  reinterpret_cast<void**>(&document));
    if (FAILED(hr)) return hr;
    if (!document) return E_NOINTERFACE;
    document->put_async(VARIANT_FALSE);
    pDocument.reset(new (std::nothrow) CMsxmlDocument(document));
    if (!pDocument) {
        document->Release();
        return E_OUTOFMEMORY;
    }
    return S_OK;
}
