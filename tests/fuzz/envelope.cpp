// The envelope readers: any text is read or refused cleanly, the extended
// reading accepts everything the strict one does with the same keys, and
// the keys are never longer than the text they came from.
#include "FuzzSupport.h"
#include "ImportEncryptCert.h"

namespace {

bool SameBytes(const SecretBytes& a, const SecretBytes& b) {
    return a.Size() == b.Size() && std::equal(a.Data(), a.Data() + a.Size(), b.Data());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    WString text = WideFromInput(data, size);
    EncryptedKeyEnvelope strict, extended;
    HRESULT hrStrict = ParseEncryptCertPrivateKeyData(text, strict);
    HRESULT hrExtended = ParseEncryptCertPrivateKeyDataEx(text, extended);
    if (SUCCEEDED(hrStrict)) {
        FUZZ_CHECK(SUCCEEDED(hrExtended));
        FUZZ_CHECK(strict.aiSessionAlgorithm == extended.aiSessionAlgorithm);
        FUZZ_CHECK(SameBytes(strict.sessionKey, extended.sessionKey));
        FUZZ_CHECK(SameBytes(strict.privateKey, extended.privateKey));
    }
    if (SUCCEEDED(hrExtended)) FUZZ_CHECK(extended.sessionKey.Size() + extended.privateKey.Size() <= text.size());
    ByteBuffer cert;
    DWORD certLength = 0;
    if (SUCCEEDED(ParseEncryptCertPublicKeyCert(text, cert, certLength))) FUZZ_CHECK(certLength <= text.size());
    return 0;
}
