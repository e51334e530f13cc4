// The SM2 branch of the encrypted-format route: the CSP decrypts the SM2
// ciphertext with the container's temporary key. SM2 ciphertexts circulate
// in two orders of their parts (C1C3C2 and C1C2C3), so the import is tried
// as received and then in both reorderings.
#include <cstring>

#include "ImportEncryptCert.h"
#include "VelaTrace.h"
#include "VendorKeyBlob.h"

namespace {

constexpr DWORD kC1Length = 64;  // x || y
constexpr DWORD kC3Length = 32;  // SM3 check value

HRESULT LastErrorStatus() { return StatusFromLastError((LONG)GetLastError()); }

HRESULT Reorder(const BYTE* pbCipher, DWORD dwLength, ByteBuffer& pbOut, bool toC1C2C3) {
    if (!pbCipher || dwLength < kC1Length + kC3Length) return E_INVALIDARG;
    ByteBuffer out = AllocZeroed<BYTE>((size_t)dwLength + 1);
    if (!out) return E_OUTOFMEMORY;
    const DWORD c2Length = dwLength - kC1Length - kC3Length;
    std::memcpy(out.get(), pbCipher, kC1Length);
    if (toC1C2C3) {
        std::memcpy(out.get() + kC1Length, pbCipher + kC1Length + kC3Length, c2Length);
        std::memcpy(out.get() + kC1Length + c2Length, pbCipher + kC1Length, kC3Length);
    } else {
        std::memcpy(out.get() + kC1Length, pbCipher + dwLength - kC3Length, kC3Length);
        std::memcpy(out.get() + kC1Length + kC3Length, pbCipher + kC1Length, c2Length);
    }
    pbOut = std::move(out);
    return VELA_OK;
}

}  // namespace

HRESULT ConvertC1C3C2ToC1C2C3(const BYTE* pbCipher, DWORD dwLength, ByteBuffer& pbOut) {
    VELA_TRACE_SCOPE("ConvertC1C3C2ToC1C2C3");
    HRESULT hr = Reorder(pbCipher, dwLength, pbOut, true);
    if (hr == E_OUTOFMEMORY) VELA_LOG_FAILURE(hr, "New buffer", "!pbyC1C2C3");
    else if (FAILED(hr)) VELA_LOG_FAILURE(hr, "Check ciphertext size", "dwCipherLength < 96");
    return hr;
}

HRESULT ConvertC1C2C3ToC1C3C2(const BYTE* pbCipher, DWORD dwLength, ByteBuffer& pbOut) {
    VELA_TRACE_SCOPE("ConvertC1C2C3ToC1C3C2");
    HRESULT hr = Reorder(pbCipher, dwLength, pbOut, false);
    if (hr == E_OUTOFMEMORY) VELA_LOG_FAILURE(hr, "New buffer", "!pbyC1C3C2");
    else if (FAILED(hr)) VELA_LOG_FAILURE(hr, "Check ciphertext size", "dwCipherLength < 96");
    return hr;
}

HRESULT ImportEncryptCertEx_SM2(const BYTE* pbCert, const BYTE* pbCipher, DWORD dwCipherLength,
                                HCRYPTPROV hProvider, DWORD dwCertLength, LONG nFlags, bool* pbKeyImported) {
    VELA_TRACE_SCOPE("ImportEncryptCertEx_SM2");
    if (pbKeyImported) *pbKeyImported = false;
    BYTE blob[sizeof(VENDOR_SM2_ENCRYPTED_KEY_BLOB)];
    FillVendorSm2KeyBlob(blob, pbCipher, dwCipherLength);
    KeyHolder key;
    if (!CryptImportKey(hProvider, blob, sizeof blob, 0, (DWORD)nFlags, key.Out())) {
        HRESULT hr = LastErrorStatus();
        VELA_LOG_FAILURE(hr, "CryptImportKey", "!bResult");
        return hr;
    }
    if (pbKeyImported) *pbKeyImported = true;
    if (!CryptSetKeyParam(key.Get(), KP_CERTIFICATE, pbCert, 0)) {
        HRESULT hr = LastErrorStatus();
        VELA_LOG_FAILURE(hr, "CryptSetKeyParam", "!bResult");
        return hr;
    }
    return VELA_OK;
}

HRESULT ImportEncryptCertBySM2(const BYTE* pbCert, DWORD dwCertLength, const EncryptedKeyEnvelope& envelope,
                               HCRYPTPROV hProvider, LONG nFlags) {
    VELA_TRACE_SCOPE("ImportEncryptCertByEncryptedFormat");
    VELA_LOG_SUCCESS("Check dwNeedRetry");
    const BYTE* cipher = envelope.privateKey.Data();
    const DWORD length = envelope.privateKey.Size();
    // An attempt whose ciphertext the CSP accepted had the right order: its
    // failure (the certificate's) is the one reported if no attempt succeeds;
    // the other orders then fail only because they cannot be decrypted.
    HRESULT certificateFailure = VELA_OK;
    auto attempt = [&](const BYTE* pbCipher) {
        bool imported = false;
        HRESULT status = ImportEncryptCertEx_SM2(pbCert, pbCipher, length, hProvider, dwCertLength, nFlags, &imported);
        if (FAILED(status) && imported && certificateFailure == VELA_OK) certificateFailure = status;
        return status;
    };
    auto reported = [&](HRESULT last) { return certificateFailure != VELA_OK ? certificateFailure : last; };
    HRESULT hr = attempt(cipher);
    if (SUCCEEDED(hr)) return VELA_OK;

    ByteBuffer reordered;
    hr = ConvertC1C3C2ToC1C2C3(cipher, length, reordered);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "ConvertC1C3C2ToC1C2C3", "FAILED(hResult)");
        return hr;
    }
    hr = attempt(reordered.get());
    if (SUCCEEDED(hr)) return VELA_OK;

    reordered.reset();
    hr = ConvertC1C2C3ToC1C3C2(cipher, length, reordered);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "ConvertC1C2C3ToC1C3C2", "FAILED(hResult)");
        return hr;
    }
    hr = reported(attempt(reordered.get()));
    if (FAILED(hr)) VELA_LOG_FAILURE(hr, "ImportEncryptCertEx_SM2", "FAILED(hResult)");
    return hr;
}
