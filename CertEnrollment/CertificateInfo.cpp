#include "CertificateInfo.h"

#include <cstring>

#include "VelaFormat.h"
#include "VelaTrace.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr DWORD kNameFlags = CERT_NAME_STR_NO_QUOTING_FLAG | CERT_NAME_STR_REVERSE_FLAG;

HRESULT NameToString(const CERT_NAME_BLOB* pName, DWORD dwStrType, WideBuffer& pwszText, DWORD& dwLength) {
    VELA_TRACE_SCOPE("NameToString");
    DWORD cch = CertNameToStrW(kEncoding, const_cast<CERT_NAME_BLOB*>(pName), dwStrType, nullptr, 0);
    if (cch == 0) {
        HRESULT hr = HRESULT_FROM_WIN32(GetLastError());
        if (hr == VELA_OK) hr = E_FAIL;
        VELA_LOG_FAILURE(hr, "CertNameToStr", "0 == dwSize");
        return hr;
    }
    WideBuffer text = AllocZeroed<WCHAR>(cch);
    if (!text) {
        VELA_LOG_FAILURE(E_OUTOFMEMORY, "Dispatch memory failed.", "NULL == pwszName");
        return E_OUTOFMEMORY;
    }
    DWORD cchWritten = CertNameToStrW(kEncoding, const_cast<CERT_NAME_BLOB*>(pName), dwStrType, text.get(), cch);
    if (cchWritten == 0) {
        HRESULT hr = HRESULT_FROM_WIN32(GetLastError());
        if (hr == VELA_OK) hr = E_FAIL;
        VELA_LOG_FAILURE(hr, "CertNameToStr", "0 == dwSize");
        return hr;
    }
    text[cch - 1] = 0;
    pwszText = std::move(text);
    dwLength = cch;
    return VELA_OK;
}

// Decodes an extension's value with the platform's structure decoder.
HRESULT DecodeExtension(const CERT_EXTENSION* pExtension, LPCSTR pszStructType, ByteBuffer& pbDecoded) {
    VELA_TRACE_SCOPE("DecodeExtension");
    DWORD cb = 0;
    if (!CryptDecodeObjectEx(kEncoding, pszStructType, pExtension->Value.pbData, pExtension->Value.cbData,
                             CRYPT_DECODE_NOCOPY_FLAG, nullptr, nullptr, &cb)) {
        HRESULT hr = HRESULT_FROM_WIN32(GetLastError());
        if (hr == VELA_OK) hr = E_FAIL;
        VELA_LOG_FAILURE(hr, "CryptDecodeObjectEx", "FALSE == bResult");
        return hr;
    }
    ByteBuffer decoded = AllocZeroed<BYTE>(cb);
    if (!decoded) {
        VELA_LOG_FAILURE(E_OUTOFMEMORY, "New memory failed.", "NULL == pbDecoded");
        return E_OUTOFMEMORY;
    }
    if (!CryptDecodeObjectEx(kEncoding, pszStructType, pExtension->Value.pbData, pExtension->Value.cbData,
                             CRYPT_DECODE_NOCOPY_FLAG, nullptr, decoded.get(), &cb)) {
        HRESULT hr = HRESULT_FROM_WIN32(GetLastError());
        if (hr == VELA_OK) hr = E_FAIL;
        VELA_LOG_FAILURE(hr, "CryptDecodeObjectEx", "FALSE == bResult");
        return hr;
    }
    pbDecoded = std::move(decoded);
    return VELA_OK;
}

// PP_NAME or PP_CONTAINER of the provider that holds the certificate's key.
HRESULT GetCertKeyProviderParam(PCCERT_CONTEXT pstCertContext, DWORD dwParam, WideBuffer& pwszValue,
                                DWORD& dwLength) {
    VELA_TRACE_SCOPE("GetCertKeyProviderParam");
    if (!pstCertContext) {
        VELA_LOG_FAILURE(E_INVALIDARG, "check parameter.", "pstCertContext == NULL");
        return E_INVALIDARG;
    }
    HCRYPTPROV hProvider = 0;
    DWORD dwKeySpec = 0;
    BOOL bCallerFree = FALSE;
    if (!CryptAcquireCertificatePrivateKey(pstCertContext, 0, nullptr, &hProvider, &dwKeySpec, &bCallerFree)) {
        HRESULT hr = HRESULT_FROM_WIN32(GetLastError());
        if (hr == VELA_OK) hr = E_FAIL;
        VELA_LOG_FAILURE(hr, "CryptAcquireCertificatePrivateKey FAILED.", "FALSE == bResult");
        return hr;
    }
    ByteBuffer pbValue;
    DWORD cbValue = 0;
    HRESULT hr = GetProviderInfo(cbValue, hProvider, dwParam, pbValue);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "GetProviderInfo FAILED.", "FAILED(hResult)");
    } else {
        // The value is an 8-bit string; make sure it ends inside the buffer.
        std::string value(reinterpret_cast<const char*>(pbValue.get()), cbValue);
        value = value.c_str();
        hr = UTF8ToUTF16(value.c_str(), pwszValue, dwLength);
        if (FAILED(hr)) VELA_LOG_FAILURE(hr, "UTF8ToUTF16 FAILED.", "FAILED(hResult)");
    }
    if (bCallerFree) CryptReleaseContext(hProvider, 0);
    return hr;
}

void AppendField(WString& wstrRecord, const WCHAR* pwsz) {
    if (pwsz) wstrRecord.append(pwsz);
    wstrRecord.push_back(';');
}

HRESULT CopyWideToBytes(const WideBuffer& pwsz, DWORD cch, ByteBuffer& pbOut) {
    size_t cb = (size_t)cch * sizeof(WCHAR);
    ByteBuffer out = AllocZeroed<BYTE>(cb + sizeof(WCHAR));
    if (!out) return E_OUTOFMEMORY;
    if (cb) std::memcpy(out.get(), pwsz.get(), cb);
    pbOut = std::move(out);
    return VELA_OK;
}

}  // namespace

HRESULT GetCertSubject(PCCERT_CONTEXT pstCertContext, DWORD dwForm, WideBuffer& pwszSubject, DWORD& dwLength) {
    VELA_TRACE_SCOPE("GetCertSubject");
    if (!pstCertContext || !pstCertContext->pCertInfo) return E_INVALIDARG;
    return NameToString(&pstCertContext->pCertInfo->Subject, dwForm | kNameFlags, pwszSubject, dwLength);
}

HRESULT GetCertIssuer(PCCERT_CONTEXT pstCertContext, WideBuffer& pwszIssuer, DWORD& dwLength) {
    VELA_TRACE_SCOPE("GetCertIssuer");
    if (!pstCertContext || !pstCertContext->pCertInfo) return E_INVALIDARG;
    return NameToString(&pstCertContext->pCertInfo->Issuer, CERT_X500_NAME_STR | kNameFlags, pwszIssuer, dwLength);
}

HRESULT GetCertCN(PCCERT_CONTEXT pstCertContext, WideBuffer& pwszCN, DWORD& dwLength) {
    VELA_TRACE_SCOPE("GetCertCN");
    if (!pstCertContext) return E_INVALIDARG;
    DWORD cch = CertGetNameStringW(pstCertContext, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    if (cch == 0) {
        HRESULT hr = HRESULT_FROM_WIN32(GetLastError());
        if (hr == VELA_OK) hr = E_FAIL;
        VELA_LOG_FAILURE(hr, "CertGetNameString", "0 == dwSize");
        return hr;
    }
    WideBuffer text = AllocZeroed<WCHAR>(cch);
    if (!text) {
        VELA_LOG_FAILURE(E_OUTOFMEMORY, "New memory failed.", "NULL == pwszCN");
        return E_OUTOFMEMORY;
    }
    if (CertGetNameStringW(pstCertContext, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, text.get(), cch) == 0) {
        HRESULT hr = HRESULT_FROM_WIN32(GetLastError());
        if (hr == VELA_OK) hr = E_FAIL;
        VELA_LOG_FAILURE(hr, "CertGetNameString", "0 == dwSize");
        return hr;
    }
    text[cch - 1] = 0;
    pwszCN = std::move(text);
    dwLength = cch;
    return VELA_OK;
}

HRESULT GetCertSerialNumber(PCCERT_CONTEXT pstCertContext, ByteBuffer& pbSerial, DWORD& dwLength) {
    VELA_TRACE_SCOPE("GetCertSerialNumber");
    if (!pstCertContext || !pstCertContext->pCertInfo) return E_INVALIDARG;
    const CRYPT_INTEGER_BLOB& serial = pstCertContext->pCertInfo->SerialNumber;
    ByteBuffer copy = AllocZeroed<BYTE>(serial.cbData);
    if (!copy) {
        VELA_LOG_FAILURE(E_OUTOFMEMORY, "New memory failed.", "NULL == pbSerial");
        return E_OUTOFMEMORY;
    }
    if (serial.cbData) std::memcpy(copy.get(), serial.pbData, serial.cbData);
    pbSerial = std::move(copy);
    dwLength = serial.cbData;
    return VELA_OK;
}

HRESULT GetCertKeyUsage(PCCERT_CONTEXT pstCertContext, DWORD& dwKeyUsage) {
    VELA_TRACE_SCOPE("GetCertKeyUsage");
    if (!pstCertContext || !pstCertContext->pCertInfo) return E_INVALIDARG;
    const CERT_INFO* pInfo = pstCertContext->pCertInfo;
    PCERT_EXTENSION pExtension = CertFindExtension(szOID_KEY_USAGE, pInfo->cExtension, pInfo->rgExtension);
    if (!pExtension) {
        VELA_LOG_FAILURE(VELA_E_NO_KEY_USAGE, "CertFindExtension", "NULL == pExtension");
        return VELA_E_NO_KEY_USAGE;
    }
    ByteBuffer decoded;
    HRESULT hr = DecodeExtension(pExtension, X509_KEY_USAGE, decoded);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "CryptDecodeObjectEx", "FAILED(hResult)");
        return hr;
    }
    const CRYPT_BIT_BLOB* pBits = reinterpret_cast<const CRYPT_BIT_BLOB*>(decoded.get());
    dwKeyUsage = (pBits->cbData && pBits->pbData) ? pBits->pbData[0] : 0;
    return VELA_OK;
}

HRESULT GetCertSubjectKeyID(PCCERT_CONTEXT pstCertContext, ByteBuffer* pbKeyID, DWORD& dwLength) {
    VELA_TRACE_SCOPE("GetCertSubjectKeyID");
    if (!pstCertContext || !pstCertContext->pCertInfo) return E_INVALIDARG;
    const CERT_INFO* pInfo = pstCertContext->pCertInfo;
    PCERT_EXTENSION pExtension =
        CertFindExtension(szOID_SUBJECT_KEY_IDENTIFIER, pInfo->cExtension, pInfo->rgExtension);
    if (!pExtension) {
        VELA_LOG_FAILURE(VELA_E_NO_SUBJECT_KEY_ID, "CertFindExtension", "NULL == pExtension");
        return VELA_E_NO_SUBJECT_KEY_ID;
    }
    if (!pbKeyID) return VELA_OK;
    ByteBuffer decoded;
    HRESULT hr = DecodeExtension(pExtension, szOID_SUBJECT_KEY_IDENTIFIER, decoded);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "CryptDecodeObjectEx", "FAILED(hResult)");
        return hr;
    }
    const CRYPT_DATA_BLOB* pBlob = reinterpret_cast<const CRYPT_DATA_BLOB*>(decoded.get());
    ByteBuffer copy = AllocZeroed<BYTE>(pBlob->cbData);
    if (!copy) {
        VELA_LOG_FAILURE(E_OUTOFMEMORY, "New memory failed.", "NULL == pbKeyID");
        return E_OUTOFMEMORY;
    }
    if (pBlob->cbData) std::memcpy(copy.get(), pBlob->pbData, pBlob->cbData);
    *pbKeyID = std::move(copy);
    dwLength = pBlob->cbData;
    return VELA_OK;
}

HRESULT GetCertProviderName(PCCERT_CONTEXT pstCertContext, WideBuffer& pwszName, DWORD& dwLength) {
    VELA_TRACE_SCOPE("GetCertProviderName");
    return GetCertKeyProviderParam(pstCertContext, PP_NAME, pwszName, dwLength);
}

HRESULT GetCertContainerName(PCCERT_CONTEXT pstCertContext, WideBuffer& pwszName, DWORD& dwLength) {
    VELA_TRACE_SCOPE("GetCertContainerName");
    return GetCertKeyProviderParam(pstCertContext, PP_CONTAINER, pwszName, dwLength);
}

HRESULT GetCertToDate(PCCERT_CONTEXT pstCertContext, SYSTEMTIME& stTime) {
    VELA_TRACE_SCOPE("GetCertToDate");
    if (!pstCertContext || !pstCertContext->pCertInfo) return E_INVALIDARG;
    FileTimeToSystemTime(&pstCertContext->pCertInfo->NotAfter, &stTime);
    return VELA_OK;
}

HRESULT GetCertFromDate(PCCERT_CONTEXT pstCertContext, SYSTEMTIME& stTime) {
    VELA_TRACE_SCOPE("GetCertFromDate");
    if (!pstCertContext || !pstCertContext->pCertInfo) return E_INVALIDARG;
    FileTimeToSystemTime(&pstCertContext->pCertInfo->NotBefore, &stTime);
    return VELA_OK;
}

HRESULT QueryCertContextInfo(PCCERT_CONTEXT pstCertContext, DWORD dwQueryID, ByteBuffer* pbResult, DWORD& dwLength,
                             void* pvOut) {
    VELA_TRACE_SCOPE("QueryCertContextInfo");
    WideBuffer text;
    DWORD cch = 0;
    HRESULT hr = VELA_OK;
    switch (dwQueryID) {
        case QUERYID_SUBJECT_FULL:
        case QUERYID_SUBJECT_SIMPLE:
        case QUERYID_ISSUER:
        case QUERYID_PROVIDERNAME:
        case QUERYID_CONTAINERNAME:
        case QUERYID_CN:
            if (dwQueryID == QUERYID_SUBJECT_FULL) hr = GetCertSubject(pstCertContext, CERT_X500_NAME_STR, text, cch);
            else if (dwQueryID == QUERYID_SUBJECT_SIMPLE)
                hr = GetCertSubject(pstCertContext, CERT_SIMPLE_NAME_STR, text, cch);
            else if (dwQueryID == QUERYID_ISSUER) hr = GetCertIssuer(pstCertContext, text, cch);
            else if (dwQueryID == QUERYID_PROVIDERNAME) hr = GetCertProviderName(pstCertContext, text, cch);
            else if (dwQueryID == QUERYID_CONTAINERNAME) hr = GetCertContainerName(pstCertContext, text, cch);
            else hr = GetCertCN(pstCertContext, text, cch);
            if (SUCCEEDED(hr) && pbResult) hr = CopyWideToBytes(text, cch, *pbResult);
            if (SUCCEEDED(hr)) dwLength = cch;
            break;
        case QUERYID_SERIALNUMBER: {
            ByteBuffer serial;
            DWORD cb = 0;
            hr = GetCertSerialNumber(pstCertContext, serial, cb);
            if (SUCCEEDED(hr)) {
                if (pbResult) *pbResult = std::move(serial);
                dwLength = cb;
            }
            break;
        }
        case QUERYID_TODATE:
        case QUERYID_FROMDATE: {
            SYSTEMTIME st = {};
            hr = dwQueryID == QUERYID_TODATE ? GetCertToDate(pstCertContext, st) : GetCertFromDate(pstCertContext, st);
            if (SUCCEEDED(hr)) {
                if (pvOut) *static_cast<SYSTEMTIME*>(pvOut) = st;
                dwLength = sizeof(SYSTEMTIME);
            }
            break;
        }
        case QUERYID_SUBJECTKEYID:
            hr = GetCertSubjectKeyID(pstCertContext, pbResult, dwLength);
            break;
        case QUERYID_KEYUSAGE: {
            DWORD dwKeyUsage = 0;
            hr = GetCertKeyUsage(pstCertContext, dwKeyUsage);
            if (SUCCEEDED(hr)) {
                if (pvOut) *static_cast<DWORD*>(pvOut) = dwKeyUsage;
                dwLength = sizeof(DWORD);
            }
            break;
        }
        default:
            hr = VELA_E_QUERY_TYPE_NOT_SUPPORTED;
            VELA_LOG_FAILURE(hr, "Check query type", "unsupported query id");
            break;
    }
    return hr;
}

HRESULT GetTimeString(const SYSTEMTIME* pstSysTime, WString& wstrTime) {
    VELA_TRACE_SCOPE("GetTimeString");
    if (!pstSysTime) {
        VELA_LOG_FAILURE(E_INVALIDARG, "check parameter.", "pstSysTime == NULL");
        return E_INVALIDARG;
    }
    WCHAR text[128] = {};
    FormatWide(text, 128, TEXT("%04d-%02d-%02d %02d:%02d:%02d"), (int)pstSysTime->wYear, (int)pstSysTime->wMonth,
               (int)pstSysTime->wDay, (int)pstSysTime->wHour, (int)pstSysTime->wMinute, (int)pstSysTime->wSecond);
    wstrTime = text;
    return VELA_OK;
}

HRESULT ConvertUTCtimetoLocalTime(SYSTEMTIME* pstSysTime) {
    VELA_TRACE_SCOPE("ConvertUTCtimetoLocalTime");
    FILETIME ftUTC = {}, ftLocal = {};
    SYSTEMTIME stLocal = {};
    if (!SystemTimeToFileTime(pstSysTime, &ftUTC)) {
        HRESULT hr = StatusFromLastError((LONG)GetLastError());
        VELA_LOG_FAILURE(hr, "SystemTimeToFileTime.", "bResult == FALSE");
        return hr;
    }
    if (!FileTimeToLocalFileTime(&ftUTC, &ftLocal) || !FileTimeToSystemTime(&ftLocal, &stLocal)) {
        HRESULT hr = StatusFromLastError((LONG)GetLastError());
        VELA_LOG_FAILURE(hr, "FileTimeToLocalFileTime.", "bResult == FALSE");
        return hr;
    }
    *pstSysTime = stLocal;
    return VELA_OK;
}

HRESULT GetCertificateContextProperty(PCCERT_CONTEXT pstCertContext, ByteBuffer& pbProperty, DWORD& dwSize) {
    VELA_TRACE_SCOPE("GetCertificateContextProperty");
    DWORD cb = 0;
    if (!CertGetCertificateContextProperty(pstCertContext, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb)) {
        HRESULT hr = StatusFromLastError((LONG)GetLastError());
        VELA_LOG_FAILURE(hr, "CertGetCertificateContextProperty(Get Size)", "!bResult");
        return hr;
    }
    ByteBuffer property = AllocZeroed<BYTE>(cb);
    if (!property) {
        VELA_LOG_FAILURE(E_OUTOFMEMORY, "new memory.\n", "pCertPropertyData == NULL");
        return E_OUTOFMEMORY;
    }
    if (!CertGetCertificateContextProperty(pstCertContext, CERT_KEY_PROV_INFO_PROP_ID, property.get(), &cb)) {
        HRESULT hr = StatusFromLastError((LONG)GetLastError());
        VELA_LOG_FAILURE(hr, "CertGetCertificateContextProperty(Get Value)", "!bResult");
        return hr;
    }
    pbProperty = std::move(property);
    dwSize = cb;
    return VELA_OK;
}

HRESULT GetCertificateInfo(WString& wstrRecord, PCCERT_CONTEXT pstCertContext) {
    VELA_TRACE_SCOPE("GetCertificateInfo");
    if (!pstCertContext) {
        VELA_LOG_FAILURE(E_INVALIDARG, "check parameter.", "pstCertContext == NULL");
        return E_INVALIDARG;
    }
    WString wstrText;
    WideBuffer subject;
    DWORD cch = 0;
    HRESULT hr = GetCertSubject(pstCertContext, CERT_X500_NAME_STR, subject, cch);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "QueryCertContextInfo(QUERYID_SUBJECT_FULL)", "FAILED(hResult)");
        return hr;
    }
    AppendField(wstrText, subject.get());

    ByteBuffer serial;
    DWORD cbSerial = 0;
    hr = GetCertSerialNumber(pstCertContext, serial, cbSerial);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "QueryCertContextInfo(QUERYID_SERIALNUMBER)", "FAILED(hResult)");
        return hr;
    }
    WString wstrSerial;
    hr = ConvertBinaryDataToString(cbSerial, wstrSerial, serial.get());
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "FormatStringFromData", "FAILED(hResult)");
        return hr;
    }
    AppendField(wstrText, wstrSerial.c_str());

    for (int which = 0; which < 2; ++which) {
        SYSTEMTIME st = {};
        hr = which == 0 ? GetCertFromDate(pstCertContext, st) : GetCertToDate(pstCertContext, st);
        if (FAILED(hr)) {
            if (which == 0) VELA_LOG_FAILURE(hr, "QueryCertContextInfo(QUERYID_FROMDATE)", "FAILED(hResult)");
            else VELA_LOG_FAILURE(hr, "QueryCertContextInfo(QUERYID_TODATE)", "FAILED(hResult)");
            return hr;
        }
        hr = ConvertUTCtimetoLocalTime(&st);
        WString wstrTime;
        if (SUCCEEDED(hr)) hr = GetTimeString(&st, wstrTime);
        if (FAILED(hr)) {
            VELA_LOG_FAILURE(hr, "GetTimeString", "FAILED(hResult)");
            return hr;
        }
        AppendField(wstrText, wstrTime.c_str());
    }

    ByteBuffer property;
    DWORD cbProperty = 0;
    hr = GetCertificateContextProperty(pstCertContext, property, cbProperty);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "GetCertificateContextProperty(CERT_KEY_PROV_INFO_PROP_ID)", "FAILED(hResult)");
        return hr;
    }
    const CRYPT_KEY_PROV_INFO* pKeyProvInfo = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(property.get());
    if (cbProperty < sizeof(CRYPT_KEY_PROV_INFO) || !pKeyProvInfo->pwszProvName) {
        VELA_LOG_FAILURE(CRYPT_E_NOT_FOUND, "Check ProvName", "NULL == pstKeyProvInfo->pwszProvName");
        return CRYPT_E_NOT_FOUND;
    }
    wstrText.append(pKeyProvInfo->pwszProvName);
    wstrRecord = std::move(wstrText);
    return VELA_OK;
}

HRESULT CheckListedCertificateSize(const BYTE* pbCert, DWORD dwCertLength) {
    VELA_TRACE_SCOPE("CheckListedCertificateSize");
    PCCERT_CONTEXT pContext = pbCert ? CertCreateCertificateContext(X509_ASN_ENCODING, pbCert, dwCertLength) : nullptr;
    if (!pContext) return VELA_OK;
    ByteBuffer pbSubject;
    DWORD dwSubjectLength = 0;
    HRESULT hr = QueryCertContextInfo(pContext, QUERYID_SUBJECT_FULL, &pbSubject, dwSubjectLength);
    const DWORD dwSerialLength = pContext->pCertInfo->SerialNumber.cbData;
    CertFreeCertificateContext(pContext);
    if (FAILED(hr)) return VELA_OK;
    // The subject's length counts its terminator.
    const ULONGLONG nCharacters = ULONGLONG(dwSubjectLength ? dwSubjectLength - 1 : 0) + 2ull * dwSerialLength;
    if (nCharacters > VELA_MAX_LISTED_CERT_CHARACTERS) {
        VELA_LOG_FAILURE(NTE_BAD_DATA, "Check listed size",
                         "nCharacters > VELA_MAX_LISTED_CERT_CHARACTERS");
        return NTE_BAD_DATA;
    }
    return VELA_OK;
}

HRESULT GetAllCertificatesInfoinStore(WString& wstrCertInfo, HCERTSTORE hCertStore) {
    VELA_TRACE_SCOPE("GetAllCertificatesInfoinStore");
    if (!hCertStore) {
        VELA_LOG_FAILURE(E_INVALIDARG, "check parameter.", "hCertStore == NULL");
        return E_INVALIDARG;
    }
    WString wstrText;
    PCCERT_CONTEXT pContext = nullptr;
    while ((pContext = CertEnumCertificatesInStore(hCertStore, pContext)) != nullptr) {
        WString wstrRecord;
        HRESULT hr = GetCertificateInfo(wstrRecord, pContext);
        if (hr == CRYPT_E_NOT_FOUND) continue;
        if (FAILED(hr)) {
            CertFreeCertificateContext(pContext);
            VELA_LOG_FAILURE(hr, "GetCertificateInfo", "FAILED(hResult)");
            return hr;
        }
        if (!wstrText.empty()) wstrText.append(TEXT("||"));
        wstrText.append(wstrRecord);
    }
    wstrCertInfo = std::move(wstrText);
    return VELA_OK;
}
