// The token's objects: for every certificate of the user's "MY" store that
// is linked to a key, a certificate object and that key's private- and
// public-key objects, all sharing one CKA_ID. Read from the store on demand;
// the module never changes the store.
#pragma once
#define CRYPTOKI_GNU 1
#include <p11-kit/pkcs11.h>

#include <windows.h>

#include <openssl/evp.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tessera::pkcs11 {

using Bytes = std::vector<unsigned char>;
using SharedKey = std::shared_ptr<EVP_PKEY>;

// Which container key an object stands for.
struct KeyLink {
    std::u16string container;
    std::u16string provider;
    DWORD providerType = 0;
    DWORD keySpec = 0;
    DWORD acquireFlags = 0;  // CRYPT_MACHINE_KEYSET when the key is a machine key
};

struct Object {
    ck_object_class_t objectClass = 0;
    ck_key_type_t keyType = 0;  // keys
    bool sm2 = false;
    KeyLink link;
    std::map<ck_attribute_type_t, Bytes> attributes;
};

// Objects by handle. Handles stay with their object across refreshes (the
// identity is the class and the certificate or key), and are never reused.
class Token {
public:
    // Reads the store again inside one snapshot.
    void Refresh();
    const Object* Find(ck_object_handle_t handle) const;
    std::vector<ck_object_handle_t> Match(const struct ck_attribute* templ, unsigned long count) const;
    // The private key behind a private-key object, loaded through its
    // container once and kept while the object stays on the token (OpenSSL
    // then keeps its precomputed values between signatures). Null when the
    // container no longer has it.
    SharedKey PrivateKey(ck_object_handle_t handle);

private:
    void Put(const std::string& identity, Object object);
    void RefreshObjects();
    std::map<ck_object_handle_t, Object> m_objects;
    std::map<std::string, ck_object_handle_t> m_handles;
    std::map<ck_object_handle_t, SharedKey> m_keys;
    ck_object_handle_t m_next = 1;
};

// Attribute value helpers.
Bytes UlongValue(unsigned long value);
Bytes BoolValue(bool value);

}  // namespace tessera::pkcs11
