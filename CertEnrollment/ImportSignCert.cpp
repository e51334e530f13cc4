// Binding an issued signature certificate to the key pair in its container.
#include "ImportEncryptCert.h"

#include "CertHolders.h"
#include "CertificateInfo.h"
#include "VelaTrace.h"

namespace {
HRESULT LastErrorStatus() { return StatusFromLastError((LONG)GetLastError()); }
}  // namespace

DWORD ProviderTypeForCSP(const WString& wstrCSPName) {
    return ContainsText(wstrCSPName, TEXT("Microsoft Enhanced RSA and AES Cryptographic Provider")) ? PROV_RSA_AES
                                                                                                    : PROV_RSA_FULL;
}

void EraseCommaInWstr(WString& wstrText) {
    size_t pos;
    while ((pos = wstrText.find(TEXT(','))) != WString::npos) wstrText.erase(pos, 1);
}

HRESULT DecodeBase64Key(const WString& wstrText, ByteBuffer& pbData, DWORD& dwDataLength) {
    VELA_TRACE_SCOPE("DecodeBase64Key");
    CharBuffer utf8;
    DWORD utf8Length = 0;
    HRESULT hr = UTF16ToUTF8(wstrText.c_str(), utf8, utf8Length);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "UTF16ToUTF8 (Kernel) FAILED.", "FAILED(hResult)");
        return hr;
    }
    ByteBuffer data;
    DWORD length = 0;
    hr = Base64DecodeEx((int)utf8Length, data, utf8.get(), length);
    // Text without a single Base64 group carries no key or certificate.
    if (SUCCEEDED(hr) && length == 0) hr = E_FAIL;
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "Base64DecodeEx (Kernel) FAILED.", "FAILED(hResult)");
        return hr;
    }
    pbData = std::move(data);
    dwDataLength = length;
    return VELA_OK;
}

HRESULT AddCertificateToSystemStore(const WString& wstrCSPName, HCRYPTPROV hProvider, const BYTE* pbCert,
                                    DWORD dwCertLength, DWORD dwKeySpec, const WString& wstrContainerName) {
    VELA_TRACE_SCOPE("AddCertificateToSystemStore");
    StoreHolder store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, hProvider,
                                    CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_NO_CRYPT_RELEASE_FLAG, TEXT("MY")));
    if (!store) {
        HRESULT hr = LastErrorStatus();
        VELA_LOG_FAILURE(hr, "CertOpenStore", "hCertStore == NULL");
        return hr;
    }
    CertContextHolder context;
    if (!CertAddEncodedCertificateToStore(store.Get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, pbCert,
                                          dwCertLength, CERT_STORE_ADD_REPLACE_EXISTING, context.Out())) {
        HRESULT hr = LastErrorStatus();
        VELA_LOG_FAILURE(hr, "CertAddEncodedCertificateToStore", "1");
        return hr;
    }
    WString container = wstrContainerName, provider = wstrCSPName;
    CRYPT_KEY_PROV_INFO info = {};
    info.pwszContainerName = container.data();
    info.pwszProvName = provider.data();
    info.dwProvType = ProviderTypeForCSP(wstrCSPName);
    info.dwFlags = 0;
    info.cProvParam = 0;
    info.rgProvParam = nullptr;
    info.dwKeySpec = dwKeySpec;
    if (!CertSetCertificateContextProperty(context.Get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info)) {
        HRESULT hr = LastErrorStatus();
        VELA_LOG_FAILURE(hr, "CertSetCertificateContextProperty", "1");
        return hr;
    }
    VELA_LOG_SUCCESS("AddCertificateToSystemStore");
    return VELA_OK;
}

namespace {

HRESULT OpenSignContainer(const WString& wstrKeyAlgorithm, const WString& wstrCSPName,
                          const WString& wstrContainerName, ProviderHolder& provider) {
    VELA_TRACE_SCOPE("ImportSignCert");
    if (EqualsNoCaseAscii(wstrKeyAlgorithm, TEXT("RSA"))) {
        if (!CryptAcquireContextW(provider.Out(), wstrContainerName.c_str(), wstrCSPName.c_str(),
                                  ProviderTypeForCSP(wstrCSPName), 0)) {
            HRESULT hr = LastErrorStatus();
            VELA_LOG_FAILURE(hr, "RSA CryptAcquireContext", "1");
            return hr;
        }
    } else if (!CryptAcquireContextW(provider.Out(), wstrContainerName.c_str(), wstrCSPName.c_str(), PROV_RSA_FULL,
                                     CRYPT_VERIFYCONTEXT)) {
        HRESULT hr = LastErrorStatus();
        VELA_LOG_FAILURE(hr, "SM2 CryptAcquireContext", "1");
        return hr;
    }
    return VELA_OK;
}

}  // namespace

HRESULT ImportSignCert(const WString& wstrKeyAlgorithm, const WString& wstrSignCert, DWORD dwKeySpec,
                       const WString& wstrCSPName, const WString& wstrContainerName) {
    VELA_TRACE_SCOPE("ImportSignCert");
    WString text = wstrSignCert;
    EraseCommaInWstr(text);
    ByteBuffer cert;
    DWORD certLength = 0;
    HRESULT hr = DecodeBase64Key(text, cert, certLength);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "base64 decode public key FAILED.", "FAILED(hResult)");
        return hr;
    }
    // A copy of what the CA sent, for support staff: only a certificate, in
    // the user's own folder, the newest few.
    WString dumpPath;
    KeepCertificateCopy(dumpPath, cert.get(), certLength);
    TraceInfo(TEXT("ImportSignCert - certificate copy: %ws"), dumpPath.c_str());
    hr = CheckListedCertificateSize(cert.get(), certLength);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "CheckListedCertificateSize", "FAILED(hResult)");
        return hr;
    }

    ProviderHolder provider;
    hr = OpenSignContainer(wstrKeyAlgorithm, wstrCSPName, wstrContainerName, provider);
    if (FAILED(hr)) return hr;
    KeyHolder key;
    if (!CryptGetUserKey(provider.Get(), dwKeySpec, key.Out())) {
        hr = LastErrorStatus();
        VELA_LOG_FAILURE(hr, "CryptGetUserKey", "1");
        return hr;
    }
    // Only a certificate of this key is linked to the container.
    hr = CheckCertificateOfContainerKey(provider.Get(), key.Get(), dwKeySpec,
                                        EqualsNoCaseAscii(wstrKeyAlgorithm, TEXT("RSA")), cert.get(), certLength);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "CheckCertificateOfContainerKey", "FAILED(hResult)");
        return hr;
    }
    if (!ContainsText(wstrCSPName, TEXT("Microsoft"))) {
        if (!CryptSetKeyParam(key.Get(), KP_CERTIFICATE, cert.get(), 0)) {
            hr = LastErrorStatus();
            VELA_LOG_FAILURE(hr, "non-microsoft's CSP: CryptSetKeyParam", "1");
            return hr;
        }
    } else {
        hr = AddCertificateToSystemStore(wstrCSPName, provider.Get(), cert.get(), certLength, dwKeySpec,
                                         wstrContainerName);
        if (FAILED(hr)) {
            VELA_LOG_FAILURE(hr, "AddCertificateToSystemStore", "FAILED(hResult)");
            return hr;
        }
    }
    VELA_LOG_SUCCESS("ImportSignCert");
    return VELA_OK;
}
