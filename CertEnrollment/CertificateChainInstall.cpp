// Installation of the embedded CA chains (see CertificateChainInstall.h).
#include "CertificateChainInstall.h"

#include <winreg.h>
#include <shlwapi.h>

#include <cstring>

#include "CertificateInfo.h"
#include "CryptoAgent.h"
#include "VelaTrace.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr DWORD kCertPropertyId = 32;  // CERT_CERT_PROP_ID: the DER certificate
constexpr DWORD kRecordHeaderSize = 12;

DWORD ReadLittleEndian32(const BYTE* p) {
    return (DWORD)p[0] | ((DWORD)p[1] << 8) | ((DWORD)p[2] << 16) | ((DWORD)p[3] << 24);
}

// Content text (Base64 in lines) -> the decoded registry blob.
HRESULT DecodeContent(const WCHAR* pwszContent, ByteBuffer& pbBlob, DWORD& dwBlobSize) {
    VELA_TRACE_SCOPE("DecodeContent");
    CharBuffer pszUTF8;
    DWORD dwLength = 0;
    HRESULT hr = UTF16ToUTF8(pwszContent ? pwszContent : TEXT(""), pszUTF8, dwLength);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "UTF16ToUTF8", "FAILED(hResult)");
        return hr;
    }
    hr = Base64DecodeEx((int)dwLength, pbBlob, pszUTF8.get(), dwBlobSize);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "Base64DecodeEx", "FAILED(hResult)");
        return hr;
    }
    return VELA_OK;
}

bool IsSelfSigned(PCCERT_CONTEXT pstCertContext) {
    const CERT_NAME_BLOB& issuer = pstCertContext->pCertInfo->Issuer;
    const CERT_NAME_BLOB& subject = pstCertContext->pCertInfo->Subject;
    return issuer.cbData == subject.cbData &&
           (issuer.cbData == 0 || std::memcmp(issuer.pbData, subject.pbData, issuer.cbData) == 0);
}

}  // namespace

HRESULT LoadModuleResource(HMODULE hModule, UINT nResourceId, ByteBuffer& pbData, DWORD& dwSize) {
    VELA_TRACE_SCOPE("LoadModuleResource");
    HRSRC hResInfo = FindResourceW(hModule, MAKEINTRESOURCEW(nResourceId), TEXT("CERTIFICATE"));
    if (!hResInfo) {
        HRESULT hr = StatusFromLastError((LONG)GetLastError());
        VELA_LOG_FAILURE(hr, "FindResource FAILED.", "NULL == hResInfo");
        return hr;
    }
    DWORD dwResSize = SizeofResource(hModule, hResInfo);
    if (dwResSize == 0) {
        HRESULT hr = StatusFromLastError((LONG)GetLastError());
        if (!FAILED(hr)) hr = E_FAIL;
        VELA_LOG_FAILURE(hr, "SizeofResource FAILED.", "0 == dwResSize");
        return hr;
    }
    HGLOBAL hResData = LoadResource(hModule, hResInfo);
    const void* pResData = hResData ? LockResource(hResData) : nullptr;
    if (!pResData) {
        HRESULT hr = StatusFromLastError((LONG)GetLastError());
        if (!FAILED(hr)) hr = E_FAIL;
        VELA_LOG_FAILURE(hr, "LoadResource FAILED.", "NULL == hResData");
        return hr;
    }
    ByteBuffer buffer = AllocZeroed<BYTE>(dwResSize);
    if (!buffer) {
        FreeResource(hResData);
        VELA_LOG_FAILURE(E_OUTOFMEMORY, "Dispatch memory failed.", "NULL == pbData");
        return E_OUTOFMEMORY;
    }
    std::memcpy(buffer.get(), pResData, dwResSize);
    FreeResource(hResData);
    pbData = std::move(buffer);
    dwSize = dwResSize;
    return VELA_OK;
}

HRESULT ImportCertificateChainfromResoure(UINT nResourceId) {
    VELA_TRACE_SCOPE("ImportCertificateChainfromResoure");
    TraceInfo(TEXT("ImportCertificateChainfromResoure - resource %u"), nResourceId);
    ByteBuffer pbData;
    DWORD dwSize = 0;
    HRESULT hr = LoadModuleResource(CCryptoAgent::s_hResourceModule, nResourceId, pbData, dwSize);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "LoadModuleResource", "FAILED(hResult)");
        return hr;
    }
    hr = ImportCertificateChainfromBlobData(pbData.get(), dwSize);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "ImportCertificateChainfromBlobData", "FAILED(hResult)");
        return hr;
    }
    VELA_LOG_SUCCESS("ImportCertificateChainfromBlobData");
    return VELA_OK;
}

HRESULT LoadXMLDom(const BYTE* pbResData, DWORD dwSize, std::unique_ptr<CXmlDocument>& pDocument) {
    VELA_TRACE_SCOPE("LoadXMLDom");
    if (!pbResData) {
        VELA_LOG_FAILURE(E_INVALIDARG, "check parameter.", "lpResData == NULL");
        return E_INVALIDARG;
    }
    std::unique_ptr<CXmlDocument> document;
    HRESULT hr = CreateXmlDocument(document);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "LoadXMLDom-CoCreateInstance", "FAILED(hResult)");
        return hr;
    }
    CharBuffer lpResDataWithEnd = AllocZeroed<char>((size_t)dwSize + 1);
    if (!lpResDataWithEnd) {
        VELA_LOG_FAILURE(E_OUTOFMEMORY, "New memory", "lpResDataWithEnd == NULL");
        return E_OUTOFMEMORY;
    }
    std::memcpy(lpResDataWithEnd.get(), pbResData, dwSize);
    WideBuffer pwszText;
    DWORD dwTextLength = 0;
    hr = UTF8ToUTF16(lpResDataWithEnd.get(), pwszText, dwTextLength);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "LoadXMLDom-UTF8ToUTF16", "FAILED(hResult)");
        return hr;
    }
    // A byte-order mark would make the text unparsable as a string.
    const WCHAR* pwszStart = pwszText.get();
    if (*pwszStart == 0xFEFF) ++pwszStart;
    hr = document->LoadXml(pwszStart);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "LoadXMLDom-loadXML", "FAILED(hResult)");
        return hr;
    }
    pDocument = std::move(document);
    return VELA_OK;
}

HRESULT ImportCertificateChainfromBlobData(const BYTE* pbData, DWORD dwSize) {
    VELA_TRACE_SCOPE("ImportCertificateChainfromBlobData");
    std::unique_ptr<CXmlDocument> document;
    HRESULT hr = LoadXMLDom(pbData, dwSize, document);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "LoadXMLDom", "FAILED(hResult)");
        return hr;
    }
    hr = ImportCertChainfromXMLDOMDoc(document.get());
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "ImportCertChainfromXMLDOMDoc", "FAILED(hResult)");
        return hr;
    }
    return VELA_OK;
}

HRESULT GetXMLRootNode(CXmlDocument* pDocument, std::unique_ptr<CXmlNode>& pRootNode) {
    VELA_TRACE_SCOPE("GetXMLRootNode");
    if (!pDocument) {
        VELA_LOG_FAILURE(E_INVALIDARG, "check parameter.", "NULL == pXMLDoc");
        return E_INVALIDARG;
    }
    std::unique_ptr<CXmlNode> node;
    HRESULT hr = pDocument->GetLastChild(node);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "get_lastChild", "FAILED(hResult)");
        return hr;
    }
    if (!node) {
        // An empty document has no root element to walk.
        VELA_LOG_FAILURE(E_FAIL, "get_lastChild", "NULL == pRootNode");
        return E_FAIL;
    }
    WString wstrName;
    if (SUCCEEDED(node->GetNodeName(wstrName)))
        TraceInfo(TEXT("GetXMLRootNode - root node: %ws"), wstrName.c_str());
    pRootNode = std::move(node);
    return VELA_OK;
}

HRESULT FindChildNode(std::unique_ptr<CXmlNode>& pChildNode, CXmlNode* pParent, const WCHAR* pwszName) {
    VELA_TRACE_SCOPE("FindChildNode");
    pChildNode.reset();
    if (!pParent || !pwszName) {
        VELA_LOG_FAILURE(E_INVALIDARG, "check parameter.", "NULL == pParentNode");
        return E_INVALIDARG;
    }
    long nCount = 0;
    HRESULT hr = pParent->GetChildCount(nCount);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "FindChildNode-get_length", "FAILED(hResult)");
        return hr;
    }
    for (long i = 0; i < nCount; ++i) {
        std::unique_ptr<CXmlNode> child;
        hr = pParent->GetChild(i, child);
        if (FAILED(hr)) {
            VELA_LOG_FAILURE(hr, "FindChildNode-get_item", "FAILED(hResult)");
            return hr;
        }
        WString wstrName;
        hr = child->GetNodeName(wstrName);
        if (FAILED(hr)) {
            VELA_LOG_FAILURE(hr, "FindChildNode-get_nodeName", "FAILED(hResult)");
            return hr;
        }
        if (StrStrIW(wstrName.c_str(), pwszName) != nullptr) {
            pChildNode = std::move(child);
            return VELA_OK;
        }
    }
    TraceInfo(TEXT("FindChildNode - no child named %ws"), pwszName);
    return VELA_R_XML_CHILD_NOT_FOUND;
}

HRESULT GetNodeValue(CXmlNode* pNode, WString& wstrValue) {
    VELA_TRACE_SCOPE("GetNodeValue");
    if (!pNode) {
        VELA_LOG_FAILURE(E_INVALIDARG, "check parameter.", "NULL == pNode");
        return E_INVALIDARG;
    }
    WString text;
    HRESULT hr = pNode->GetText(text);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "get_text", "FAILED(hResult)");
        return hr;
    }
    wstrValue = std::move(text);
    return VELA_OK;
}

HRESULT GetRegisteredCertificateInfoNode(CXmlNode* pCertificateNode, RegisteredCertificateInfo& stInfo) {
    VELA_TRACE_SCOPE("GetRegisteredCertificateInfoNode");
    long nCount = 0;
    HRESULT hr = pCertificateNode->GetChildCount(nCount);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "get_childNodes", "FAILED(hResult)");
        return hr;
    }
    if (nCount <= 2) {
        VELA_LOG_FAILURE(VELA_E_XML_PARSE, "the number of RegeditInfo Child Node is error!", "nCount <= 2");
        return VELA_E_XML_PARSE;
    }
    WString* targets[3] = {&stInfo.wstrImportPath, &stInfo.wstrEntryPoint, &stInfo.wstrContent};
    RegisteredCertificateInfo info;
    WString* values[3] = {&info.wstrImportPath, &info.wstrEntryPoint, &info.wstrContent};
    for (long i = 0; i < 3; ++i) {
        std::unique_ptr<CXmlNode> child;
        hr = pCertificateNode->GetChild(i, child);
        if (FAILED(hr)) {
            VELA_LOG_FAILURE(hr, "get_item", "FAILED(hResult)");
            return hr;
        }
        hr = GetNodeValue(child.get(), *values[i]);
        if (FAILED(hr)) {
            VELA_LOG_FAILURE(hr, "GetNodeValue", "FAILED(hResult)");
            return hr;
        }
    }
    for (int i = 0; i < 3; ++i) *targets[i] = std::move(*values[i]);
    return VELA_OK;
}

HRESULT GetCertFromCertificateBlobProperties(ByteBuffer& pbCert, const WCHAR* pwszContent, DWORD& dwCertSize) {
    VELA_TRACE_SCOPE("GetCertFromCertificateBlobProperties");
    ByteBuffer pbBlob;
    DWORD dwRegInfoSize = 0;
    HRESULT hr = DecodeContent(pwszContent, pbBlob, dwRegInfoSize);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "DecodeContent", "FAILED(hResult)");
        return hr;
    }
    DWORD dwCurentPos = 0;
    while (dwCurentPos < dwRegInfoSize) {
        if (dwRegInfoSize - dwCurentPos < kRecordHeaderSize) {
            VELA_LOG_FAILURE(E_FAIL, "Check regInfosize", "dwCurentPos + nLen > dwRegInfoSize");
            return E_FAIL;
        }
        DWORD nPropertyID = ReadLittleEndian32(pbBlob.get() + dwCurentPos) & 0x00FFFFFF;
        DWORD nLen = ReadLittleEndian32(pbBlob.get() + dwCurentPos + 8) & 0x00FFFFFF;
        dwCurentPos += kRecordHeaderSize;
        if (nLen > dwRegInfoSize - dwCurentPos) {
            VELA_LOG_FAILURE(E_FAIL, "Check regInfosize", "dwCurentPos + nLen > dwRegInfoSize");
            return E_FAIL;
        }
        if (nPropertyID == kCertPropertyId) {
            ByteBuffer cert = AllocZeroed<BYTE>(nLen);
            if (!cert) {
                VELA_LOG_FAILURE(E_OUTOFMEMORY, "New memory", "!pbyCert");
                return E_OUTOFMEMORY;
            }
            if (nLen) std::memcpy(cert.get(), pbBlob.get() + dwCurentPos, nLen);
            pbCert = std::move(cert);
            dwCertSize = nLen;
            return VELA_OK;
        }
        dwCurentPos += nLen;
    }
    VELA_LOG_FAILURE(E_FAIL, "Check Certificate node", "nPropertyID != 32");
    return E_FAIL;
}

HRESULT RegWriteBinaryValue(const WCHAR* pwszKeyPath, const WCHAR* pwszSubKey, const BYTE* pbData, DWORD dwSize) {
    VELA_TRACE_SCOPE("RegWriteBinaryValue");
    HKEY hKey = nullptr;
    LSTATUS lResult = RegOpenKeyExW(HKEY_LOCAL_MACHINE, pwszKeyPath, 0, KEY_ALL_ACCESS, &hKey);
    if (lResult != ERROR_SUCCESS) {
        HRESULT hr = StatusFromLastError(lResult);
        VELA_LOG_FAILURE(hr, "RegOpenKeyEx FAILED.", "ERROR_SUCCESS != lResult");
        return hr;
    }
    HKEY hSubKey = nullptr;
    DWORD dwDisposition = 0;
    lResult = RegCreateKeyExW(hKey, pwszSubKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, nullptr,
                              &hSubKey, &dwDisposition);
    if (lResult != ERROR_SUCCESS) {
        HRESULT hr = StatusFromLastError(lResult);
        RegCloseKey(hKey);
        VELA_LOG_FAILURE(hr, "RegCreateKeyEx FAILED.", "ERROR_SUCCESS != lResult");
        return hr;
    }
    lResult = RegSetValueExW(hSubKey, TEXT("Blob"), 0, REG_BINARY, pbData, dwSize);
    RegCloseKey(hSubKey);
    RegCloseKey(hKey);
    if (lResult != ERROR_SUCCESS) {
        HRESULT hr = StatusFromLastError(lResult);
        VELA_LOG_FAILURE(hr, "RegSetValueEx FAILED.", "ERROR_SUCCESS != lResult");
        return hr;
    }
    return VELA_OK;
}

HRESULT WriteCertificatetoRegistry(const WCHAR* pwszImportPath, const WCHAR* pwszEntryPoint,
                                   const WCHAR* pwszContent) {
    VELA_TRACE_SCOPE("WriteCertificatetoRegistry");
    ByteBuffer pbBlob;
    DWORD dwBlobSize = 0;
    HRESULT hr = DecodeContent(pwszContent, pbBlob, dwBlobSize);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "DecodeContent", "FAILED(hResult)");
        return hr;
    }
    hr = RegWriteBinaryValue(pwszImportPath, pwszEntryPoint, pbBlob.get(), dwBlobSize);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "RegWriteBinaryValue", "FAILED(hResult)");
        return hr;
    }
    return VELA_OK;
}

HRESULT GetMachineTime(FILETIME& stMachineTime) {
    VELA_TRACE_SCOPE("GetMachineTime");
    SYSTEMTIME stLocal = {}, stUniversal = {};
    GetLocalTime(&stLocal);
    if (!TzSpecificLocalTimeToSystemTime(nullptr, &stLocal, &stUniversal)) {
        HRESULT hr = StatusFromLastError((LONG)GetLastError());
        VELA_LOG_FAILURE(hr, "TzSpecificLocalTimeToSystemTime", "!bResult");
        return hr;
    }
    FILETIME stTime = {};
    if (!SystemTimeToFileTime(&stUniversal, &stTime)) {
        HRESULT hr = StatusFromLastError((LONG)GetLastError());
        VELA_LOG_FAILURE(hr, "SystemTimeToFileTime", "!bResult");
        return hr;
    }
    stMachineTime = stTime;
    return VELA_OK;
}

HRESULT CheckCertValidTime(const FILETIME* pstMachineTime, BOOL& bExpired, PCCERT_CONTEXT pstCertContext) {
    VELA_TRACE_SCOPE("CheckCertValidTime");
    if (!pstCertContext) {
        VELA_LOG_FAILURE(E_INVALIDARG, "check parameter.", "NULL == pstCertContext");
        return E_INVALIDARG;
    }
    if (!pstMachineTime) {
        VELA_LOG_FAILURE(E_INVALIDARG, "check parameter.", "NULL == pstMachineTime");
        return E_INVALIDARG;
    }
    ByteBuffer pbSubject;
    DWORD dwSubjectLength = 0;
    HRESULT hr = QueryCertContextInfo(pstCertContext, QUERYID_SUBJECT_FULL, &pbSubject, dwSubjectLength);
    if (hr != S_OK) {
        VELA_LOG_FAILURE(hr, "QueryCertContextInfo(QUERYID_SUBJECT_FULL)", "hResult != S_OK");
        return hr;
    }
    const WString wstrSubject = ToWString(reinterpret_cast<const WCHAR*>(pbSubject.get()));
    const FILETIME& notAfter = pstCertContext->pCertInfo->NotAfter;
    SYSTEMTIME stUniversal = {}, stLocal = {};
    if (FileTimeToSystemTime(&notAfter, &stUniversal) &&
        SystemTimeToTzSpecificLocalTime(nullptr, &stUniversal, &stLocal)) {
        TraceInfo(TEXT("CheckCertValidTime - %ws valid to %04d-%02d-%02d %02d:%02d:%02d"), wstrSubject.c_str(),
                  stLocal.wYear, stLocal.wMonth, stLocal.wDay, stLocal.wHour, stLocal.wMinute, stLocal.wSecond);
    }
    bExpired = CompareFileTime(&notAfter, pstMachineTime) < 0 ? TRUE : FALSE;
    if (bExpired) TraceInfo(TEXT("CheckCertValidTime - %ws has expired"), wstrSubject.c_str());
    return VELA_OK;
}

HRESULT ParseCertificateNode(const FILETIME* pstMachineTime, CXmlNode* pCertificateNode) {
    VELA_TRACE_SCOPE("ParseCertificateNode");
    RegisteredCertificateInfo stInfo;
    HRESULT hr = GetRegisteredCertificateInfoNode(pCertificateNode, stInfo);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "GetRegisteredCertificateInfoNode", "FAILED(hResult)");
        return hr;
    }
    ByteBuffer pbCert;
    DWORD dwCertSize = 0;
    hr = GetCertFromCertificateBlobProperties(pbCert, stInfo.wstrContent.c_str(), dwCertSize);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "GetCertFromCertificateBlobProperties", "FAILED(hResult)");
        return hr;
    }
    PCCERT_CONTEXT pstCertContext = CertCreateCertificateContext(X509_ASN_ENCODING, pbCert.get(), dwCertSize);
    if (!pstCertContext) {
        hr = StatusFromLastError((LONG)GetLastError());
        if (!FAILED(hr)) hr = E_FAIL;
        VELA_LOG_FAILURE(hr, "CertCreateCertificateContext", "pstCertContext == NULL");
        return hr;
    }
    BOOL bExpired = FALSE;
    if (FAILED(CheckCertValidTime(pstMachineTime, bExpired, pstCertContext))) bExpired = FALSE;
    CertFreeCertificateContext(pstCertContext);
    if (bExpired) {
        TraceInfo(TEXT("ParseCertificateNode - expired root %ws skipped"), stInfo.wstrEntryPoint.c_str());
        return VELA_OK;
    }
    hr = WriteCertificatetoRegistry(stInfo.wstrImportPath.c_str(), stInfo.wstrEntryPoint.c_str(),
                                    stInfo.wstrContent.c_str());
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "WriteCertificatetoRegistry", "FAILED(hResult)");
        return hr;
    }
    VELA_LOG_SUCCESS("WriteCertificatetoRegistry");
    return VELA_OK;
}

HRESULT ParseRootCACertificateNode(CXmlNode* pRootCACertificateNode) {
    VELA_TRACE_SCOPE("ParseRootCACertificateNode");
    if (!pRootCACertificateNode) {
        VELA_LOG_FAILURE(E_INVALIDARG, "check parameter.", "pRootCACertificateNode == NULL");
        return E_INVALIDARG;
    }
    long nCount = 0;
    HRESULT hr = pRootCACertificateNode->GetChildCount(nCount);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "get_childNodes", "FAILED(hResult)");
        return hr;
    }
    FILETIME stMachineTime = {};
    hr = GetMachineTime(stMachineTime);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "GetMachineTime", "FAILED(hResult)");
        return hr;
    }
    for (long i = 0; i < nCount; ++i) {
        std::unique_ptr<CXmlNode> child;
        hr = pRootCACertificateNode->GetChild(i, child);
        if (FAILED(hr)) {
            VELA_LOG_FAILURE(hr, "get_item", "FAILED(hResult)");
            continue;
        }
        WString wstrName;
        child->GetNodeName(wstrName);
        TraceInfo(TEXT("ParseRootCACertificateNode - child %d: %ws"), (int)i, wstrName.c_str());
        hr = ParseCertificateNode(&stMachineTime, child.get());
        if (FAILED(hr))
            VELA_LOG_FAILURE(hr, "ParseCertificateNode", "FAILED(hResult)");
        else
            VELA_LOG_SUCCESS("ParseCertificateNode");
    }
    return VELA_OK;
}

HRESULT ImportP7bCertificatestoStore(const BYTE* pCertData, HCERTSTORE& hCertStore, DWORD dwCertDataSize) {
    VELA_TRACE_SCOPE("ImportP7bCertificatestoStore");
    if (!pCertData || dwCertDataSize == 0) {
        VELA_LOG_FAILURE(E_INVALIDARG, "check parameter.", "pCertData == NULL||dwCertDataSize <=0");
        return E_INVALIDARG;
    }
    CRYPT_DATA_BLOB stBlob = {dwCertDataSize, const_cast<BYTE*>(pCertData)};
    HCERTSTORE hStore = CertOpenStore(CERT_STORE_PROV_PKCS7, kEncoding, 0, CERT_STORE_READONLY_FLAG, &stBlob);
    if (!hStore) {
        HRESULT hr = StatusFromLastError((LONG)GetLastError());
        if (!FAILED(hr)) hr = E_FAIL;
        VELA_LOG_FAILURE(hr, "CertOpenStore", "hCertStore == NULL");
        return hr;
    }
    hCertStore = hStore;
    return VELA_OK;
}

HRESULT AddCACertficatetoStore(HCERTSTORE hSourceStore) {
    VELA_TRACE_SCOPE("AddCACertficatetoStore");
    HCERTSTORE hCAStore = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE,
                                        TEXT("CA"));
    if (!hCAStore) {
        HRESULT hr = StatusFromLastError((LONG)GetLastError());
        if (!FAILED(hr)) hr = E_FAIL;
        VELA_LOG_FAILURE(hr, "CertOpenStore(CA)", "hCertStore == NULL");
        return hr;
    }
    FILETIME stMachineTime = {};
    GetMachineTime(stMachineTime);
    HRESULT hr = VELA_OK;
    PCCERT_CONTEXT pstCert = nullptr;
    while ((pstCert = CertEnumCertificatesInStore(hSourceStore, pstCert)) != nullptr) {
        BOOL bExpired = FALSE;
        if (FAILED(CheckCertValidTime(&stMachineTime, bExpired, pstCert))) bExpired = FALSE;
        if (bExpired) continue;
        if (IsSelfSigned(pstCert)) {
            TraceInfo(TEXT("AddCACertficatetoStore - self-signed certificate skipped"));
            continue;
        }
        if (!CertAddCertificateContextToStore(hCAStore, pstCert, CERT_STORE_ADD_NEW, nullptr)) {
            DWORD dwError = GetLastError();
            if ((HRESULT)dwError == CRYPT_E_EXISTS) {
                TraceInfo(TEXT("AddCACertficatetoStore - certificate already present"));
                continue;
            }
            hr = StatusFromLastError((LONG)dwError);
            if (!FAILED(hr)) hr = E_FAIL;
            VELA_LOG_FAILURE(hr, "CertAddCertificateContextToStore", "!bResult");
            CertFreeCertificateContext(pstCert);
            break;
        }
        VELA_LOG_SUCCESS("CertAddCertificateContextToStore");
    }
    CertCloseStore(hCAStore, 0);
    return hr;
}

HRESULT ParseP7bContentNode(CXmlNode* pP7bContentNode) {
    VELA_TRACE_SCOPE("ParseP7bContentNode");
    if (!pP7bContentNode) {
        VELA_LOG_FAILURE(E_INVALIDARG, "check parameter.", "pP7bContentNode == NULL");
        return E_INVALIDARG;
    }
    WString wstrValue;
    HRESULT hr = GetNodeValue(pP7bContentNode, wstrValue);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "GetNodeValue", "FAILED(hResult)");
        return hr;
    }
    ByteBuffer pbData;
    DWORD dwSize = 0;
    hr = DecodeContent(wstrValue.c_str(), pbData, dwSize);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "DecodeContent", "FAILED(hResult)");
        return hr;
    }
    HCERTSTORE hP7bStore = nullptr;
    hr = ImportP7bCertificatestoStore(pbData.get(), hP7bStore, dwSize);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "ImportP7bCertificatestoStore", "FAILED(hResult)");
        return hr;
    }
    hr = AddCACertficatetoStore(hP7bStore);
    CertCloseStore(hP7bStore, 0);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "AddCACertficatetoStore", "FAILED(hResult)");
        return hr;
    }
    return VELA_OK;
}

HRESULT ImportCertChainfromXMLDOMDoc(CXmlDocument* pDocument) {
    VELA_TRACE_SCOPE("ImportCertChainfromXMLDOMDoc");
    std::unique_ptr<CXmlNode> rootNode;
    HRESULT hr = GetXMLRootNode(pDocument, rootNode);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "GetXMLRootNode", "FAILED(hResult)");
        return hr;
    }
    std::unique_ptr<CXmlNode> rootCANode;
    hr = FindChildNode(rootCANode, rootNode.get(), TEXT("RootCACertificate"));
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "FindChildNode(RootCACertificate)", "FAILED(hResult)");
        return hr;
    }
    hr = ParseRootCACertificateNode(rootCANode.get());
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "ParseRootCACertificateNode", "FAILED(hResult)");
        return hr;
    }
    std::unique_ptr<CXmlNode> p7bNode;
    hr = FindChildNode(p7bNode, rootNode.get(), TEXT("P7bContent"));
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "FindChildNode(P7bContent)", "FAILED(hResult)");
        return hr;
    }
    hr = ParseP7bContentNode(p7bNode.get());
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "ParseP7bContentNode", "FAILED(hResult)");
        return hr;
    }
    return VELA_OK;
}
