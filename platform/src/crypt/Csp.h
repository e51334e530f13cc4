// Internal model of the key store's cryptographic providers: the provider
// descriptors, the objects behind provider, key and hash handles, and the
// handle tables that map the opaque handle values to them.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <openssl/evp.h>

#include "../store/Database.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace tessera::crypt {

// Algorithm identifiers of the SM2 provider.
constexpr ALG_ID kAlgSm2Exchange = 0xBE00;
constexpr ALG_ID kAlgSm2Signature = 0x3E00;
constexpr ALG_ID kAlgSm3 = 0x800F;
// Deletes a container of the SM2 provider (its own flag value).
constexpr DWORD kSm2DeleteKeySet = 0xFFFF0002;

// The family decides the algorithms and which containers a provider sees:
// the four Microsoft-named providers share one set of containers.
enum class Family { MicrosoftRsa, TesseraRsa, TesseraSm2 };

struct ProviderInfo {
    const char16_t* name;
    DWORD type;
    Family family;
    DWORD defaultRsaBits;  // CryptGenKey with a zero length
    bool offersTripleDes;
    bool offersAes;
    bool storesCertificates;  // KP_CERTIFICATE kept with the key
};

// The providers in enumeration order.
const std::vector<ProviderInfo>& Providers();
const ProviderInfo* FindProvider(const char16_t* name);
const ProviderInfo* DefaultProvider(DWORD type);
const char* FamilyTag(Family family);

// Wipes its bytes when it goes away: holds private keys, session keys and
// their intermediate encodings.
class SecureBytes {
public:
    SecureBytes() = default;
    explicit SecureBytes(size_t n) : bytes_(n) {}
    SecureBytes(const BYTE* p, size_t n) : bytes_(p, p + n) {}
    SecureBytes(const SecureBytes&) = default;
    SecureBytes& operator=(const SecureBytes& other) {
        if (this != &other) { Wipe(); bytes_ = other.bytes_; }
        return *this;
    }
    SecureBytes(SecureBytes&& other) noexcept : bytes_(std::move(other.bytes_)) {}
    SecureBytes& operator=(SecureBytes&& other) noexcept {
        if (this != &other) { Wipe(); bytes_ = std::move(other.bytes_); }
        return *this;
    }
    ~SecureBytes() { Wipe(); }
    BYTE* data() { return bytes_.data(); }
    const BYTE* data() const { return bytes_.data(); }
    size_t size() const { return bytes_.size(); }
    bool empty() const { return bytes_.empty(); }
    void resize(size_t n);
    void Wipe();
    std::vector<BYTE>& raw() { return bytes_; }

private:
    std::vector<BYTE> bytes_;
};

struct PkeyDeleter {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyDeleter>;
using SharedPkey = std::shared_ptr<EVP_PKEY>;
SharedPkey Share(Pkey key);

// A key pair of a container (or of an ephemeral context).
struct KeyPair {
    DWORD keySpec = 0;      // AT_KEYEXCHANGE or AT_SIGNATURE
    ALG_ID algorithm = 0;   // CALG_RSA_KEYX, CALG_RSA_SIGN, kAlgSm2Exchange, kAlgSm2Signature
    DWORD flags = 0;        // CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED as generated or imported
    SharedPkey pkey;
    std::vector<BYTE> certificate;  // KP_CERTIFICATE
};

using store::Scope;

// A container asked for with CRYPT_NEWKEYSET is written to the store together
// with its first key pair, in one transaction, so that a process killed while
// it generates that pair leaves no container without keys. Until then only
// this process knows it: opening, deleting or listing it from another
// context, or releasing the creating context, writes it as it is (empty), so
// within the process it behaves as a container written at once.
struct PendingContainer {
    Scope scope = Scope::User;
    Family family = Family::MicrosoftRsa;
    std::u16string name;
    std::string key;
    std::mutex mutex;
    bool written = false;
};

struct Context {
    const ProviderInfo* provider = nullptr;
    Scope scope = Scope::User;
    bool ephemeral = false;  // verify context without a container: nothing persists
    bool silent = false;
    std::u16string containerName;
    std::string containerKey;  // case-folded UTF-8 name, the lookup key in the store
    std::shared_ptr<PendingContainer> pending;  // a new container not yet written
    std::mutex mutex;
    std::map<DWORD, std::shared_ptr<KeyPair>> keys;  // loaded or ephemeral pairs by AT_KEYEXCHANGE or AT_SIGNATURE
    size_t algorithmCursor = 0;
    std::vector<std::string> containerList;
    size_t containerCursor = 0;
};

enum class KeyKind { Pair, Public, Session };

struct Key {
    KeyKind kind = KeyKind::Session;
    std::shared_ptr<Context> context;
    std::shared_ptr<KeyPair> pair;  // Pair: the container's key pair
    // Pair imported from an encrypted-key blob: the exchange pair it replaced
    // (the temporary key the blob was encrypted for). A certificate of
    // another key refused on this handle puts that pair back, so the right
    // import can still be made; a certificate bound drops it.
    std::shared_ptr<KeyPair> replaced;
    bool withdrawn = false;  // the pair was taken out again by that refusal
    SharedPkey publicKey;           // Public: an imported public key
    ALG_ID algorithm = 0;
    DWORD flags = 0;
    // Session keys.
    SecureBytes secret;
    DWORD mode = CRYPT_MODE_CBC;
    DWORD padding = PKCS5_PADDING;
    std::vector<BYTE> iv;
    EVP_CIPHER_CTX* cipher = nullptr;  // between a non-final and the final call
    bool encrypting = false;
    std::mutex mutex;
    ~Key();
};

struct Hash {
    std::shared_ptr<Context> context;
    ALG_ID algorithm = 0;
    const EVP_MD* md = nullptr;
    EVP_MD_CTX* digest = nullptr;
    std::vector<BYTE> value;      // once finished
    bool finished = false;
    std::vector<BYTE> message;    // SM3: the data, signed with the signer's Z value
    std::mutex mutex;
    ~Hash();
};

// Maps handle values to objects. Values are never reused within a process,
// so a stale or forged handle is refused instead of reaching another object.
template <typename T>
class HandleTable {
public:
    ULONG_PTR Add(std::shared_ptr<T> object) {
        std::lock_guard<std::mutex> lock(mutex_);
        ULONG_PTR handle = next_;
        next_ += 8;
        objects_[handle] = std::move(object);
        return handle;
    }
    std::shared_ptr<T> Find(ULONG_PTR handle) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = objects_.find(handle);
        return it == objects_.end() ? nullptr : it->second;
    }
    std::shared_ptr<T> Remove(ULONG_PTR handle) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = objects_.find(handle);
        if (it == objects_.end()) return nullptr;
        auto object = std::move(it->second);
        objects_.erase(it);
        return object;
    }

private:
    std::mutex mutex_;
    std::unordered_map<ULONG_PTR, std::shared_ptr<T>> objects_;
    ULONG_PTR next_ = 0x10008;
};

HandleTable<Context>& Contexts();
HandleTable<Key>& Keys();
HandleTable<Hash>& Hashes();

// Copies a result in the CryptoAPI way: a null buffer asks for the size;
// a short buffer fails with ERROR_MORE_DATA and reports the size.
BOOL CopyOut(const void* data, DWORD length, BYTE* buffer, DWORD* bufferLength);

// Loads the pair (AT_KEYEXCHANGE or AT_SIGNATURE) into the context, from the store if needed.
// Returns null with the last error set when there is none.
std::shared_ptr<KeyPair> UserKeyPair(Context& context, DWORD keySpec);
// Stores (or, for an ephemeral context, keeps) a pair as the context's
// key of its kind (exchange or signature), replacing the previous one.
bool InstallKeyPair(Context& context, std::shared_ptr<KeyPair> pair);

// A new key handle on a pair of the context.
HCRYPTKEY AddPairKey(std::shared_ptr<Context> context, std::shared_ptr<KeyPair> pair);

bool IsSm2(const EVP_PKEY* pkey);
DWORD KeyBits(const EVP_PKEY* pkey);

}  // namespace tessera::crypt
