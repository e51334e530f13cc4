// Private keys at rest on Windows: the key store's rows hold the PKCS #8
// bytes protected with DPAPI (CryptProtectData), for the user's account in
// the user's store and for the machine (CRYPTPROTECT_LOCAL_MACHINE) in the
// machine's. These wrap the key store's own functions, which this build
// compiles under the names ...AtRest (see CMakeLists.txt).
#include "crypt/KeyStore.h"

extern "C" {
// Protects (or unprotects) the bytes; *out is freed with TesseraCspFree.
BOOL TesseraCspProtect(BOOL machine, BOOL protect, const BYTE* in, DWORD length, BYTE** out, DWORD* outLength);
void TesseraCspFree(BYTE* bytes);
}

namespace tessera::crypt::keystore {

bool LoadKeyAtRest(Scope scope, Family family, const std::string& key, DWORD keySpec, StoredKey& stored,
                   bool& found);
bool SaveKeyAtRest(Scope scope, Family family, const std::string& key, DWORD keySpec, const StoredKey& stored);
bool CreateContainerWithKeyAtRest(Scope scope, Family family, const std::u16string& name, const std::string& key,
                                  DWORD keySpec, const StoredKey& stored);

namespace {

bool Transform(Scope scope, bool protect, const SecureBytes& in, SecureBytes& out) {
    BYTE* bytes = nullptr;
    DWORD length = 0;
    if (!TesseraCspProtect(scope != Scope::User, protect, in.data(), DWORD(in.size()), &bytes, &length))
        return false;
    out = SecureBytes(bytes, length);
    TesseraCspFree(bytes);
    return true;
}

bool Protected(Scope scope, const StoredKey& plain, StoredKey& sealed) {
    sealed.algorithm = plain.algorithm;
    sealed.flags = plain.flags;
    sealed.certificate = plain.certificate;
    return Transform(scope, true, plain.pkcs8, sealed.pkcs8);
}

}  // namespace

bool LoadKey(Scope scope, Family family, const std::string& key, DWORD keySpec, StoredKey& stored, bool& found) {
    StoredKey sealed;
    if (!LoadKeyAtRest(scope, family, key, keySpec, sealed, found)) return false;
    if (!found) return true;
    stored.algorithm = sealed.algorithm;
    stored.flags = sealed.flags;
    stored.certificate = std::move(sealed.certificate);
    // A row that does not unprotect (another account's, or damaged) is
    // reported, not read.
    if (!Transform(scope, false, sealed.pkcs8, stored.pkcs8)) {
        found = false;
        SetLastError(NTE_BAD_KEY_STATE);
        return false;
    }
    return true;
}

bool SaveKey(Scope scope, Family family, const std::string& key, DWORD keySpec, const StoredKey& stored) {
    StoredKey sealed;
    return Protected(scope, stored, sealed) && SaveKeyAtRest(scope, family, key, keySpec, sealed);
}

bool CreateContainerWithKey(Scope scope, Family family, const std::u16string& name, const std::string& key,
                            DWORD keySpec, const StoredKey& stored) {
    StoredKey sealed;
    return Protected(scope, stored, sealed) && CreateContainerWithKeyAtRest(scope, family, name, key, keySpec, sealed);
}

}  // namespace tessera::crypt::keystore
