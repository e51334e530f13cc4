// Holders that release CryptoAPI handles on every path, and a byte buffer
// that wipes key material before it is freed.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <utility>
#include <vector>

// Provider context: CryptReleaseContext(h, 0) when it goes.
class ProviderHolder {
public:
    ProviderHolder() = default;
    explicit ProviderHolder(HCRYPTPROV h) : m_h(h) {}
    ~ProviderHolder() { Reset(); }
    ProviderHolder(ProviderHolder&& other) noexcept : m_h(std::exchange(other.m_h, 0)) {}
    ProviderHolder& operator=(ProviderHolder&& other) noexcept {
        if (this != &other) {
            Reset();
            m_h = std::exchange(other.m_h, 0);
        }
        return *this;
    }
    HCRYPTPROV Get() const { return m_h; }
    HCRYPTPROV* Out() {
        Reset();
        return &m_h;
    }
    HCRYPTPROV Release() { return std::exchange(m_h, 0); }
    void Reset() {
        if (m_h) CryptReleaseContext(std::exchange(m_h, 0), 0);
    }
    explicit operator bool() const { return m_h != 0; }

private:
    HCRYPTPROV m_h = 0;
};

// Key handle: CryptDestroyKey when it goes.
class KeyHolder {
public:
    KeyHolder() = default;
    ~KeyHolder() { Reset(); }
    KeyHolder(const KeyHolder&) = delete;
    KeyHolder& operator=(const KeyHolder&) = delete;
    HCRYPTKEY Get() const { return m_h; }
    HCRYPTKEY* Out() {
        Reset();
        return &m_h;
    }
    void Reset() {
        if (m_h) CryptDestroyKey(std::exchange(m_h, 0));
    }
    explicit operator bool() const { return m_h != 0; }

private:
    HCRYPTKEY m_h = 0;
};

// Hash object: CryptDestroyHash when it goes.
class HashHolder {
public:
    HashHolder() = default;
    ~HashHolder() {
        if (m_h) CryptDestroyHash(m_h);
    }
    HashHolder(const HashHolder&) = delete;
    HashHolder& operator=(const HashHolder&) = delete;
    HCRYPTHASH Get() const { return m_h; }
    HCRYPTHASH* Out() { return &m_h; }

private:
    HCRYPTHASH m_h = 0;
};

// Overwrites memory in a way the optimiser keeps.
inline void WipeMemory(void* p, size_t n) {
    volatile BYTE* b = static_cast<volatile BYTE*>(p);
    while (n--) *b++ = 0;
}

// Bytes of key material (session keys, private keys, private-key blobs):
// wiped when the holder goes.
class SecretBytes {
public:
    SecretBytes() = default;
    explicit SecretBytes(size_t n) : m_bytes(n) {}
    SecretBytes(const BYTE* p, size_t n) : m_bytes(p, p + n) {}
    ~SecretBytes() { Wipe(); }
    SecretBytes(SecretBytes&& other) noexcept : m_bytes(std::move(other.m_bytes)) {}
    SecretBytes& operator=(SecretBytes&& other) noexcept {
        if (this != &other) {
            Wipe();
            m_bytes = std::move(other.m_bytes);
        }
        return *this;
    }
    BYTE* Data() { return m_bytes.data(); }
    const BYTE* Data() const { return m_bytes.data(); }
    DWORD Size() const { return (DWORD)m_bytes.size(); }
    void Resize(size_t n) {
        if (n < m_bytes.size()) WipeMemory(m_bytes.data() + n, m_bytes.size() - n);
        m_bytes.resize(n);
    }

private:
    void Wipe() {
        if (!m_bytes.empty()) WipeMemory(m_bytes.data(), m_bytes.size());
    }
    std::vector<BYTE> m_bytes;
};
