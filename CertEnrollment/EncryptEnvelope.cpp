// Reading the CA's envelope of the encryption private key: a fixed header
// of three 16-character decimal fields, then two length-prefixed Base64
// pieces, each one DER value of an INTEGER and an OCTET STRING.
#include "ASN1Engine.h"
#include "CertificateInfo.h"
#include "ImportEncryptCert.h"
#include "VelaTrace.h"

namespace {

constexpr size_t kFieldWidth = 16;
constexpr size_t kHeaderWidth = 3 * kFieldWidth;
constexpr long long kSessionKey3DES = 306;

// A 16-character decimal field read like a base-10 integer conversion:
// leading white space, an optional sign, then digits up to the first
// non-digit; no digits reads as 0. The value saturates instead of wrapping.
long long ReadDecimalField(const WString& text, size_t position) {
    size_t end = position + kFieldWidth < text.size() ? position + kFieldWidth : text.size();
    size_t i = position;
    while (i < end && (text[i] == TEXT(' ') || (text[i] >= TEXT('\t') && text[i] <= TEXT('\r')))) ++i;
    bool negative = false;
    if (i < end && (text[i] == TEXT('+') || text[i] == TEXT('-'))) negative = text[i++] == TEXT('-');
    long long value = 0;
    for (; i < end && text[i] >= TEXT('0') && text[i] <= TEXT('9'); ++i) {
        if (value < 1000000000000000000LL) value = value * 10 + (text[i] - TEXT('0'));
    }
    return negative ? -value : value;
}

struct EnvelopeHeader {
    long long deviceType;
    long long encryptType;
    long long sessionKeyType;
};

HRESULT CheckEnvelopeHeader(const WString& wstrData, bool extended, ALG_ID& aiSession) {
    TraceHelper vela_traceScope(extended ? TEXT("GetSessionKeyandPrivateKeyASN1ObjEx")
                                          : TEXT("GetSessionKeyandPrivateKeyASN1Obj"));
    if (wstrData.size() < kHeaderWidth) {
        VELA_LOG_FAILURE(VELA_E_IMPORT_ENCRYPT_CERT, "Check encrypted data size.", "nDataLen < 48");
        return VELA_E_IMPORT_ENCRYPT_CERT;
    }
    EnvelopeHeader header = {ReadDecimalField(wstrData, 0), ReadDecimalField(wstrData, kFieldWidth),
                             ReadDecimalField(wstrData, 2 * kFieldWidth)};
    TraceInfo(TEXT("envelope header: device %d, encrypt %d, session %d"), (int)header.deviceType,
              (int)header.encryptType, (int)header.sessionKeyType);
    if (header.deviceType < 0 || header.deviceType > 2) {
        VELA_LOG_FAILURE(VELA_E_INVALID_KEY_DEVICE_TYPE, "Invalid device type of generating encrypt cert key.",
                         "TRUE");
        return VELA_E_INVALID_KEY_DEVICE_TYPE;
    }
    if (header.encryptType != 1 && header.encryptType != 2) {
        VELA_LOG_FAILURE(VELA_E_INVALID_KEY_ENCRYPT_TYPE, "Invalid encrypt type used for encrypting private key.",
                         "TRUE");
        return VELA_E_INVALID_KEY_ENCRYPT_TYPE;
    }
    if (header.sessionKeyType == kSessionKey3DES) {
        aiSession = CALG_3DES;
    } else if (extended && header.sessionKeyType == 0) {
        aiSession = 0;
    } else {
        VELA_LOG_FAILURE(VELA_E_INVALID_SESSION_KEY_TYPE,
                         "Invalid session key type used for encrypting private key.", "TRUE");
        return VELA_E_INVALID_SESSION_KEY_TYPE;
    }
    return VELA_OK;
}

// Decodes one piece and extracts its key; steps name the piece.
HRESULT DecodePiece(const WString& wstrPiece, bool session, SecretBytes& key) {
    VELA_TRACE_SCOPE("GetSessionKeyandPrivateKeyASN1Obj");
    ByteBuffer data;
    DWORD length = 0;
    HRESULT hr = DecodeBase64Key(wstrPiece, data, length);
    if (FAILED(hr)) {
        if (session) VELA_LOG_FAILURE(hr, "base64 decode session key FAILED.", "FAILED(hResult)");
        else VELA_LOG_FAILURE(hr, "base64 decode private key FAILED.", "FAILED(hResult)");
        return hr;
    }
    SecretBytes decoded(data.get(), length);
    WipeMemory(data.get(), length);
    hr = GetSessionKeyorPrivateKeyFromASN1Obj(decoded.Data(), decoded.Size(), key);
    if (FAILED(hr)) {
        if (session)
            VELA_LOG_FAILURE(hr, "get session key from ASN1 Obj(GetSessionKeyorPrivateKeyFromASN1Obj)",
                             "FAILED(hResult)");
        else
            VELA_LOG_FAILURE(hr, "get private key from ASN1 Obj(GetSessionKeyorPrivateKeyFromASN1Obj)",
                             "FAILED(hResult)");
    }
    return hr;
}

HRESULT ReadEnvelope(const WString& wstrData, bool extended, EncryptedKeyEnvelope& envelope) {
    TraceHelper vela_traceScope(extended ? TEXT("GetSessionKeyandPrivateKeyASN1ObjEx")
                                          : TEXT("GetSessionKeyandPrivateKeyASN1Obj"));
    ALG_ID aiSession = 0;
    HRESULT hr = CheckEnvelopeHeader(wstrData, extended, aiSession);
    if (FAILED(hr)) return hr;
    size_t cursor = kHeaderWidth;
    WString sessionPiece, privatePiece;
    hr = GetBase64KeyFromEncryptedData(wstrData, cursor, sessionPiece);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "get session key encoded with base64", "FAILED(hResult)");
        return hr;
    }
    hr = GetBase64KeyFromEncryptedData(wstrData, cursor, privatePiece);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "get private key encoded with base64", "FAILED(hResult)");
        return hr;
    }
    EncryptedKeyEnvelope parsed;
    parsed.aiSessionAlgorithm = aiSession;
    if (aiSession != 0) {
        hr = DecodePiece(sessionPiece, true, parsed.sessionKey);
        if (FAILED(hr)) return hr;
    }
    hr = DecodePiece(privatePiece, false, parsed.privateKey);
    if (FAILED(hr)) return hr;
    envelope = std::move(parsed);
    return VELA_OK;
}

}  // namespace

HRESULT GetBase64KeyFromEncryptedData(const WString& wstrData, size_t& nCursor, WString& wstrPiece) {
    VELA_TRACE_SCOPE("GetBase64KeyFromEncryptedData");
    size_t remain = nCursor <= wstrData.size() ? wstrData.size() - nCursor : 0;
    if (remain == 0 || remain < kFieldWidth) {
        VELA_LOG_FAILURE(VELA_E_IMPORT_ENCRYPT_CERT, "Check encrypted data size.",
                         "0 == nRemainLen || nRemainLen < 16");
        return VELA_E_IMPORT_ENCRYPT_CERT;
    }
    long long length = ReadDecimalField(wstrData, nCursor);
    nCursor += kFieldWidth;
    if (length < 0 || (unsigned long long)length > remain - kFieldWidth) {
        VELA_LOG_FAILURE(VELA_E_IMPORT_ENCRYPT_CERT, "GetBase64KeyFromEncryptedData-key's length is wrong", "TRUE");
        return VELA_E_IMPORT_ENCRYPT_CERT;
    }
    if (length == 0) {
        wstrPiece.clear();
        return VELA_OK;
    }
    WString piece = wstrData.substr(nCursor, (size_t)length);
    if (piece.back() != TEXT(',')) {
        VELA_LOG_FAILURE(VELA_E_IMPORT_ENCRYPT_CERT, "Check endl character",
                         "L',' != keyBase64Encoded[nKeyLength - 1]");
        return VELA_E_IMPORT_ENCRYPT_CERT;
    }
    EraseCommaInWstr(piece);
    wstrPiece = std::move(piece);
    nCursor += (size_t)length;
    return VELA_OK;
}

HRESULT GetSessionKeyorPrivateKeyFromASN1Obj(const BYTE* pbData, DWORD dwDataLength, SecretBytes& key) {
    VELA_TRACE_SCOPE("GetSessionKeyorPrivateKeyFromASN1Obj");
    ASN1NodePtr root;
    if (DecodeASN1Memory(root, pbData, dwDataLength) != 0 || !root) {
        VELA_LOG_FAILURE(VELA_E_IMPORT_ENCRYPT_CERT, "DecodeASN1Memory", "TRUE");
        return VELA_E_IMPORT_ENCRYPT_CERT;
    }
    if (root->ChildCount() != 2) {
        VELA_LOG_FAILURE(VELA_E_IMPORT_ENCRYPT_CERT, "Level 1: 2 nodes(INTEGER and OCTET STRING can not be found",
                         "TRUE");
        return VELA_E_IMPORT_ENCRYPT_CERT;
    }
    const ASN1Node* value = root->Child(1);
    key = SecretBytes(value->Content(), value->dwLength);
    return VELA_OK;
}

HRESULT GetSessionKeyandPrivateKeyASN1Obj(const WString& wstrData, EncryptedKeyEnvelope& envelope) {
    return ReadEnvelope(wstrData, false, envelope);
}

HRESULT GetSessionKeyandPrivateKeyASN1ObjEx(const WString& wstrData, EncryptedKeyEnvelope& envelope) {
    return ReadEnvelope(wstrData, true, envelope);
}

HRESULT ParseEncryptCertPrivateKeyData(const WString& wstrEncryptedPrivateKeyData, EncryptedKeyEnvelope& envelope) {
    VELA_TRACE_SCOPE("ParseEncryptCertPrivateKeyData");
    HRESULT hr = GetSessionKeyandPrivateKeyASN1Obj(wstrEncryptedPrivateKeyData, envelope);
    if (FAILED(hr)) VELA_LOG_FAILURE(hr, "GetSessionKeyandPrivateKeyASN1Obj", "FAILED(hResult)");
    return hr;
}

HRESULT ParseEncryptCertPrivateKeyDataEx(const WString& wstrEncryptedPrivateKeyData, EncryptedKeyEnvelope& envelope) {
    VELA_TRACE_SCOPE("ParseEncryptCertPrivateKeyDataEx");
    HRESULT hr = GetSessionKeyandPrivateKeyASN1ObjEx(wstrEncryptedPrivateKeyData, envelope);
    if (FAILED(hr)) VELA_LOG_FAILURE(hr, "GetSessionKeyandPrivateKeyASN1ObjEx", "FAILED(hResult)");
    return hr;
}

HRESULT ParseEncryptCertPublicKeyCert(const WString& wstrEncryptPublicCert, ByteBuffer& pbCert, DWORD& dwCertLength) {
    VELA_TRACE_SCOPE("ParseEncryptCertPublicKeyCert");
    WString text = wstrEncryptPublicCert;
    EraseCommaInWstr(text);
    ByteBuffer cert;
    DWORD certLength = 0;
    HRESULT hr = DecodeBase64Key(text, cert, certLength);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "base64 decode public key FAILED.", "FAILED(hResult)");
        return hr;
    }
    hr = CheckListedCertificateSize(cert.get(), certLength);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "CheckListedCertificateSize", "FAILED(hResult)");
        return hr;
    }
    pbCert = std::move(cert);
    dwCertLength = certLength;
    return VELA_OK;
}
