// Provider contexts: acquiring, creating and deleting key containers,
// provider parameters and random numbers.
#include "Algorithms.h"
#include "KeyStore.h"

#include <tessera/platform_internal.h>

#include <openssl/rand.h>

#include <cstdlib>
#include <map>
#include <tuple>
#include <pwd.h>
#include <unistd.h>

namespace tessera::crypt {
namespace {

constexpr DWORD kDefaultContainerOptional = 0x80;  // CRYPT_DEFAULT_CONTAINER_OPTIONAL
constexpr DWORD kKnownFlags = CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET |
                              CRYPT_SILENT | kDefaultContainerOptional;
constexpr DWORD kImplementationSoftware = 2;  // CRYPT_IMPL_SOFTWARE
constexpr DWORD kProviderVersion = 0x200;

// A null or empty container name means the user's default container,
// named after the user as on Windows.
std::u16string DefaultContainerName() {
    const char* user = std::getenv("USER");
    if (user && *user) return ToUtf16(user);
    struct passwd* pw = getpwuid(getuid());
    return ToUtf16(pw && pw->pw_name ? pw->pw_name : "default");
}

// The new containers of this process that are not written yet.
using PendingKey = std::tuple<Scope, Family, std::string>;
std::mutex g_pendingMutex;
std::map<PendingKey, std::weak_ptr<PendingContainer>> g_pending;

std::shared_ptr<PendingContainer> FindPending(Scope scope, Family family, const std::string& key) {
    std::lock_guard<std::mutex> lock(g_pendingMutex);
    auto found = g_pending.find(PendingKey(scope, family, key));
    if (found == g_pending.end()) return nullptr;
    auto pending = found->second.lock();
    if (!pending) g_pending.erase(found);
    return pending;
}

std::shared_ptr<PendingContainer> AddPending(Scope scope, Family family, const std::u16string& name,
                                             const std::string& key) {
    auto pending = std::make_shared<PendingContainer>();
    pending->scope = scope;
    pending->family = family;
    pending->name = name;
    pending->key = key;
    std::lock_guard<std::mutex> lock(g_pendingMutex);
    g_pending[PendingKey(scope, family, key)] = pending;
    return pending;
}

// Called with pending.mutex held once the container is in the store.
void MarkWritten(PendingContainer& pending) {
    pending.written = true;
    std::lock_guard<std::mutex> lock(g_pendingMutex);
    g_pending.erase(PendingKey(pending.scope, pending.family, pending.key));
}

// Writes a pending container without keys.
bool WritePending(PendingContainer& pending) {
    std::lock_guard<std::mutex> lock(pending.mutex);
    if (pending.written) return true;
    if (!keystore::CreateContainer(pending.scope, pending.family, pending.name, pending.key)) return false;
    MarkWritten(pending);
    return true;
}

// Before a container is looked up, deleted or listed: a pending one of that
// name (every pending one of the family when key is null) is written first.
bool Settle(Scope scope, Family family, const std::string* key) {
    std::vector<std::shared_ptr<PendingContainer>> due;
    if (key) {
        if (auto pending = FindPending(scope, family, *key)) due.push_back(pending);
    } else {
        std::lock_guard<std::mutex> lock(g_pendingMutex);
        for (auto& [pendingKey, weak] : g_pending)
            if (std::get<0>(pendingKey) == scope && std::get<1>(pendingKey) == family)
                if (auto pending = weak.lock()) due.push_back(pending);
    }
    for (auto& pending : due)
        if (!WritePending(*pending)) return false;
    return true;
}

// The pair goes to the store; a pending container is written with it.
bool SavePair(Context& context, DWORD keySpec, const keystore::StoredKey& stored) {
    const Family family = context.provider->family;
    if (auto pending = std::move(context.pending)) {
        std::lock_guard<std::mutex> lock(pending->mutex);
        if (!pending->written) {
            if (!keystore::CreateContainerWithKey(context.scope, family, pending->name, pending->key, keySpec,
                                                  stored)) {
                context.pending = std::move(pending);
                return false;
            }
            MarkWritten(*pending);
            return true;
        }
    }
    return keystore::SaveKey(context.scope, family, context.containerKey, keySpec, stored);
}

bool Delete(const ProviderInfo& provider, Scope scope, const std::u16string& name) {
    std::string key = keystore::ContainerKey(name);
    if (!Settle(scope, provider.family, &key)) return false;
    return keystore::DeleteContainer(scope, provider.family, key);
}

BOOL ReturnString(const std::string& text, BYTE* data, DWORD* length) {
    return CopyOut(text.c_str(), DWORD(text.size() + 1), data, length);
}

BOOL ReturnDword(DWORD value, BYTE* data, DWORD* length) { return CopyOut(&value, sizeof(value), data, length); }

template <typename Record>
void FillNames(Record& r, const AlgorithmInfo& a) {
    std::strncpy(r.szName, a.name, sizeof(r.szName) - 1);
    r.dwNameLen = DWORD(std::strlen(r.szName) + 1);
}

BOOL EnumerateAlgorithm(Context& c, DWORD param, BYTE* data, DWORD* length, DWORD flags) {
    const auto& list = Algorithms(*c.provider);
    size_t cursor = (flags & CRYPT_FIRST) ? 0 : c.algorithmCursor;
    DWORD size = param == PP_ENUMALGS_EX ? sizeof(PROV_ENUMALGS_EX) : sizeof(PROV_ENUMALGS);
    if (!length) return Fail(ERROR_INVALID_PARAMETER);
    if (cursor >= list.size()) return Fail(ERROR_NO_MORE_ITEMS);
    if (!data) {
        *length = size;
        return TRUE;
    }
    const AlgorithmInfo& a = list[cursor];
    BOOL ok;
    if (param == PP_ENUMALGS_EX) {
        PROV_ENUMALGS_EX r{};
        r.aiAlgid = a.algorithm;
        r.dwDefaultLen = a.defaultBits;
        r.dwMinLen = a.minBits;
        r.dwMaxLen = a.maxBits;
        r.dwProtocols = a.protocols;
        FillNames(r, a);
        std::strncpy(r.szLongName, a.longName, sizeof(r.szLongName) - 1);
        r.dwLongNameLen = DWORD(std::strlen(r.szLongName) + 1);
        ok = CopyOut(&r, size, data, length);
    } else {
        PROV_ENUMALGS r{};
        r.aiAlgid = a.algorithm;
        r.dwBitLen = a.defaultBits;
        FillNames(r, a);
        ok = CopyOut(&r, size, data, length);
    }
    if (ok) c.algorithmCursor = cursor + 1;
    return ok;
}

BOOL EnumerateContainer(Context& c, BYTE* data, DWORD* length, DWORD flags) {
    if (!length) return Fail(ERROR_INVALID_PARAMETER);
    if ((flags & CRYPT_FIRST) || (c.containerList.empty() && c.containerCursor == 0)) {
        if (!Settle(c.scope, c.provider->family, nullptr) ||
            !keystore::ListContainers(c.scope, c.provider->family, c.containerList))
            return FALSE;
        c.containerCursor = 0;
    }
    if (c.containerCursor >= c.containerList.size()) return Fail(ERROR_NO_MORE_ITEMS);
    if (!data) {
        // The size that fits every name, as the Microsoft providers report it.
        size_t longest = 0;
        for (const auto& n : c.containerList) longest = std::max(longest, n.size());
        *length = DWORD(longest + 1);
        return TRUE;
    }
    BOOL ok = ReturnString(c.containerList[c.containerCursor], data, length);
    if (ok) ++c.containerCursor;
    return ok;
}

}  // namespace

std::shared_ptr<KeyPair> UserKeyPair(Context& context, DWORD keySpec) {
    std::lock_guard<std::mutex> lock(context.mutex);
    auto found = context.keys.find(keySpec);
    if (found != context.keys.end()) return found->second;
    if (context.ephemeral || (keySpec != AT_KEYEXCHANGE && keySpec != AT_SIGNATURE)) {
        SetLastError(NTE_NO_KEY);
        return nullptr;
    }
    keystore::StoredKey stored;
    bool present = false;
    if (!keystore::LoadKey(context.scope, context.provider->family, context.containerKey, keySpec, stored, present))
        return nullptr;
    if (!present) {
        SetLastError(NTE_NO_KEY);
        return nullptr;
    }
    Pkey pkey = DecodePkcs8(stored.pkcs8);
    if (!pkey) return nullptr;
    auto pair = std::make_shared<KeyPair>();
    pair->keySpec = keySpec;
    pair->algorithm = stored.algorithm;
    pair->flags = stored.flags;
    pair->pkey = Share(std::move(pkey));
    pair->certificate = std::move(stored.certificate);
    context.keys[keySpec] = pair;
    return pair;
}

bool InstallKeyPair(Context& context, std::shared_ptr<KeyPair> pair) {
    std::lock_guard<std::mutex> lock(context.mutex);
    if (!context.ephemeral) {
        keystore::StoredKey stored;
        stored.algorithm = pair->algorithm;
        stored.flags = pair->flags;
        stored.certificate = pair->certificate;
        if (!EncodePkcs8(pair->pkey.get(), stored.pkcs8)) return false;
        if (!SavePair(context, pair->keySpec, stored)) return false;
    }
    context.keys[pair->keySpec] = std::move(pair);
    return true;
}

}  // namespace tessera::crypt

using namespace tessera;
using namespace tessera::crypt;

extern "C" BOOL WINAPI CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider,
                                            DWORD dwProvType, DWORD dwFlags) {
    if (!phProv) return Fail(ERROR_INVALID_PARAMETER);
    const ProviderInfo* provider = szProvider ? FindProvider(szProvider) : DefaultProvider(dwProvType);
    if (!provider) return Fail(szProvider ? NTE_KEYSET_NOT_DEF : NTE_PROV_TYPE_NOT_DEF);
    if (provider->type != dwProvType) return Fail(NTE_PROV_TYPE_NO_MATCH);

    bool sm2Delete = provider->family == Family::TesseraSm2 && dwFlags == kSm2DeleteKeySet;
    if (!sm2Delete && (dwFlags & ~kKnownFlags)) return Fail(NTE_BAD_FLAGS);
    bool remove = sm2Delete || (dwFlags & CRYPT_DELETEKEYSET);
    bool create = !sm2Delete && (dwFlags & CRYPT_NEWKEYSET);
    bool verify = !sm2Delete && (dwFlags & CRYPT_VERIFYCONTEXT);
    if (remove && create) return Fail(NTE_BAD_FLAGS);
    Scope scope = (!sm2Delete && (dwFlags & CRYPT_MACHINE_KEYSET)) ? Scope::Machine : Scope::User;
    bool named = szContainer && *szContainer;
    std::u16string name = named ? std::u16string(szContainer) : DefaultContainerName();

    if (remove) {
        if (verify && !named) return Fail(NTE_BAD_FLAGS);
        if (!Delete(*provider, scope, name)) return FALSE;
        *phProv = 0;
        return TRUE;
    }

    auto context = std::make_shared<Context>();
    context->provider = provider;
    context->scope = scope;
    context->silent = (dwFlags & CRYPT_SILENT) || verify;
    if (verify) {
        // The Microsoft providers refuse a container with a verify context;
        // the Tessera providers open it (the SM2 installation route needs
        // the container's keys from a verify context).
        if (named && provider->family == Family::MicrosoftRsa) return Fail(NTE_BAD_FLAGS);
        if (!named) {
            context->ephemeral = true;
            *phProv = Contexts().Add(std::move(context));
            return TRUE;
        }
    }
    context->containerName = name;
    context->containerKey = keystore::ContainerKey(name);
    if (create && !verify) {
        if (FindPending(scope, provider->family, context->containerKey)) return Fail(NTE_EXISTS);
        if (!keystore::CheckNewContainer(scope, provider->family, context->containerKey)) return FALSE;
        context->pending = AddPending(scope, provider->family, name, context->containerKey);
    } else {
        if (!Settle(scope, provider->family, &context->containerKey)) return FALSE;
        bool exists = false;
        if (!keystore::ContainerExists(scope, provider->family, context->containerKey, exists)) return FALSE;
        if (!exists) return Fail(NTE_BAD_KEYSET);
    }
    *phProv = Contexts().Add(std::move(context));
    return TRUE;
}

extern "C" BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
    auto context = Contexts().Remove(hProv);
    if (!context) return Fail(NTE_BAD_UID);
    // A new container released without keys stays, empty, as on Windows.
    std::shared_ptr<PendingContainer> pending;
    {
        std::lock_guard<std::mutex> lock(context->mutex);
        pending = std::move(context->pending);
    }
    if (pending) WritePending(*pending);
    if (dwFlags) return Fail(NTE_BAD_FLAGS);
    return TRUE;
}

extern "C" BOOL WINAPI CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                                         DWORD dwFlags) {
    auto context = Contexts().Find(hProv);
    if (!context) return Fail(NTE_BAD_UID);
    if (!pdwDataLen) return Fail(ERROR_INVALID_PARAMETER);
    Context& c = *context;
    std::lock_guard<std::mutex> lock(c.mutex);
    switch (dwParam) {
    case PP_NAME: return ReturnString(ToUtf8(c.provider->name), pbData, pdwDataLen);
    case PP_CONTAINER:
    case PP_UNIQUE_CONTAINER:
        return ReturnString(ToUtf8(c.containerName.c_str(), c.containerName.size()), pbData, pdwDataLen);
    case PP_PROVTYPE: return ReturnDword(c.provider->type, pbData, pdwDataLen);
    case PP_IMPTYPE: return ReturnDword(kImplementationSoftware, pbData, pdwDataLen);
    case PP_VERSION: return ReturnDword(kProviderVersion, pbData, pdwDataLen);
    case PP_KEYSPEC: return ReturnDword(AT_KEYEXCHANGE | AT_SIGNATURE, pbData, pdwDataLen);
    case PP_ENUMALGS:
    case PP_ENUMALGS_EX: return EnumerateAlgorithm(c, dwParam, pbData, pdwDataLen, dwFlags);
    case PP_ENUMCONTAINERS: return EnumerateContainer(c, pbData, pdwDataLen, dwFlags);
    case PP_SIG_KEYSIZE_INC:
    case PP_KEYX_KEYSIZE_INC:
        if (c.provider->family == Family::TesseraSm2) return Fail(NTE_BAD_TYPE);
        return ReturnDword(kRsaKeyIncrement, pbData, pdwDataLen);
    default: return Fail(NTE_BAD_TYPE);
    }
}

extern "C" BOOL WINAPI CryptGenRandom(HCRYPTPROV hProv, DWORD dwLen, BYTE* pbBuffer) {
    if (!Contexts().Find(hProv)) return Fail(NTE_BAD_UID);
    if (dwLen == 0) return TRUE;
    if (!pbBuffer) return Fail(ERROR_INVALID_PARAMETER);
    if (RAND_bytes(pbBuffer, int(dwLen)) != 1) return Fail(NTE_FAIL);
    return TRUE;
}
