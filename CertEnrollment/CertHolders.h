// Holders that release certificate-service handles on every path.
#pragma once
#include <windows.h>
#include <wincrypt.h>

// Certificate store: CertCloseStore(h, 0) when it goes.
class StoreHolder {
public:
    StoreHolder() = default;
    explicit StoreHolder(HCERTSTORE h) : m_h(h) {}
    ~StoreHolder() {
        if (m_h) CertCloseStore(m_h, 0);
    }
    StoreHolder(const StoreHolder&) = delete;
    StoreHolder& operator=(const StoreHolder&) = delete;
    HCERTSTORE Get() const { return m_h; }
    explicit operator bool() const { return m_h != nullptr; }

private:
    HCERTSTORE m_h = nullptr;
};

// Certificate context: CertFreeCertificateContext when it goes.
class CertContextHolder {
public:
    CertContextHolder() = default;
    explicit CertContextHolder(PCCERT_CONTEXT p) : m_p(p) {}
    ~CertContextHolder() {
        if (m_p) CertFreeCertificateContext(m_p);
    }
    CertContextHolder(const CertContextHolder&) = delete;
    CertContextHolder& operator=(const CertContextHolder&) = delete;
    PCCERT_CONTEXT Get() const { return m_p; }
    PCCERT_CONTEXT* Out() { return &m_p; }
    explicit operator bool() const { return m_p != nullptr; }

private:
    PCCERT_CONTEXT m_p = nullptr;
};
