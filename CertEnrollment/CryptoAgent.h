// The enrollment agent: the one object through which both front ends reach
// the core. It keeps the page's settings between calls, the container of
// the last request, the state of a two-certificate installation and the
// status of its last operation.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include "Misc.h"

class CCryptoAgent final {
public:
    CCryptoAgent();
    ~CCryptoAgent();
    CCryptoAgent(const CCryptoAgent&) = delete;
    CCryptoAgent& operator=(const CCryptoAgent&) = delete;

    // The slot table, in its fixed order (the front ends call through it).
    virtual HRESULT VELA_GetCSPInfo(BSTR* pbstrCSPInfo);                                           // 0
    virtual HRESULT VELA_SetCSPInfo(LONG nKeyLength, BSTR bstrCSPName, VARIANT_BOOL* pbOk);         // 1
    virtual HRESULT VELA_SetKeyAlgorithm(BSTR bstrKeyAlgorithm, VARIANT_BOOL* pbOk);                // 2
    virtual HRESULT VELA_GetContainer(BSTR* pbstrContainer);                                       // 3
    virtual HRESULT VELA_ImportSignCert(LONG lCertType, BSTR bstrSignCert, BSTR bstrContainerName,
                                        VARIANT_BOOL* pbOk);                                        // 4
    virtual HRESULT VELA_ImportEncryptCert(BSTR bstrEncryptedPrivateKey, BSTR bstrP7Cert,
                                           BSTR bstrContainerName, LONG nFlags, VARIANT_BOOL* pbOk);  // 5
    virtual HRESULT VELA_PKCS10CertRequisition(BSTR bstrSubjectDN, LONG nCertType, LONG nGenKeyFlags,
                                               BSTR* pbstrRequest);                                 // 6
    virtual HRESULT VELA_GetAllCertInfo(BSTR* pbstrCertInfo);                                      // 7
    virtual HRESULT VELA_HavePermissiontoGenerateKeyPair(VARIANT_BOOL* pbOk);                      // 8
    virtual HRESULT VELA_GetVersion(BSTR* pbstrVersion);                                           // 9
    virtual HRESULT GetLastErrorDesc(BSTR* pbstrErrorDesc);                                        // 10

    // Read access for the front ends and the tests.
    HRESULT LastError() const { return m_nLastError; }
    const WString& KeyAlgorithm() const { return m_wstrKeyAlgorithm; }
    const WString& CSPName() const { return m_wstrCSPName; }
    LONG KeyLength() const { return m_nKeyLength; }

    // The module whose string table holds the error texts (set by the front end).
    static HINSTANCE s_hResourceModule;

private:
    HRESULT Record(HRESULT status) { return m_nLastError = status; }

    HRESULT m_nLastError = VELA_OK;
    WString m_wstrKeyAlgorithm;
    WString m_wstrCSPName;
    LONG m_nKeyLength = 0;
    WString m_wstrContainerName;
    WString m_wstrFirstSignContainer;
    WString m_wstrSecondSignContainer;
    HRESULT m_nDeferredSignError = VELA_OK;
    // The two-certificate containers that already held an installed
    // certificate when the installation reached them: a rollback keeps them.
    bool m_bFirstSignContainerKept = false;
    bool m_bSecondSignContainerKept = false;

    // Deletes the two-certificate containers a rollback may remove.
    void RollBackSignContainers(const WString& wstrFirst, const WString& wstrSecond);
};
