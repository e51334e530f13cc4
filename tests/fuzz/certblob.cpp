// The registry certificate blob, read by the chain installation (from its
// Base64 text) and by the Linux certificate stores: any blob is read or
// refused cleanly, and both readers pick the same certificate record.
#include <wincrypt.h>

#include "CertInternal.h"
#include "CertificateChainInstall.h"
#include "FuzzSupport.h"

namespace {

// The properties a store reads from an element it loaded.
void ReadProperties(PCCERT_CONTEXT context) {
    DWORD size = 0;
    if (CertGetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) {
        std::vector<BYTE> info(size);
        FUZZ_CHECK(CertGetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, info.data(), &size));
    }
    WCHAR name[256];
    CertGetNameStringW(context, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 256);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CharBuffer text;
    DWORD textLength = 0;
    FUZZ_CHECK(SUCCEEDED(Base64EncodeEx(DWORD(size), text, data, textLength)));
    ByteBuffer cert;
    DWORD certSize = 0;
    HRESULT hr = GetCertFromCertificateBlobProperties(cert, WideFromInput(reinterpret_cast<const uint8_t*>(text.get()),
                                                                          textLength).c_str(), certSize);
    if (SUCCEEDED(hr)) FUZZ_CHECK(certSize + 12 <= size);

    tessera::cert::CertObject* object = tessera::cert::DecodeBlob(data, size);
    if (!object) return 0;
    FUZZ_CHECK(SUCCEEDED(hr) && certSize == object->der.size() &&
               std::equal(object->der.begin(), object->der.end(), cert.get()));
    ReadProperties(&object->context);
    tessera::cert::DestroyCertificate(object);
    return 0;
}
