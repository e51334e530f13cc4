// The chain documents' DOM on platforms without MSXML: pugixml, parsed
// with comments kept as nodes and whitespace-only text between elements
// dropped, the way the MSXML document presents them.
#include <pugixml.hpp>

#include <tessera/platform_internal.h>

#include "VelaFormat.h"
#include "XmlDom.h"

namespace {

void AppendText(const pugi::xml_node& node, std::string& out) {
    for (pugi::xml_node child : node.children()) {
        switch (child.type()) {
            case pugi::node_pcdata:
            case pugi::node_cdata:
                out += child.value();
                break;
            case pugi::node_element:
                AppendText(child, out);
                break;
            default:
                break;
        }
    }
}

class CPugiNode : public CXmlNode {
public:
    CPugiNode(std::shared_ptr<pugi::xml_document> owner, pugi::xml_node node)
        : m_owner(std::move(owner)), m_node(node) {}

    HRESULT GetChildCount(long& nCount) override {
        long n = 0;
        for (pugi::xml_node child = m_node.first_child(); child; child = child.next_sibling()) ++n;
        nCount = n;
        return S_OK;
    }
    HRESULT GetChild(long nIndex, std::unique_ptr<CXmlNode>& pChild) override {
        if (nIndex < 0) return E_INVALIDARG;
        pugi::xml_node child = m_node.first_child();
        for (long i = 0; child && i < nIndex; ++i) child = child.next_sibling();
        if (!child) return E_INVALIDARG;
        return Wrap(child, pChild);
    }
    HRESULT GetLastChild(std::unique_ptr<CXmlNode>& pChild) override {
        pugi::xml_node child = m_node.last_child();
        if (!child) return S_FALSE;
        return Wrap(child, pChild);
    }
    HRESULT GetNodeName(WString& wstrName) override {
        switch (m_node.type()) {
            case pugi::node_document: wstrName = TEXT("#document"); break;
            case pugi::node_pcdata: wstrName = TEXT("#text"); break;
            case pugi::node_cdata: wstrName = TEXT("#cdata-section"); break;
            case pugi::node_comment: wstrName = TEXT("#comment"); break;
            default: wstrName = tessera::ToUtf16(m_node.name()); break;
        }
        return S_OK;
    }
    HRESULT GetText(WString& wstrText) override {
        std::string text;
        if (m_node.type() == pugi::node_element || m_node.type() == pugi::node_document)
            AppendText(m_node, text);
        else
            text = m_node.value();
        wstrText = tessera::ToUtf16(text);
        return S_OK;
    }

protected:
    HRESULT Wrap(pugi::xml_node child, std::unique_ptr<CXmlNode>& pChild) {
        pChild.reset(new (std::nothrow) CPugiNode(m_owner, child));
        return pChild ? S_OK : E_OUTOFMEMORY;
    }
    std::shared_ptr<pugi::xml_document> m_owner;

private:
    pugi::xml_node m_node;
};

class CPugiDocument : public CXmlDocument {
public:
    explicit CPugiDocument(std::shared_ptr<pugi::xml_document> document)
        : m_document(document), m_root(document, *document) {}

    HRESULT LoadXml(const WCHAR* pwszText) override {
        size_t characters = WideLength(pwszText);
        pugi::xml_parse_result result =
            m_document->load_buffer(pwszText, characters * sizeof(WCHAR),
                                    pugi::parse_default | pugi::parse_comments, pugi::encoding_utf16);
        return result ? S_OK : E_FAIL;
    }
    HRESULT GetChildCount(long& nCount) override { return m_root.GetChildCount(nCount); }
    HRESULT GetChild(long nIndex, std::unique_ptr<CXmlNode>& pChild) override {
        return m_root.GetChild(nIndex, pChild);
    }
    HRESULT GetLastChild(std::unique_ptr<CXmlNode>& pChild) override { return m_root.GetLastChild(pChild); }
    HRESULT GetNodeName(WString& wstrName) override { return m_root.GetNodeName(wstrName); }
    HRESULT GetText(WString& wstrText) override { return m_root.GetText(wstrText); }

private:
    std::shared_ptr<pugi::xml_document> m_document;
    CPugiNode m_root;
};

}  // namespace

HRESULT CreateXmlDocument(std::unique_ptr<CXmlDocument>& pDocument) {
    std::shared_ptr<pugi::xml_document> document(new (std::nothrow) pugi::xml_document());
    if (!document) return E_OUTOFMEMORY;
    pDocument.reset(new (std::nothrow) CPugiDocument(document));
    return pDocument ? S_OK : E_OUTOFMEMORY;
}
