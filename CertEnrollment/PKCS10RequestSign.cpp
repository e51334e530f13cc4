// Signing half of the request builder: the provider hashes and signs the
// CertificationRequestInfo, the request is assembled and Base64-encoded.
#include <cstring>

#include "PKCS10Request.h"
#include "VelaTrace.h"

namespace {

constexpr DWORD kHashPiece = 0x4000;
constexpr DWORD kSignatureBufferSize = 0x4000;

}  // namespace

HRESULT PKCS10CalculateHashandSign(HCRYPTPROV hProvider, const char* pszKeyAlgOID, const BYTE* pbData,
                                   DWORD dwDataLength, ALG_ID algHash, DWORD dwKeySpec, ByteBuffer& pbSignature,
                                   DWORD& dwSignatureLength) {
    VELA_TRACE_SCOPE("PKCS10CalculateHashandSign");
    HCRYPTKEY hKey = 0;
    HCRYPTHASH hHash = 0;
    HRESULT hr = VELA_OK;
    ByteBuffer signature;
    DWORD cbSignature = 0;
    const bool bRSA = pszKeyAlgOID && std::strcmp(pszKeyAlgOID, VELA_OID_RSA_ENCRYPTION) == 0;

    if (!CryptGetUserKey(hProvider, dwKeySpec, &hKey)) {
        hr = StatusFromWin32((LONG)GetLastError());
        VELA_LOG_FAILURE(hr, "CryptGetUserKey", "bRetCode == FALSE");
        goto done;
    }
    {
        ByteBuffer name;
        DWORD cbName = 0;
        if (SUCCEEDED(GetProviderInfo(cbName, hProvider, PP_NAME, name)) && name && cbName)
            TraceInfo(TEXT("signing with provider %s"), reinterpret_cast<const char*>(name.get()));
    }
    if (!CryptCreateHash(hProvider, algHash, 0, 0, &hHash)) {
        hr = StatusFromWin32((LONG)GetLastError());
        VELA_LOG_FAILURE(hr, "CryptCreateHash", "bRetCode == FALSE");
        goto done;
    }
    for (DWORD dwDone = 0; dwDone < dwDataLength;) {
        DWORD dwPiece = dwDataLength - dwDone < kHashPiece ? dwDataLength - dwDone : kHashPiece;
        if (!CryptHashData(hHash, pbData + dwDone, dwPiece, 0)) {
            hr = StatusFromWin32((LONG)GetLastError());
            VELA_LOG_FAILURE(hr, "CryptHashData", "bRetCode == FALSE");
            goto done;
        }
        dwDone += dwPiece;
    }
    if (!CryptSignHashW(hHash, dwKeySpec, nullptr, 0, nullptr, &cbSignature)) {
        hr = StatusFromWin32((LONG)GetLastError());
        VELA_LOG_FAILURE(hr, "CryptSignHash", "bRetCode == FALSE");
        goto done;
    }
    {
        DWORD cbBuffer = bRSA ? cbSignature : kSignatureBufferSize;
        if (cbBuffer < cbSignature) cbBuffer = cbSignature;
        signature = AllocZeroed<BYTE>(cbBuffer);
        if (!signature) {
            hr = E_OUTOFMEMORY;
            VELA_LOG_FAILURE(hr, "New Memory", "NULL == pbSignature");
            goto done;
        }
        cbSignature = cbBuffer;
        if (!CryptSignHashW(hHash, dwKeySpec, nullptr, 0, signature.get(), &cbSignature)) {
            hr = StatusFromWin32((LONG)GetLastError());
            VELA_LOG_FAILURE(hr, "CryptSignHash", "bRetCode == FALSE");
            goto done;
        }
    }
    // The provider gives numbers least significant byte first.
    if (bRSA) {
        SwapByteOrder(signature.get(), cbSignature);
    } else if (cbSignature == VELA_SM2_RAW_SIGNATURE_SIZE) {
        SwapByteOrder(signature.get(), 32);
        SwapByteOrder(signature.get() + 32, 32);
    }
    pbSignature = std::move(signature);
    dwSignatureLength = cbSignature;
    VELA_LOG_SUCCESS("CryptSignHash");

done:
    if (hHash) CryptDestroyHash(hHash);
    if (hKey) CryptDestroyKey(hKey);
    return hr;
}

HRESULT PKCS10RequestBase64(DWORD dwKeySpec, HCRYPTPROV hProvider, const WCHAR* pwszSubject,
                            const char* pszKeyAlgOID, const char* pszParamsOID, const BYTE* pbPublicKey,
                            DWORD dwPublicKeyLength, DWORD dwTempPublicKeyLength, ALG_ID algHash,
                            const char* pszSignAlgOID, CharBuffer& pszRequest, DWORD& dwRequestLength,
                            DWORD dwSM2, const BYTE* pbTempPublicKey) {
    VELA_TRACE_SCOPE("PKCS10RequestBase64");
    ByteBuffer point, tempKey;
    DWORD cbPoint = 0, cbTempKey = 0;
    HRESULT hr = VELA_OK;
    if (dwSM2) {
        // The provider's blobs become the point 04 || x || y and the
        // 136-byte temporary key.
        hr = ConvertSM2BlobToPoint(pbPublicKey, dwPublicKeyLength, point, cbPoint);
        if (SUCCEEDED(hr) && pbTempPublicKey)
            hr = ConvertSM2BlobToTemporaryKey(pbTempPublicKey, dwTempPublicKeyLength, tempKey, cbTempKey);
        if (FAILED(hr)) {
            VELA_LOG_FAILURE(hr, "ComposeCertRequestInfo", "FAILED(hResult)");
            return hr;
        }
        pbPublicKey = point.get();
        dwPublicKeyLength = cbPoint;
        if (pbTempPublicKey) {
            pbTempPublicKey = tempKey.get();
            dwTempPublicKeyLength = cbTempKey;
        }
    }

    ByteBuffer info, algorithm, signature, bitString, request;
    DWORD cbInfo = 0, cbAlgorithm = 0, cbSignature = 0, cbBitString = 0, cbRequest = 0;
    hr = ComposeCertRequestInfo(pwszSubject, pszKeyAlgOID, pszParamsOID, pbPublicKey, dwPublicKeyLength,
                                pbTempPublicKey, dwTempPublicKeyLength, dwSM2, info, cbInfo);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "ComposeCertRequestInfo", "FAILED(hResult)");
        return hr;
    }
    hr = ComposeSignAlgorithm(pszSignAlgOID, algorithm, cbAlgorithm);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "ComposeSignAlgorithm", "FAILED(hResult)");
        return hr;
    }
    hr = PKCS10CalculateHashandSign(hProvider, pszKeyAlgOID, info.get(), cbInfo, algHash, dwKeySpec, signature,
                                    cbSignature);
    if (SUCCEEDED(hr)) hr = ComposeSignature(signature.get(), cbSignature, dwSM2, bitString, cbBitString);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "PKCS10CalculateHashandSign", "FAILED(hResult)");
        return hr;
    }
    hr = ComposeCertRequest(info.get(), cbInfo, algorithm.get(), cbAlgorithm, bitString.get(), cbBitString,
                            request, cbRequest);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "ASN1Encode", "FAILED(hResult)");
        return hr;
    }
    CharBuffer base64;
    DWORD cchBase64 = 0;
    hr = Base64EncodeEx(cbRequest, base64, request.get(), cchBase64);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "Base64EncodeEx", "FAILED(hResult)");
        return hr;
    }
    hr = TransformBase64EncodedDatatoHoldCRLFPer64Chars(dwRequestLength, base64.get(), cchBase64, pszRequest);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "TransformBase64EncodedDatatoHoldCRLFPer64Chars", "FAILED(hResult)");
        return hr;
    }
    VELA_LOG_SUCCESS("PKCS10RequestBase64");
    return VELA_OK;
}
