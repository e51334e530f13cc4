// Removal of retired CA certificates and the installation sequence (see
// CertificateChainDelete.h).
#include "CertificateChainDelete.h"

#include <winreg.h>

#include "CertificateChainInstall.h"
#include "VelaTrace.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr const WCHAR* kRootCertificatesKey = TEXT("SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates");

// The tables are data of the deployment, generated next to the chain
// documents by scripts/make-ca-chains.sh.
#define VELA_RETIRED_INTERMEDIATE(issuer, serial, subject) {TEXT(issuer), nullptr, TEXT(serial), TEXT(subject)},
#define VELA_RETIRED_ROOT(issuer, thumbprint, serial, subject) \
    {TEXT(issuer), TEXT(thumbprint), TEXT(serial), TEXT(subject)},
const RetiredCertificate kRetiredRSA[] = {
#include "RetiredRSA.def"
};
const RetiredCertificate kRetiredSM2[] = {
#include "RetiredSM2.def"
};
#undef VELA_RETIRED_INTERMEDIATE
#undef VELA_RETIRED_ROOT

// The filter of one row: subject, issuer and serial (least significant
// byte first, as certificates store serials).
CertificateFilter RowFilter(const WCHAR* pwszIssuer, const WCHAR* pwszSubject, const BYTE* pbSerial,
                            DWORD dwSerialLength) {
    CertificateFilter filter = {};
    filter.subjectFilters = pwszSubject;
    filter.issuerFilters = pwszIssuer;
    filter.serialNumber = pbSerial;
    filter.serialNumberLength = dwSerialLength;
    return filter;
}

}  // namespace

const RetiredCertificate* RetiredRSACertificates(size_t& nCount) {
    nCount = sizeof kRetiredRSA / sizeof kRetiredRSA[0];
    return kRetiredRSA;
}

const RetiredCertificate* RetiredSM2Certificates(size_t& nCount) {
    nCount = sizeof kRetiredSM2 / sizeof kRetiredSM2[0];
    return kRetiredSM2;
}

HRESULT DeleteCertificateFromStore(DWORD dwLocation, const CertificateFilter* pstFilter) {
    VELA_TRACE_SCOPE("DeleteCertificateFromStore");
    if (CERT_SYSTEM_STORE_LOCAL_MACHINE != dwLocation && CERT_SYSTEM_STORE_CURRENT_USER != dwLocation) {
        VELA_LOG_FAILURE(E_INVALIDARG, "check parameter.",
                         "(CERT_SYSTEM_STORE_LOCAL_MACHINE != dwFlag && CERT_SYSTEM_STORE_CURRENT_USER != dwFlag)");
        return E_INVALIDARG;
    }
    TraceInfo(TEXT("DeleteCertificateFromStore - location: %ws"),
              dwLocation == CERT_SYSTEM_STORE_LOCAL_MACHINE ? TEXT("LocalMachine") : TEXT("CurrentUser"));
    HCERTSTORE hCertStore = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0, dwLocation, TEXT("CA"));
    if (!hCertStore) {
        HRESULT hr = StatusFromLastError((LONG)GetLastError());
        if (!FAILED(hr)) hr = E_FAIL;
        VELA_LOG_FAILURE(hr, "CertOpenStore", "hCertStore == NULL");
        return hr;
    }
    CertificateList allCerts, selected;
    HRESULT hr = ExtractCertificatesFromStore(hCertStore, allCerts);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "ExtractCertificatesFromStore", "FAILED(hResult)");
    } else {
        hr = FilterCertificates(pstFilter, selected, allCerts.Items());
        if (FAILED(hr)) VELA_LOG_FAILURE(hr, "FilterCertificates", "FAILED(hResult)");
    }
    if (SUCCEEDED(hr)) {
        TraceInfo(TEXT("DeleteCertificateFromStore - %u certificate(s) selected"), (unsigned)selected.Size());
        for (PCCERT_CONTEXT pstCert : selected.Items()) {
            PCCERT_CONTEXT pstCopy = CertDuplicateCertificateContext(pstCert);
            if (!pstCopy) {
                HRESULT hrItem = StatusFromLastError((LONG)GetLastError());
                VELA_LOG_FAILURE(hrItem, "CertDuplicateCertificateContext", "NULL == pstCopy");
                continue;
            }
            // The deletion consumes the reference, whatever its outcome.
            if (!CertDeleteCertificateFromStore(pstCopy)) {
                HRESULT hrItem = StatusFromLastError((LONG)GetLastError());
                VELA_LOG_FAILURE(hrItem, "CertDeleteCertificateFromStore", "!bResult");
                continue;
            }
            VELA_LOG_SUCCESS("CertDeleteCertificateFromStore");
        }
        // Stores that defer their writes keep deletions only once committed;
        // stores that write through have nothing left to commit.
        if (!selected.Empty()) CertControlStore(hCertStore, 0, CERT_STORE_CTRL_COMMIT, nullptr);
        hr = VELA_OK;
    }
    selected.Free();
    allCerts.Free();
    CertCloseStore(hCertStore, 0);
    return hr;
}

HRESULT DeleteIntermediateCert(const WCHAR* pwszIssuer, const WCHAR* pwszSerial, const WCHAR* pwszSubject) {
    VELA_TRACE_SCOPE("DeleteIntermediateCert");
    ByteBuffer pbSerial;
    DWORD dwSerialLength = 0;
    HRESULT hr = ConvertStringToBinaryData(dwSerialLength, pwszSerial, pbSerial);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "ConvertStringToBinaryData", "FAILED(hResult)");
        return hr;
    }
    CertificateFilter filter = RowFilter(pwszIssuer, pwszSubject, pbSerial.get(), dwSerialLength);
    hr = DeleteCertificateFromStore(CERT_SYSTEM_STORE_LOCAL_MACHINE, &filter);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "DeleteCertificateFromStore(LocalMachine)", "FAILED(hResult)");
        return hr;
    }
    hr = DeleteCertificateFromStore(CERT_SYSTEM_STORE_CURRENT_USER, &filter);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "DeleteCertificateFromStore(CurrentUser)", "FAILED(hResult)");
        return hr;
    }
    return VELA_OK;
}

HRESULT DeleteTrustedRootCert(const WCHAR* pwszIssuer, const WCHAR* pwszThumbprint, const WCHAR* pwszSerial,
                              const WCHAR* pwszSubject) {
    VELA_TRACE_SCOPE("DeleteTrustedRootCert");
    ByteBuffer pbSerial;
    DWORD dwSerialLength = 0;
    HRESULT hr = ConvertStringToBinaryData(dwSerialLength, pwszSerial, pbSerial);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "ConvertStringToBinaryData", "FAILED(hResult)");
        return hr;
    }
    CertificateFilter filter = RowFilter(pwszIssuer, pwszSubject, pbSerial.get(), dwSerialLength);
    hr = DeleteCertificateFromStore(CERT_SYSTEM_STORE_LOCAL_MACHINE, &filter);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "DeleteCertificateFromStore(LocalMachine-CA)", "FAILED(hResult)");
        return hr;
    }
    hr = DeleteRegistryKey(pwszThumbprint);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "DeleteRegistryKey", "FAILED(hResult)");
        return hr;
    }
    return VELA_OK;
}

HRESULT DeleteRegistryKey(const WCHAR* pwszSubKey) {
    VELA_TRACE_SCOPE("DeleteRegistryKey");
    if (!pwszSubKey || !*pwszSubKey) {
        // An empty name would delete the trusted-root key itself.
        VELA_LOG_FAILURE(E_INVALIDARG, "check parameter.", "NULL == pwszSubKey");
        return E_INVALIDARG;
    }
    HKEY hKey = nullptr;
    LSTATUS lResult = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRootCertificatesKey, 0, KEY_ALL_ACCESS, &hKey);
    if (lResult != ERROR_SUCCESS) {
        HRESULT hr = StatusFromLastError(lResult);
        VELA_LOG_FAILURE(hr, "RegOpenKeyEx FAILED.", "ERROR_SUCCESS != lResult");
        return hr;
    }
    lResult = RegDeleteKeyW(hKey, pwszSubKey);
    RegCloseKey(hKey);
    if (lResult != ERROR_SUCCESS) {
        HRESULT hr = StatusFromLastError(lResult);
        VELA_LOG_FAILURE(hr, "RegDeleteKey FAILED.", "ERROR_SUCCESS != lResult");
        return hr;
    }
    return VELA_OK;
}

HRESULT DeleteRetiredCertificates(const RetiredCertificate* pstRows, size_t nCount) {
    VELA_TRACE_SCOPE("DeleteRetiredCertificates");
    for (size_t i = 0; i < nCount; ++i) {
        const RetiredCertificate& row = pstRows[i];
        HRESULT hr = row.pwszThumbprint
                         ? DeleteTrustedRootCert(row.pwszIssuer, row.pwszThumbprint, row.pwszSerial, row.pwszSubject)
                         : DeleteIntermediateCert(row.pwszIssuer, row.pwszSerial, row.pwszSubject);
        if (FAILED(hr)) {
            TraceInfo(TEXT("DeleteRetiredCertificates - row %u: 0x%08x"), (unsigned)i, (unsigned)hr);
            VELA_LOG_FAILURE(hr, "Delete retired certificate", "FAILED(hResult)");
        } else {
            TraceInfo(TEXT("DeleteRetiredCertificates - row %u: OK"), (unsigned)i);
        }
    }
    return VELA_OK;
}

HRESULT DeleteRSADiscardCert() {
    VELA_TRACE_SCOPE("DeleteRSADiscardCert");
    return DeleteRetiredCertificates(kRetiredRSA, sizeof kRetiredRSA / sizeof kRetiredRSA[0]);
}

HRESULT DeleteSM2DiscardCert() {
    VELA_TRACE_SCOPE("DeleteSM2DiscardCert");
    return DeleteRetiredCertificates(kRetiredSM2, sizeof kRetiredSM2 / sizeof kRetiredSM2[0]);
}

#define VELA_LOG_STEP(status, label)                           \
    do {                                                       \
        HRESULT vela_stepStatus = (status);                    \
        if (FAILED(vela_stepStatus))                           \
            VELA_LOG_FAILURE(vela_stepStatus, label, "FAILED(hResult)"); \
        else                                                   \
            VELA_LOG_SUCCESS(label);                           \
    } while (false)

void RunInstallationSequenceForHost() {
    VELA_TRACE_SCOPE("RunInstallationSequenceForHost");
    VELA_LOG_STEP(DeleteRSADiscardCert(), "DeleteRSADiscardCert");
    VELA_LOG_STEP(DeleteSM2DiscardCert(), "DeleteSM2DiscardCert");
    VELA_LOG_STEP(ImportCertificateChainfromResoure(IDR_RSA_CERTIFICATE_CHAIN),
                  "ImportCertificateChainfromResoure(RSA Operation)");
    VELA_LOG_STEP(ImportCertificateChainfromResoure(IDR_TEST_RSA_CERTIFICATE_CHAIN),
                  "ImportCertificateChainfromResoure(RSA Test)");
}

void RunInstallationSequenceForPlugin() {
    VELA_TRACE_SCOPE("RunInstallationSequenceForPlugin");
    VELA_LOG_STEP(DeleteRSADiscardCert(), "DeleteRSADiscardCert");
    VELA_LOG_STEP(DeleteSM2DiscardCert(), "DeleteSM2DiscardCert");
    VELA_LOG_STEP(ImportCertificateChainfromResoure(IDR_RSA_CERTIFICATE_CHAIN), "ImportCertificateChainfromResoure");
    VELA_LOG_STEP(ImportCertificateChainfromResoure(IDR_TEST_RSA_CERTIFICATE_CHAIN),
                  "ImportCertificateChainfromResoure");
    VELA_LOG_STEP(ImportCertificateChainfromResoure(IDR_SM2_CERTIFICATE_CHAIN),
                  "ImportCertificateChainfromResoure(IDR_SM2_CERTIFICATE_CHAIN)");
    VELA_LOG_STEP(ImportCertificateChainfromResoure(IDR_TEST_SM2_CERTIFICATE_CHAIN),
                  "ImportCertificateChainfromResoure(IDR_TEST_SM2_CERTIFICATE_CHAIN)");
}
