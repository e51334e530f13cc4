// Installation of the CA chains embedded as "CERTIFICATE" resources: the
// roots of RootCACertificate are written as registry certificate blobs
// under HKEY_LOCAL_MACHINE (bypassing the store interface), the
// certificates of P7bContent go into the local machine's "CA" store,
// without the self-signed and the expired ones. COM must be initialised on
// the calling thread (the document parser is a COM object on Windows).
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <memory>

#include "ChainResources.h"
#include "Misc.h"
#include "XmlDom.h"

// The three child texts of one Certificate element.
struct RegisteredCertificateInfo {
    WString wstrImportPath;
    WString wstrEntryPoint;
    WString wstrContent;
};

// Installs one embedded document of the resource module
// (CCryptoAgent::s_hResourceModule; null is the program itself).
HRESULT ImportCertificateChainfromResoure(UINT nResourceId);
// Copies a "CERTIFICATE" resource into a new buffer.
HRESULT LoadModuleResource(HMODULE hModule, UINT nResourceId, ByteBuffer& pbData, DWORD& dwSize);
// Installs a chain from a UTF-8 document held in memory.
HRESULT ImportCertificateChainfromBlobData(const BYTE* pbData, DWORD dwSize);
HRESULT LoadXMLDom(const BYTE* pbResData, DWORD dwSize, std::unique_ptr<CXmlDocument>& pDocument);
HRESULT ImportCertChainfromXMLDOMDoc(CXmlDocument* pDocument);

// DOM helpers. FindChildNode answers VELA_R_XML_CHILD_NOT_FOUND (not a
// failure) and no node when no child's name contains the wanted name.
HRESULT GetXMLRootNode(CXmlDocument* pDocument, std::unique_ptr<CXmlNode>& pRootNode);
HRESULT FindChildNode(std::unique_ptr<CXmlNode>& pChildNode, CXmlNode* pParent, const WCHAR* pwszName);
HRESULT GetNodeValue(CXmlNode* pNode, WString& wstrValue);
HRESULT GetRegisteredCertificateInfoNode(CXmlNode* pCertificateNode, RegisteredCertificateInfo& stInfo);

// Root route.
HRESULT ParseRootCACertificateNode(CXmlNode* pRootCACertificateNode);
HRESULT ParseCertificateNode(const FILETIME* pstMachineTime, CXmlNode* pCertificateNode);
HRESULT GetCertFromCertificateBlobProperties(ByteBuffer& pbCert, const WCHAR* pwszContent, DWORD& dwCertSize);
HRESULT WriteCertificatetoRegistry(const WCHAR* pwszImportPath, const WCHAR* pwszEntryPoint,
                                   const WCHAR* pwszContent);
HRESULT RegWriteBinaryValue(const WCHAR* pwszKeyPath, const WCHAR* pwszSubKey, const BYTE* pbData, DWORD dwSize);

// Intermediate route.
HRESULT ParseP7bContentNode(CXmlNode* pP7bContentNode);
HRESULT ImportP7bCertificatestoStore(const BYTE* pCertData, HCERTSTORE& hCertStore, DWORD dwCertDataSize);
HRESULT AddCACertficatetoStore(HCERTSTORE hSourceStore);

// The current time as a UTC file time.
HRESULT GetMachineTime(FILETIME& stMachineTime);
// bExpired is set when the certificate's notAfter is strictly earlier than
// the machine time.
HRESULT CheckCertValidTime(const FILETIME* pstMachineTime, BOOL& bExpired, PCCERT_CONTEXT pstCertContext);
