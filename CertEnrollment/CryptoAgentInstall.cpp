// The certificate-installation operations: the signature certificate
// (including the two-certificate installation done in two calls) and the
// encryption certificate with its CA-generated key.
#include <vector>

#include "CertHolders.h"
#include "CertificateRequisition.h"
#include "CryptoAgent.h"
#include "ImportEncryptCert.h"
#include "VelaTrace.h"

namespace {

bool IsNullOrEmpty(BSTR text) { return !text || !*text; }

// Whether a certificate in the user's "MY" store is linked to the container.
bool LinkedInPersonalStore(const WString& wstrContainer) {
    StoreHolder store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, TEXT("MY")));
    if (!store) return false;
    for (PCCERT_CONTEXT cert = CertEnumCertificatesInStore(store.Get(), nullptr); cert;
         cert = CertEnumCertificatesInStore(store.Get(), cert)) {
        DWORD size = 0;
        if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size) || size == 0) continue;
        std::vector<BYTE> buffer(size);
        if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size)) continue;
        const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
        if (info->pwszContainerName && EqualsNoCaseAscii(wstrContainer, info->pwszContainerName)) {
            CertFreeCertificateContext(cert);
            return true;
        }
    }
    return false;
}

// Whether a key of the container carries a certificate (non-Microsoft CSPs
// keep it with the key).
bool CertificateWithKey(const WString& wstrCSPName, const WString& wstrKeyAlgorithm, const WString& wstrContainer) {
    const bool rsa = EqualsNoCaseAscii(wstrKeyAlgorithm, TEXT("RSA"));
    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextW(&provider, wstrContainer.c_str(), wstrCSPName.c_str(),
                              rsa ? ProviderTypeForCSP(wstrCSPName) : PROV_RSA_FULL, rsa ? 0 : CRYPT_VERIFYCONTEXT))
        return false;
    ProviderHolder holder(provider);
    for (DWORD keySpec : {DWORD(AT_KEYEXCHANGE), DWORD(AT_SIGNATURE)}) {
        KeyHolder key;
        DWORD size = 0;
        if (CryptGetUserKey(provider, keySpec, key.Out()) &&
            CryptGetKeyParam(key.Get(), KP_CERTIFICATE, nullptr, &size, 0) && size)
            return true;
    }
    return false;
}

// A container that already holds an installed certificate belongs to an
// enrollment of its own, which a failed two-certificate installation must
// not destroy.
bool HoldsInstalledCertificate(const WString& wstrCSPName, const WString& wstrKeyAlgorithm,
                               const WString& wstrContainer) {
    VELA_TRACE_SCOPE("HoldsInstalledCertificate");
    bool held = LinkedInPersonalStore(wstrContainer) ||
                (!ContainsText(wstrCSPName, TEXT("Microsoft")) &&
                 CertificateWithKey(wstrCSPName, wstrKeyAlgorithm, wstrContainer));
    if (held) TraceInfo(TEXT("%ws - kept by a rollback"), wstrContainer.c_str());
    return held;
}

}  // namespace

void CCryptoAgent::RollBackSignContainers(const WString& wstrFirst, const WString& wstrSecond) {
    static const WString kNone;
    DeleteMultiCertContainer(m_bFirstSignContainerKept ? kNone : wstrFirst,
                             m_bSecondSignContainerKept ? kNone : wstrSecond, m_wstrCSPName);
}

HRESULT CCryptoAgent::VELA_ImportSignCert(LONG lCertType, BSTR bstrSignCert, BSTR bstrContainerName,
                                          VARIANT_BOOL* pbOk) {
    VELA_TRACE_SCOPE("CCryptoAgent::VELA_ImportSignCert");
    if (!bstrSignCert) {
        VELA_LOG_FAILURE(E_INVALIDARG, "bstrSignCert Invalid parameter.", "bstrSignCert == NULL");
        return Record(E_INVALIDARG);
    }
    if (!bstrContainerName) {
        VELA_LOG_FAILURE(E_INVALIDARG, "bstrContainerName Invalid parameter.", "bstrContainerName == NULL");
        return Record(E_INVALIDARG);
    }
    WString wstrSignCert = TrimSpaces(bstrSignCert);
    WString wstrContainer = TrimSpaces(bstrContainerName);
    DWORD dwKeySpec = 0;
    bool twoCertificates = false;
    switch (lCertType) {
    case 1: dwKeySpec = AT_KEYEXCHANGE; break;
    case 2: dwKeySpec = AT_SIGNATURE; break;
    case 3:
        twoCertificates = true;
        if (m_wstrFirstSignContainer.empty()) {
            m_wstrFirstSignContainer = wstrContainer;
            m_bFirstSignContainerKept = HoldsInstalledCertificate(m_wstrCSPName, m_wstrKeyAlgorithm, wstrContainer);
            m_bSecondSignContainerKept = false;
            dwKeySpec = AT_KEYEXCHANGE;
        } else if (m_nDeferredSignError != 0) {
            // The first certificate failed: discard both containers, report its failure now.
            m_bSecondSignContainerKept = HoldsInstalledCertificate(m_wstrCSPName, m_wstrKeyAlgorithm, wstrContainer);
            RollBackSignContainers(m_wstrFirstSignContainer, wstrContainer);
            m_wstrFirstSignContainer.clear();
            HRESULT deferred = m_nDeferredSignError ? m_nDeferredSignError : (HRESULT)GetLastError();
            HRESULT hr = StatusFromLastError(deferred);
            m_nDeferredSignError = 0;
            VELA_LOG_FAILURE(hr, "Import RSA single certificate", "TRUE");
            return Record(hr);
        } else {
            m_wstrSecondSignContainer = wstrContainer;
            m_bSecondSignContainerKept = HoldsInstalledCertificate(m_wstrCSPName, m_wstrKeyAlgorithm, wstrContainer);
            dwKeySpec = AT_SIGNATURE;
        }
        break;
    default:
        VELA_LOG_FAILURE(E_INVALIDARG, "Check lCertType", "TRUE");
        return Record(E_INVALIDARG);
    }

    HRESULT hr = ImportSignCert(m_wstrKeyAlgorithm, wstrSignCert, dwKeySpec, m_wstrCSPName, wstrContainer);
    if (twoCertificates && hr != 0) {
        if (!m_wstrFirstSignContainer.empty() && m_wstrSecondSignContainer.empty()) {
            // First of two: keep going; the failure is reported by the second call.
            m_nDeferredSignError = hr;
            if (pbOk) *pbOk = VARIANT_TRUE;
            return Record(VELA_OK);
        }
        RollBackSignContainers(m_wstrFirstSignContainer, wstrContainer);
        m_wstrFirstSignContainer.clear();
        m_wstrSecondSignContainer.clear();
    }
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "ImportSignCert", "FAILED(hResult)");
        return Record(hr);
    }
    if (pbOk) *pbOk = VARIANT_TRUE;
    VELA_LOG_SUCCESS("ImportSignCert");
    return Record(VELA_OK);
}

HRESULT CCryptoAgent::VELA_ImportEncryptCert(BSTR bstrEncryptedPrivateKey, BSTR bstrP7Cert, BSTR bstrContainerName,
                                             LONG nFlags, VARIANT_BOOL* pbOk) {
    VELA_TRACE_SCOPE("CCryptoAgent::VELA_ImportEncryptCert");
    // Whatever happens, an encryption certificate ends a two-certificate installation.
    struct ClearSignContainers {
        CCryptoAgent* agent;
        ~ClearSignContainers() {
            agent->m_wstrFirstSignContainer.clear();
            agent->m_wstrSecondSignContainer.clear();
        }
    } clearAtEnd{this};

    if (IsNullOrEmpty(bstrEncryptedPrivateKey) || IsNullOrEmpty(bstrP7Cert) || IsNullOrEmpty(bstrContainerName)) {
        VELA_LOG_FAILURE(E_INVALIDARG, "Invalid parameter.",
                         "bstrEncryptedPrivateKey == NULL || bstrP7Cert == NULL || bstrContainerName == NULL || 0 "
                         "== wcslen(bstrEncryptedPrivateKey) || 0 == wcslen(bstrP7Cert) || 0 == "
                         "wcslen(bstrContainerName)");
        return Record(E_INVALIDARG);
    }
    WString wstrEncryptedPrivateKey = TrimSpaces(bstrEncryptedPrivateKey);
    WString wstrP7Cert = TrimSpaces(bstrP7Cert);
    m_wstrContainerName = TrimSpaces(bstrContainerName);
    HRESULT hr = ImportEncryptCertEx(m_wstrCSPName, m_wstrContainerName, m_wstrKeyAlgorithm, wstrEncryptedPrivateKey,
                                     wstrP7Cert, m_nKeyLength, nFlags);
    if (hr != 0) {
        if (!m_wstrFirstSignContainer.empty() && !m_wstrSecondSignContainer.empty())
            RollBackSignContainers(m_wstrFirstSignContainer, m_wstrSecondSignContainer);
        if (FAILED(hr)) {
            VELA_LOG_FAILURE(hr, "ImportEncryptCertEx", "FAILED(hResult)");
            return Record(hr);
        }
    }
    if (pbOk) *pbOk = VARIANT_TRUE;
    VELA_LOG_SUCCESS("ImportEncryptCertEx");
    return Record(VELA_OK);
}
