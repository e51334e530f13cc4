#include "CertificateRequisition.h"

#include "PKCS10Request.h"
#include "VelaTrace.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// Deletes a container that a failed key generation created; the outcome
// is only traced.
void DeleteContainer(const WString& wstrContainerName, const WCHAR* pwszProviderName, BOOL bRSA) {
    HCRYPTPROV hDelete = 0;
    BOOL bDeleted = CryptAcquireContextW(&hDelete, wstrContainerName.c_str(), pwszProviderName,
                                         GetProviderType(pwszProviderName),
                                         bRSA ? CRYPT_DELETEKEYSET : VELA_SM2_DELETE_KEYSET);
    TraceInfo(TEXT("delete container %ws: %d (last error %u)"), wstrContainerName.c_str(), (int)bDeleted,
              (DWORD)(bDeleted ? 0 : GetLastError()));
}

// The subject is encoded once before any key is generated, so a subject no
// request can carry leaves no container behind: one that cannot be encoded
// fails with the encoder's status (the status building the request would
// give), one whose encoding is too long for a request with NTE_BAD_DATA.
HRESULT CheckSubjectLength(const WCHAR* pwszSubjectDN) {
    VELA_TRACE_SCOPE("CheckSubjectLength");
    ByteBuffer pbName;
    DWORD dwNameLength = 0;
    HRESULT hr = ComposeSubject(pwszSubjectDN, pbName, dwNameLength);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "ComposeSubject", "FAILED(hResult)");
        return hr;
    }
    if (dwNameLength > VELA_MAX_SUBJECT_ENCODED_LENGTH) {
        VELA_LOG_FAILURE(NTE_BAD_DATA, "Check subject length",
                         "dwNameLength > VELA_MAX_SUBJECT_ENCODED_LENGTH");
        return NTE_BAD_DATA;
    }
    return VELA_OK;
}

}  // namespace

DWORD GetProviderType(const WCHAR* pwszProviderName) {
    return ContainsText(ToWString(pwszProviderName), TEXT("Microsoft Enhanced RSA and AES Cryptographic Provider"))
               ? PROV_RSA_AES
               : PROV_RSA_FULL;
}

HRESULT CreatePublicKey(WString& wstrContainerName, ByteBuffer& pbPublicKey, LONG nKeyLength,
                        const WCHAR* pwszProviderName, BOOL bRSA, DWORD dwKeySpec, BOOL bCreate,
                        HCRYPTPROV& hProvider, DWORD& dwPublicKeyLength, DWORD dwGenKeyFlags) {
    VELA_TRACE_SCOPE("CreatePublicKey");
    HRESULT hr = VELA_OK;
    // The bit length travels in the upper 16 bits of the generation flags;
    // a length that does not fit there would silently become another one.
    if (nKeyLength < 0 || nKeyLength > 0xFFFF) {
        VELA_LOG_FAILURE(VELA_E_KEY_LENGTH_NOT_SUPPORTED, "Check key length", "nKeyLength > 0xFFFF");
        return VELA_E_KEY_LENGTH_NOT_SUPPORTED;
    }

    WString wstrName = wstrContainerName;
    if (wstrName.empty()) {
        hr = CreateGUIDStr(wstrName);
        if (wstrName.empty()) {
            if (hr == VELA_OK) hr = StatusFromLastError((LONG)GetLastError());
            if (hr == VELA_OK) hr = E_FAIL;
            VELA_LOG_FAILURE(hr, "CreateGUIDStr", "wstrKeyContainerName==L\"\"");
            return hr;
        }
        hr = VELA_OK;
    }

    HCRYPTPROV hContext = hProvider;
    const BOOL bAcquired = hContext == 0;
    BOOL bCreated = FALSE;
    HCRYPTKEY hKey = 0;
    ByteBuffer pbExported;
    DWORD cbExported = 0;

    if (bAcquired) {
        if (!CryptAcquireContextW(&hContext, wstrName.c_str(), pwszProviderName, GetProviderType(pwszProviderName),
                                  bCreate ? CRYPT_NEWKEYSET : 0)) {
            hr = StatusFromLastError((LONG)GetLastError());
            VELA_LOG_FAILURE(hr, "CryptAcquireContext", "bRetCode == FALSE");
            return hr;
        }
        bCreated = bCreate;
        VELA_LOG_SUCCESS("CryptAcquireContext");
    }

    ALG_ID algKey = bRSA ? (ALG_ID)dwKeySpec : (dwKeySpec == AT_KEYEXCHANGE ? VELA_CALG_SM2_KEYX : VELA_CALG_SM2_SIGN);
    DWORD dwFlags = ((DWORD)nKeyLength << 16) | (dwGenKeyFlags & 0xFFFF);
    TraceInfo(TEXT("CryptGenKey: container %ws, algorithm 0x%x, flags 0x%08x"), wstrName.c_str(), (DWORD)algKey,
              dwFlags);
    if (!CryptGenKey(hContext, algKey, dwFlags, &hKey)) {
        hr = StatusFromLastError((LONG)GetLastError());
        VELA_LOG_FAILURE(hr, "CryptGenKey", "bRetCode == FALSE");
        goto done;
    }
    VELA_LOG_SUCCESS("CryptGenKey");

    if (bRSA) {
        if (!CryptExportPublicKeyInfo(hContext, dwKeySpec, kEncoding, nullptr, &cbExported)) {
            hr = StatusFromLastError((LONG)GetLastError());
            VELA_LOG_FAILURE(hr, "CryptExportPublicKeyInfo(1)", "bRetCode == FALSE");
            goto done;
        }
        pbExported = AllocZeroed<BYTE>(cbExported);
        if (!pbExported) {
            hr = E_OUTOFMEMORY;
            VELA_LOG_FAILURE(hr, "New buffer", "!*lppPublicKey");
            goto done;
        }
        if (!CryptExportPublicKeyInfo(hContext, dwKeySpec, kEncoding,
                                      reinterpret_cast<PCERT_PUBLIC_KEY_INFO>(pbExported.get()), &cbExported)) {
            hr = StatusFromLastError((LONG)GetLastError());
            VELA_LOG_FAILURE(hr, "CryptExportPublicKeyInfo(2)", "bRetCode == FALSE");
            goto done;
        }
    } else {
        if (!CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, nullptr, &cbExported)) {
            hr = StatusFromLastError((LONG)GetLastError());
            VELA_LOG_FAILURE(hr, "CryptExportKey(1)", "bRetCode == FALSE");
            goto done;
        }
        pbExported = AllocZeroed<BYTE>(cbExported);
        if (!pbExported) {
            hr = E_OUTOFMEMORY;
            VELA_LOG_FAILURE(hr, "New buffer", "!*lppPublicKey");
            goto done;
        }
        if (!CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, pbExported.get(), &cbExported)) {
            hr = StatusFromLastError((LONG)GetLastError());
            VELA_LOG_FAILURE(hr, "CryptExportKey(2)", "bRetCode == FALSE");
            goto done;
        }
    }
    VELA_LOG_SUCCESS("Export public key");

done:
    if (hKey) CryptDestroyKey(hKey);
    if (FAILED(hr)) {
        if (bAcquired) CryptReleaseContext(hContext, 0);
        if (bCreated) DeleteContainer(wstrName, pwszProviderName, bRSA);
        return hr;
    }
    pbPublicKey = std::move(pbExported);
    dwPublicKeyLength = cbExported;
    hProvider = hContext;
    if (bCreate) wstrContainerName = wstrName;
    return VELA_OK;
}

HRESULT PKCS10CertRequisition(CharBuffer& pszRequest, WString& wstrContainerName, const WCHAR* pwszProviderName,
                              const WCHAR* pwszSubjectDN, LONG nCertType, DWORD dwKeySpec, BOOL bRSA,
                              LONG nKeyLength, DWORD dwGenKeyFlags) {
    VELA_TRACE_SCOPE("PKCS10CertRequisition");
    if (!pwszSubjectDN) {
        VELA_LOG_FAILURE(E_INVALIDARG, "Check parameter", "lpwSubjectDN == NULL");
        return E_INVALIDARG;
    }
    HRESULT hr = CheckSubjectLength(pwszSubjectDN);
    if (FAILED(hr)) return hr;
    HCRYPTPROV hProvider = 0;
    WString wstrName = wstrContainerName;
    ByteBuffer pbTempKey, pbKey;
    DWORD cbTempKey = 0, cbKey = 0;
    const BYTE* pbKeyBits = nullptr;
    const BYTE* pbTempBits = nullptr;
    DWORD cbKeyBits = 0, cbTempBits = 0;
    CharBuffer pszText;
    DWORD cchText = 0;
    const bool bDouble = nCertType == VELA_CERT_TYPE_DOUBLE;

    if (bDouble) {
        hr = CreatePublicKey(wstrName, pbTempKey, bRSA ? VELA_TEMP_KEY_BITS_RSA : VELA_TEMP_KEY_BITS_SM2,
                             pwszProviderName, bRSA, AT_KEYEXCHANGE, TRUE, hProvider, cbTempKey, 0);
        if (FAILED(hr)) {
            VELA_LOG_FAILURE(hr, "CreatePublicKey-Exchange", "FAILED(hResult)");
            goto done;
        }
        VELA_LOG_SUCCESS("CreatePublicKey-Exchange");
    }
    hr = CreatePublicKey(wstrName, pbKey, nKeyLength, pwszProviderName, bRSA, dwKeySpec,
                         nCertType == VELA_CERT_TYPE_SINGLE, hProvider, cbKey, dwGenKeyFlags);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "CreatePublicKey-Sign cert", "FAILED(hResult)");
        goto done;
    }
    VELA_LOG_SUCCESS("CreatePublicKey-Sign cert");

    if (bRSA) {
        const CERT_PUBLIC_KEY_INFO* pInfo = reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(pbKey.get());
        pbKeyBits = pInfo->PublicKey.pbData;
        cbKeyBits = pInfo->PublicKey.cbData;
        if (bDouble) {
            const CERT_PUBLIC_KEY_INFO* pTemp = reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(pbTempKey.get());
            pbTempBits = pTemp->PublicKey.pbData;
            cbTempBits = pTemp->PublicKey.cbData;
        }
        hr = PKCS10RequestBase64(dwKeySpec, hProvider, pwszSubjectDN, VELA_OID_RSA_ENCRYPTION, "", pbKeyBits,
                                 cbKeyBits, cbTempBits, VELA_CALG_SHA1, VELA_OID_SHA1_RSA, pszText, cchText, 0,
                                 bDouble ? pbTempBits : nullptr);
        if (FAILED(hr)) {
            if (bDouble) VELA_LOG_FAILURE(hr, "PKCS10RequestBase64-RSA-Double Certificate", "FAILED(hResult)");
            else VELA_LOG_FAILURE(hr, "PKCS10RequestBase64-RSA-Single Certificate", "FAILED(hResult)");
            goto done;
        }
    } else {
        hr = PKCS10RequestBase64(dwKeySpec, hProvider, pwszSubjectDN, VELA_OID_EC_PUBLIC_KEY, VELA_OID_SM2_CURVE,
                                 pbKey.get(), cbKey, bDouble ? cbTempKey : 0, VELA_CALG_SM3, VELA_OID_SM2_SM3,
                                 pszText, cchText, 1, bDouble ? pbTempKey.get() : nullptr);
        if (FAILED(hr)) {
            if (bDouble) VELA_LOG_FAILURE(hr, "PKCS10RequestBase64-SM2-Double Certificate", "FAILED(hResult)");
            else VELA_LOG_FAILURE(hr, "PKCS10RequestBase64-SM2-Single Certificate", "FAILED(hResult)");
            goto done;
        }
    }
    VELA_LOG_SUCCESS("PKCS10RequestBase64");
    pszRequest = std::move(pszText);
    wstrContainerName = wstrName;

done:
    if (hProvider) CryptReleaseContext(hProvider, 0);
    return hr;
}

HRESULT DeleteMultiCertContainer(const WString& wstrFirstContainer, const WString& wstrSecondContainer,
                                 const WString& wstrCSPName) {
    VELA_TRACE_SCOPE("DeleteMultiCertContainer");
    const WCHAR* pwszProviderName = wstrCSPName.c_str();
    // The provider type follows the provider's name as everywhere else: the
    // AES provider accepts only its own type and would otherwise keep the
    // containers while the rollback reports success.
    const DWORD dwProvType = GetProviderType(pwszProviderName);
    const struct {
        const WString& name;
        const WCHAR* step;
    } containers[] = {{wstrFirstContainer, TEXT("CryptAcquireContext-DeleteKeySetRSA")},
                      {wstrSecondContainer, TEXT("CryptAcquireContext-DeleteKeySetSM2")}};
    for (const auto& container : containers) {
        if (container.name.empty()) continue;
        HCRYPTPROV hProvider = 0;
        if (CryptAcquireContextW(&hProvider, container.name.c_str(), pwszProviderName, dwProvType,
                                 CRYPT_DELETEKEYSET))
            TraceSuccessLine(vela_traceScope.Name(), container.step);
        else
            TraceFailureLine(StatusFromLastError((LONG)GetLastError()), __FILE__, __LINE__, vela_traceScope.Name(),
                             container.step, TEXT("bRetCode == FALSE"));
    }
    return VELA_OK;
}
