// Internal model of the certificate services: certificate objects (a
// CERT_CONTEXT with the storage its CERT_INFO points into, its properties
// and its reference count) and store objects. One process-wide recursive
// lock guards every object of this layer; the calls are short.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace tessera::cert {

using Bytes = std::vector<BYTE>;

std::recursive_mutex& Lock();

struct StoreObject;

// Where a system-store element lives persistently.
enum class Origin { None, User, Machine };

struct CertObject {
    CERT_CONTEXT context{};  // first member: a PCCERT_CONTEXT is a CertObject*
    uint32_t magic = 0;
    // External references plus one while the object is an element of a store.
    long refs = 0;
    bool visible = false;  // still an element of its store (not deleted or replaced)
    StoreObject* store = nullptr;
    size_t position = 0;  // index in its store's elements (which only ever grow)
    Origin origin = Origin::None;
    std::u16string entryName;  // registry key it was read from (normally the thumbprint)

    Bytes der;
    CERT_INFO info{};
    Bytes serial, issuer, subject, sigParams, keyParams, publicKey, issuerUid, subjectUid;
    std::string sigOid, keyOid;
    std::vector<std::string> extOids;
    std::vector<Bytes> extValues;
    std::vector<CERT_EXTENSION> extensions;

    // Stored properties by id, in their serialized form (CRYPT_KEY_PROV_INFO
    // as offset records, everything else as the raw value).
    std::map<DWORD, Bytes> properties;
    HCRYPTPROV cachedProvider = 0;  // CRYPT_ACQUIRE_CACHE_FLAG
    DWORD cachedKeySpec = 0;
};

// The record of a registry certificate blob that holds the DER certificate.
constexpr DWORD CERT_CERT_PROP_ID = 32;

constexpr uint32_t kCertMagic = 0x43455254;   // "CERT"
constexpr uint32_t kStoreMagic = 0x53544F52;  // "STOR"

// Parses DER into a new object with refs == 0; nullptr with the error set.
CertObject* ParseCertificate(const BYTE* der, DWORD length, DWORD& error);
// Whether the bytes are exactly one encoded X.500 Name.
bool IsName(const BYTE* data, size_t length);
// Validates a caller's context pointer.
CertObject* FromContext(PCCERT_CONTEXT context);
// A copy with the same certificate and properties, not in any store.
CertObject* CloneCertificate(const CertObject& source);
void DestroyCertificate(CertObject* object);

// Adds one external reference (and one on the owning store).
void AddRef(CertObject* object);
// Drops one external reference; the object and its store go when unused.
void Release(CertObject* object);

// Hash helpers.
Bytes Sha1(const BYTE* data, size_t length);
Bytes Md5(const BYTE* data, size_t length);
std::u16string Thumbprint(const CertObject& object);  // SHA-1, 40 uppercase hex digits

// Key-provider record <-> serialized offset form.
Bytes SerializeKeyProvInfo(const CRYPT_KEY_PROV_INFO& info);
// Size of the self-relative CRYPT_KEY_PROV_INFO for a serialized record, 0 if malformed.
DWORD KeyProvInfoSize(const Bytes& serialized);
void UnpackKeyProvInfo(const Bytes& serialized, BYTE* out);

// The registry certificate blob: property records (id, 1, length, value),
// the stored properties first and the certificate (32) last.
Bytes EncodeBlob(const CertObject& object);
// Builds an object from a blob; nullptr if it has no usable certificate.
CertObject* DecodeBlob(const BYTE* data, size_t length);

// Called after a property of an element of a persistent store changed.
bool PersistElement(CertObject* object, DWORD& error);

}  // namespace tessera::cert
