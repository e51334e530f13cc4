// Certificate stores: memory stores, PKCS #7 message stores (the
// certificates of a SignedData, held in memory) and the system stores of
// the current user and of the local machine. A system store is read from
// the registry when it is opened; every addition, deletion and property
// change is written through at once, one transaction each, so committing a
// store has nothing left to do. A current user's "ROOT" and "CA" also show
// the local machine's certificates, as on Windows.
#include "CertInternal.h"

#include <tessera/platform_internal.h>
#include <tessera/store_internal.h>

#include "registry/RegistryInternal.h"

#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstring>
#include <unordered_set>

namespace tessera::cert {

struct StoreObject {
    uint32_t magic = kStoreMagic;
    long refs = 1;  // open handles plus external references to its certificates
    enum class Kind { Memory, System } kind = Kind::Memory;
    bool readOnly = false;
    std::vector<CertObject*> elements;  // each holds one reference; hidden once deleted
    // System stores.
    std::u16string name;
    Origin target = Origin::None;  // where additions go
    bool withMachine = false;      // also shows the local machine's store
    HCRYPTPROV provider = 0;       // released with the store unless CERT_STORE_NO_CRYPT_RELEASE_FLAG
};

namespace {

std::unordered_set<StoreObject*>& LiveStores() {
    static std::unordered_set<StoreObject*> stores;
    return stores;
}

StoreObject* FromHandle(HCERTSTORE handle) {
    auto* s = static_cast<StoreObject*>(handle);
    return s && LiveStores().count(s) ? s : nullptr;
}

registry::Scope ScopeOf(Origin origin) {
    return origin == Origin::Machine ? registry::Scope::Machine : registry::Scope::User;
}

void ReleaseStore(StoreObject* s) {
    if (--s->refs > 0) return;
    LiveStores().erase(s);
    for (CertObject* e : s->elements) {
        e->visible = false;
        e->store = nullptr;
        if (--e->refs == 0) DestroyCertificate(e);
    }
    if (s->provider) CryptReleaseContext(s->provider, 0);
    s->magic = 0;
    delete s;
}

void Insert(StoreObject* s, CertObject* o, Origin origin) {
    o->store = s;
    o->origin = origin;
    o->visible = true;
    o->refs += 1;
    o->context.hCertStore = s;
    o->position = s->elements.size();
    s->elements.push_back(o);
}

// Reads the scope's certificates into the store. A store that cannot be
// read fails with its error (a damaged database does not look empty). The
// machine's part of a current user's "ROOT" or "CA" is left out when this
// user may not read it, as those stores then show the user's own only.
bool LoadScope(StoreObject* s, Origin origin, DWORD& error) {
    std::vector<registry::CertificateEntry> entries;
    error = 0;
    if (!registry::ReadCertificateBlobs(ScopeOf(origin), s->name, entries, error)) {
        if (origin != s->target && error == ERROR_ACCESS_DENIED) {
            error = 0;
            return true;
        }
        return false;
    }
    for (const auto& entry : entries)
        if (CertObject* o = DecodeBlob(entry.blob.data(), entry.blob.size())) {
            o->entryName = entry.thumbprint;
            Insert(s, o, origin);
        }
    return true;
}

bool Load(StoreObject* s, DWORD& error) {
    return LoadScope(s, s->target, error) && (!s->withMachine || LoadScope(s, Origin::Machine, error));
}

CertObject* FindSame(StoreObject* s, const CertObject& o) {
    for (CertObject* e : s->elements)
        if (e->visible && e->der == o.der) return e;
    return nullptr;
}

// The registry key of an element: where it was read from, else its thumbprint.
std::u16string EntryName(const CertObject& o) { return o.entryName.empty() ? Thumbprint(o) : o.entryName; }

bool Persist(StoreObject* s, CertObject* o, Origin origin, bool failIfExists, DWORD& error) {
    if (s->kind != StoreObject::Kind::System) return true;
    return registry::WriteCertificateBlob(ScopeOf(origin), s->name, EntryName(*o), EncodeBlob(*o), failIfExists,
                                          error);
}

// Adds a new object (refs 0, in no store) with the disposition; takes it over.
BOOL AddObject(StoreObject* s, CertObject* fresh, DWORD disposition, PCCERT_CONTEXT* out) {
    if (out) *out = nullptr;
    auto reject = [fresh](DWORD error) {
        DestroyCertificate(fresh);
        return Fail(error);
    };
    if (s->readOnly) return reject(DWORD(E_ACCESSDENIED));
    CertObject* existing = FindSame(s, *fresh);
    bool failIfExists = false;
    switch (disposition) {
    case CERT_STORE_ADD_NEW:
    case CERT_STORE_ADD_NEWER:
    case CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES:
        if (existing) return reject(DWORD(CRYPT_E_EXISTS));
        failIfExists = true;
        break;
    case CERT_STORE_ADD_USE_EXISTING:
        if (existing) {
            bool added = false;
            for (const auto& [id, value] : fresh->properties)
                added = existing->properties.emplace(id, value).second || added;
            DWORD error = 0;
            if (added && !Persist(s, existing, existing->origin, false, error)) return reject(error);
            DestroyCertificate(fresh);
            if (out) {
                AddRef(existing);
                *out = &existing->context;
            }
            return TRUE;
        }
        break;
    case CERT_STORE_ADD_REPLACE_EXISTING:
        break;
    case CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES:
        if (existing)
            for (const auto& [id, value] : existing->properties) fresh->properties.emplace(id, value);
        break;
    case CERT_STORE_ADD_ALWAYS:
        // A memory store keeps duplicates; a system store holds one entry per thumbprint.
        if (s->kind != StoreObject::Kind::System) existing = nullptr;
        break;
    default:
        return reject(DWORD(E_INVALIDARG));
    }
    DWORD error = 0;
    if (!Persist(s, fresh, s->target, failIfExists, error)) return reject(error);
    if (existing && existing->origin == s->target) {
        // An entry read from a key not named by the thumbprint goes with it.
        if (s->kind == StoreObject::Kind::System && !existing->entryName.empty() &&
            lstrcmpiW(existing->entryName.c_str(), Thumbprint(*fresh).c_str()) != 0)
            registry::RemoveCertificateKey(ScopeOf(existing->origin), s->name, existing->entryName, error);
        existing->visible = false;
    }
    Insert(s, fresh, s->target);
    if (out) {
        AddRef(fresh);
        *out = &fresh->context;
    }
    return TRUE;
}

bool LoadPkcs7(StoreObject* s, const CRYPT_DATA_BLOB* blob, DWORD& error) {
    error = DWORD(CRYPT_E_ASN1_BADTAG);
    if (!blob || !blob->pbData || blob->cbData == 0) {
        error = DWORD(E_INVALIDARG);
        return false;
    }
    const unsigned char* p = blob->pbData;
    PKCS7* p7 = d2i_PKCS7(nullptr, &p, long(blob->cbData));
    if (!p7) return false;
    if (!PKCS7_type_is_signed(p7) || !p7->d.sign) {
        PKCS7_free(p7);
        error = DWORD(CRYPT_E_INVALID_MSG_TYPE);
        return false;
    }
    STACK_OF(X509)* certs = p7->d.sign->cert;
    bool ok = true;
    for (int i = 0; ok && i < sk_X509_num(certs); ++i) {
        unsigned char* der = nullptr;
        int n = i2d_X509(sk_X509_value(certs, i), &der);
        CertObject* o = n > 0 ? ParseCertificate(der, DWORD(n), error) : nullptr;
        OPENSSL_free(der);
        if (!o) ok = false;
        else Insert(s, o, Origin::None);
    }
    PKCS7_free(p7);
    if (ok) error = 0;
    return ok;
}

}  // namespace

void AddRef(CertObject* o) {
    ++o->refs;
    if (o->store) ++o->store->refs;
}

void Release(CertObject* o) {
    StoreObject* s = o->store;
    if (--o->refs == 0) DestroyCertificate(o);
    if (s) ReleaseStore(s);
}

bool PersistElement(CertObject* o, DWORD& error) {
    if (!o->store || !o->visible) return true;
    return Persist(o->store, o, o->origin, false, error);
}

}  // namespace tessera::cert

using namespace tessera;
using namespace tessera::cert;

extern "C" HCERTSTORE CertOpenStore(LPCSTR provider, DWORD encoding, HCRYPTPROV_LEGACY hProv, DWORD flags,
                                    const void* para) {
    std::lock_guard<std::recursive_mutex> guard(Lock());
    auto* s = new StoreObject();
    s->readOnly = (flags & CERT_STORE_READONLY_FLAG) != 0;
    if (provider == CERT_STORE_PROV_MEMORY) {
        s->kind = StoreObject::Kind::Memory;
    } else if (provider == CERT_STORE_PROV_PKCS7) {
        s->kind = StoreObject::Kind::Memory;
        DWORD error = 0;
        if (!LoadPkcs7(s, static_cast<const CRYPT_DATA_BLOB*>(para), error)) {
            LiveStores().insert(s);
            ReleaseStore(s);
            SetLastError(error);
            return nullptr;
        }
    } else if (provider == CERT_STORE_PROV_SYSTEM_W) {
        const DWORD location = flags & CERT_SYSTEM_STORE_LOCATION_MASK;
        const auto* name = static_cast<const WCHAR*>(para);
        if ((location != CERT_SYSTEM_STORE_CURRENT_USER && location != CERT_SYSTEM_STORE_LOCAL_MACHINE) || !name ||
            !*name || (flags & CERT_STORE_DELETE_FLAG)) {
            delete s;
            SetLastError(DWORD(E_INVALIDARG));
            return nullptr;
        }
        s->kind = StoreObject::Kind::System;
        s->name = name;
        s->target = location == CERT_SYSTEM_STORE_CURRENT_USER ? Origin::User : Origin::Machine;
        s->withMachine = s->target == Origin::User &&
                         (lstrcmpiW(name, u"ROOT") == 0 || lstrcmpiW(name, u"CA") == 0);
        DWORD error = 0;
        if (!Load(s, error)) {
            LiveStores().insert(s);
            ReleaseStore(s);
            SetLastError(error);
            return nullptr;
        }
        if (!(flags & CERT_STORE_NO_CRYPT_RELEASE_FLAG)) s->provider = hProv;
    } else {
        delete s;
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    LiveStores().insert(s);
    return s;
}

extern "C" HCERTSTORE CertOpenSystemStoreW(HCRYPTPROV_LEGACY hProv, LPCWSTR name) {
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, hProv,
                         CERT_SYSTEM_STORE_CURRENT_USER | (hProv ? 0 : CERT_STORE_NO_CRYPT_RELEASE_FLAG), name);
}

extern "C" BOOL CertCloseStore(HCERTSTORE handle, DWORD) {
    if (!handle) return TRUE;
    std::lock_guard<std::recursive_mutex> guard(Lock());
    StoreObject* s = FromHandle(handle);
    if (!s) return Fail(DWORD(E_INVALIDARG));
    ReleaseStore(s);
    return TRUE;
}

extern "C" BOOL CertControlStore(HCERTSTORE handle, DWORD, DWORD control, void const*) {
    std::lock_guard<std::recursive_mutex> guard(Lock());
    StoreObject* s = FromHandle(handle);
    if (!s) return Fail(DWORD(E_INVALIDARG));
    switch (control) {
    case CERT_STORE_CTRL_COMMIT:
    case CERT_STORE_CTRL_AUTO_RESYNC:
        return TRUE;
    case CERT_STORE_CTRL_RESYNC:
        if (s->kind == StoreObject::Kind::System) {
            for (CertObject* e : s->elements) e->visible = false;
            DWORD error = 0;
            if (!Load(s, error)) return Fail(error);
        }
        return TRUE;
    default:
        return Fail(ERROR_NOT_SUPPORTED);
    }
}

extern "C" PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE handle, PCCERT_CONTEXT previous) {
    std::lock_guard<std::recursive_mutex> guard(Lock());
    StoreObject* s = FromHandle(handle);
    CertObject* prev = previous ? FromContext(previous) : nullptr;
    if (!s || (previous && (!prev || prev->store != s))) {
        SetLastError(DWORD(E_INVALIDARG));
        return nullptr;
    }
    // The next element after the previous one, found by its position: a
    // search for it would make a whole enumeration quadratic.
    size_t start = prev ? prev->position + 1 : 0;
    CertObject* next = nullptr;
    for (size_t i = start; i < s->elements.size() && !next; ++i)
        if (s->elements[i]->visible) next = s->elements[i];
    if (next) AddRef(next);
    if (prev) Release(prev);
    if (!next) {
        SetLastError(DWORD(CRYPT_E_NOT_FOUND));
        return nullptr;
    }
    return &next->context;
}

extern "C" BOOL CertAddEncodedCertificateToStore(HCERTSTORE handle, DWORD encoding, const BYTE* der, DWORD length,
                                                 DWORD disposition, PCCERT_CONTEXT* out) {
    if (out) *out = nullptr;
    std::lock_guard<std::recursive_mutex> guard(Lock());
    StoreObject* s = FromHandle(handle);
    if (!s || !(encoding & X509_ASN_ENCODING)) return Fail(DWORD(E_INVALIDARG));
    DWORD error = 0;
    CertObject* o = ParseCertificate(der, length, error);
    if (!o) return Fail(error);
    return AddObject(s, o, disposition, out);
}

extern "C" BOOL CertAddCertificateContextToStore(HCERTSTORE handle, PCCERT_CONTEXT context, DWORD disposition,
                                                 PCCERT_CONTEXT* out) {
    if (out) *out = nullptr;
    std::lock_guard<std::recursive_mutex> guard(Lock());
    StoreObject* s = FromHandle(handle);
    CertObject* source = FromContext(context);
    if (!s || !source) return Fail(DWORD(E_INVALIDARG));
    return AddObject(s, CloneCertificate(*source), disposition, out);
}

extern "C" BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT context) {
    std::lock_guard<std::recursive_mutex> guard(Lock());
    CertObject* o = FromContext(context);
    if (!o) return Fail(DWORD(E_INVALIDARG));
    StoreObject* s = o->store;
    if (!s) {
        Release(o);
        return Fail(DWORD(E_INVALIDARG));
    }
    if (o->visible && s->kind == StoreObject::Kind::System) {
        DWORD error = 0;
        if (!registry::RemoveCertificateKey(ScopeOf(o->origin), s->name, EntryName(*o), error)) {
            Release(o);
            return Fail(error);
        }
    } else if (o->visible && s->readOnly) {
        Release(o);
        return Fail(DWORD(E_ACCESSDENIED));
    }
    o->visible = false;
    Release(o);
    return TRUE;
}

BOOL TesseraStoreAddLinkedCertificate(const BYTE* der, DWORD length, const WCHAR* container, const WCHAR* provider,
                                      DWORD providerType, DWORD keySpec) {
    std::lock_guard<std::recursive_mutex> guard(Lock());
    DWORD error = 0;
    CertObject* o = ParseCertificate(der, length, error);
    if (!o) return Fail(error);
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = const_cast<LPWSTR>(container);
    info.pwszProvName = const_cast<LPWSTR>(provider);
    info.dwProvType = providerType;
    info.dwKeySpec = keySpec;
    o->properties[CERT_KEY_PROV_INFO_PROP_ID] = SerializeKeyProvInfo(info);
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                     CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_NO_CRYPT_RELEASE_FLAG, u"MY");
    if (!store) {
        error = GetLastError();
        DestroyCertificate(o);
        return Fail(error);
    }
    BOOL ok = AddObject(FromHandle(store), o, CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    error = GetLastError();
    CertCloseStore(store, 0);
    if (!ok) return Fail(error);
    return TRUE;
}
