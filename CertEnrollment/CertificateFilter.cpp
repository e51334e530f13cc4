// Certificate selection (see CertificateFilter.h).
#include "CertificateFilter.h"

#include <shlwapi.h>

#include <cstring>

#include "CertificateInfo.h"
#include "VelaTrace.h"

namespace {

constexpr size_t kMaxFilterCharacters = 255;

// Passes when the list is empty or an alternative is empty or occurs in
// the text, compared without regard to case.
HRESULT MatchAlternatives(const WString& wstrText, const FilterList& filterList) {
    for (const WString& alternative : filterList) {
        if (alternative.empty()) return VELA_OK;
        if (StrStrIW(wstrText.c_str(), alternative.c_str()) != nullptr) return VELA_OK;
    }
    return E_FAIL;
}

}  // namespace

void CertificateList::Free() {
    for (PCCERT_CONTEXT item : m_items)
        if (item) CertFreeCertificateContext(item);
    m_items.clear();
}

void ParseFilters(const WCHAR* pwszFilters, FilterList& filterList) {
    if (!pwszFilters) return;
    const WCHAR* start = pwszFilters;
    for (;;) {
        const WCHAR* end = start;
        while (*end && *end != TEXT('#')) ++end;
        size_t length = (size_t)(end - start);
        if (length > kMaxFilterCharacters) length = kMaxFilterCharacters;
        filterList.emplace_back(start, length);
        if (!*end) break;
        start = end + 1;
    }
}

HRESULT ExtractCertificatesFromStore(HCERTSTORE hCertStore, CertificateList& certList) {
    VELA_TRACE_SCOPE("ExtractCertificatesFromStore");
    if (!hCertStore) {
        certList.Free();
        VELA_LOG_FAILURE(E_INVALIDARG, "check parameter.", "NULL == hCertStore");
        return E_INVALIDARG;
    }
    PCCERT_CONTEXT pstCurrent = nullptr;
    while ((pstCurrent = CertEnumCertificatesInStore(hCertStore, pstCurrent)) != nullptr) {
        PCCERT_CONTEXT pstCopy = CertDuplicateCertificateContext(pstCurrent);
        if (!pstCopy) {
            HRESULT hr = StatusFromLastError((LONG)GetLastError());
            CertFreeCertificateContext(pstCurrent);
            certList.Free();
            VELA_LOG_FAILURE(hr, "CertDuplicateCertificateContext", "NULL == pstCopy");
            return hr;
        }
        certList.Append(pstCopy);
    }
    return VELA_OK;
}

HRESULT CheckCertSubjectName(PCCERT_CONTEXT pstCertContext, DWORD dwNameForm, const FilterList& filterList) {
    VELA_TRACE_SCOPE("CheckCertSubjectName");
    if (filterList.empty()) return VELA_OK;
    WideBuffer pwszSubject;
    DWORD dwLength = 0;
    HRESULT hr = GetCertSubject(pstCertContext, dwNameForm, pwszSubject, dwLength);
    WString wstrSubject = SUCCEEDED(hr) ? ToWString(pwszSubject.get()) : WString();
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "GetCertSubject", "FAILED(hResult)");
        return hr;
    }
    hr = MatchAlternatives(wstrSubject, filterList);
    if (FAILED(hr)) TraceInfo(TEXT("CheckCertSubjectName - no alternative in %ws"), wstrSubject.c_str());
    return hr;
}

HRESULT CheckCertIssuer(PCCERT_CONTEXT pstCertContext, const FilterList& filterList) {
    VELA_TRACE_SCOPE("CheckCertIssuer");
    if (filterList.empty()) return VELA_OK;
    WideBuffer pwszIssuer;
    DWORD dwLength = 0;
    HRESULT hr = GetCertIssuer(pstCertContext, pwszIssuer, dwLength);
    WString wstrIssuer = SUCCEEDED(hr) ? ToWString(pwszIssuer.get()) : WString();
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "GetCertIssuer", "FAILED(hResult)");
        return hr;
    }
    hr = MatchAlternatives(wstrIssuer, filterList);
    if (FAILED(hr)) TraceInfo(TEXT("CheckCertIssuer - no alternative in %ws"), wstrIssuer.c_str());
    return hr;
}

HRESULT CheckCertKeyUsage(DWORD dwKeyUsage, PCCERT_CONTEXT pstCertContext) {
    VELA_TRACE_SCOPE("CheckCertKeyUsage");
    if (dwKeyUsage == 0) return VELA_OK;
    DWORD dwCertUsage = 0;
    HRESULT hr = GetCertKeyUsage(pstCertContext, dwCertUsage);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "GetCertKeyUsage", "FAILED(hResult)");
        return hr;
    }
    if ((dwCertUsage & dwKeyUsage) == 0) {
        VELA_LOG_FAILURE(VELA_E_INVALID_CERT_USAGE, "Check key usage", "0 == (dwCertKeyUsage & dwKeyUsage)");
        return VELA_E_INVALID_CERT_USAGE;
    }
    return VELA_OK;
}

HRESULT CheckCertSubjectKeyID(const BYTE* pbSubjectKeyId, DWORD dwFilterLength, PCCERT_CONTEXT pstCertContext) {
    VELA_TRACE_SCOPE("CheckCertSubjectKeyID");
    if (!pbSubjectKeyId) return VELA_OK;
    ByteBuffer pbKeyId;
    DWORD dwKeyIdLength = 0;
    HRESULT hr = GetCertSubjectKeyID(pstCertContext, &pbKeyId, dwKeyIdLength);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "GetCertSubjectKeyID", "FAILED(hResult)");
        return hr;
    }
    // The comparison runs over the certificate's length; a shorter filter
    // cannot match it.
    if (dwKeyIdLength > dwFilterLength ||
        (dwKeyIdLength && std::memcmp(pbKeyId.get(), pbSubjectKeyId, dwKeyIdLength) != 0)) {
        VELA_LOG_FAILURE(E_FAIL, "Compare subject key id", "0 != memcmp");
        return E_FAIL;
    }
    return VELA_OK;
}

HRESULT CheckCertSerialNumber(PCCERT_CONTEXT pstCertContext, const BYTE* pbSerialNumber, DWORD dwFilterLength) {
    VELA_TRACE_SCOPE("CheckCertSerialNumber");
    if (!pbSerialNumber) return VELA_OK;
    const CRYPT_INTEGER_BLOB& serial = pstCertContext->pCertInfo->SerialNumber;
    // The filter's data bytes count as followed by four zero bytes, so a
    // serial whose DER sign byte (last in this order) is not in the filter
    // still matches.
    bool bEqual = serial.cbData <= (DWORD64)dwFilterLength + 4;
    for (DWORD i = 0; bEqual && i < serial.cbData; ++i) {
        BYTE filterByte = i < dwFilterLength ? pbSerialNumber[i] : 0;
        bEqual = serial.pbData[i] == filterByte;
    }
    if (!bEqual) {
        TraceInfo(TEXT("CheckCertSerialNumber - serial of %u bytes differs"), (unsigned)serial.cbData);
        return E_FAIL;
    }
    return VELA_OK;
}

HRESULT CheckCertTimeValidity(const FILETIME* pstTime, PCCERT_CONTEXT pstCertContext) {
    VELA_TRACE_SCOPE("CheckCertTimeValidity");
    if (!pstTime) return VELA_OK;
    FILETIME when = *pstTime;
    if (CertVerifyTimeValidity(&when, pstCertContext->pCertInfo) != 0) {
        VELA_LOG_FAILURE(E_FAIL, "CertVerifyTimeValidity", "0 != lResult");
        return E_FAIL;
    }
    return VELA_OK;
}

HRESULT CheckCertSignatureAlg(const char* pszAlgorithmOid, PCCERT_CONTEXT pstCertContext) {
    VELA_TRACE_SCOPE("CheckCertSignatureAlg");
    if (!pszAlgorithmOid) return VELA_OK;
    const char* pszCertOid = pstCertContext->pCertInfo->SignatureAlgorithm.pszObjId;
    size_t length = std::strlen(pszAlgorithmOid);
    if (!pszCertOid || std::strncmp(pszCertOid, pszAlgorithmOid, length) != 0) {
        VELA_LOG_FAILURE(E_FAIL, "Compare signature algorithm", "0 != strncmp");
        return E_FAIL;
    }
    return VELA_OK;
}

HRESULT CheckCSPName(PCCERT_CONTEXT pstCertContext, const FilterList& filterList) {
    VELA_TRACE_SCOPE("CheckCSPName");
    if (filterList.empty()) return VELA_OK;
    ByteBuffer provInfo;
    DWORD dwSize = 0;
    HRESULT hr = GetCertificateContextProperty(pstCertContext, provInfo, dwSize);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "GetCertificateContextProperty(CERT_KEY_PROV_INFO_PROP_ID)", "FAILED(hResult)");
        return hr;
    }
    const CRYPT_KEY_PROV_INFO* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(provInfo.get());
    WString wstrProvName = ToWString(info->pwszProvName);
    hr = MatchAlternatives(wstrProvName, filterList);
    if (FAILED(hr)) TraceInfo(TEXT("CheckCSPName - no alternative in %ws"), wstrProvName.c_str());
    return hr;
}

HRESULT FilterCertificates(const CertificateFilter* pstFilter, CertificateList& outList,
                           std::vector<PCCERT_CONTEXT> inputList) {
    VELA_TRACE_SCOPE("FilterCertificates");
    CertificateFilter stNoFilter = {};
    const CertificateFilter& filter = pstFilter ? *pstFilter : stNoFilter;

    FilterList subjectList, issuerList, cspList;
    ParseFilters(filter.subjectFilters, subjectList);
    ParseFilters(filter.issuerFilters, issuerList);
    SplitStrings(filter.cspNameFilters, cspList);
    TraceInfo(TEXT("FilterCertificates - subject: %ws, issuer: %ws, CSP: %ws"),
              filter.subjectFilters ? filter.subjectFilters : TEXT("(null)"),
              filter.issuerFilters ? filter.issuerFilters : TEXT("(null)"),
              filter.cspNameFilters ? filter.cspNameFilters : TEXT("(null)"));

    for (PCCERT_CONTEXT pstCert : inputList) {
        if (!pstCert || !pstCert->pCertInfo) continue;
        if (FAILED(CheckCertSubjectName(pstCert, CERT_X500_NAME_STR, subjectList))) continue;
        if (FAILED(CheckCertIssuer(pstCert, issuerList))) continue;
        if (FAILED(CheckCertKeyUsage(filter.keyUsage, pstCert))) continue;
        if (FAILED(CheckCertSubjectKeyID(filter.subjectKeyId, filter.subjectKeyIdLength, pstCert))) continue;
        if (FAILED(CheckCertSerialNumber(pstCert, filter.serialNumber, filter.serialNumberLength))) continue;
        if (FAILED(CheckCertTimeValidity(filter.validAt, pstCert))) continue;
        if (FAILED(CheckCertSignatureAlg(filter.signatureAlgorithm, pstCert))) continue;
        if (FAILED(CheckCSPName(pstCert, cspList))) continue;
        if (filter.requirePrivateKey == 1) {
            HCRYPTPROV_OR_NCRYPT_KEY_HANDLE hProvider = 0;
            DWORD dwKeySpec = 0;
            BOOL bCallerFree = FALSE;
            if (!CryptAcquireCertificatePrivateKey(pstCert, 0, nullptr, &hProvider, &dwKeySpec, &bCallerFree)) {
                HRESULT hr = StatusFromLastError((LONG)GetLastError());
                VELA_LOG_FAILURE(hr, "CryptAcquireCertificatePrivateKey", "!bResult");
                continue;
            }
            if (bCallerFree) CryptReleaseContext((HCRYPTPROV)hProvider, 0);
        }
        PCCERT_CONTEXT pstCopy = CertDuplicateCertificateContext(pstCert);
        if (!pstCopy) {
            HRESULT hr = StatusFromLastError((LONG)GetLastError());
            VELA_LOG_FAILURE(hr, "CertDuplicateCertificateContext", "NULL == pstCopy");
            outList.Free();
            return hr;
        }
        outList.Append(pstCopy);
    }
    return VELA_OK;
}
