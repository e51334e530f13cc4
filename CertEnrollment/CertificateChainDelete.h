// Removal of retired CA certificates and the installation sequence that
// runs it before the embedded chains are installed. Retired intermediates
// are deleted from the "CA" stores of the local machine and of the current
// user, retired roots from the local machine's "CA" store and from the
// trusted-root registry key the chain installation writes to.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <cstddef>

#include "CertificateFilter.h"

// One row of a retired-certificate table. Intermediate rows have no
// thumbprint.
struct RetiredCertificate {
    const WCHAR* pwszIssuer;      // issuer text, most specific attribute first
    const WCHAR* pwszThumbprint;  // roots: SHA-1 thumbprint, the registry subkey name
    const WCHAR* pwszSerial;      // hexadecimal, most significant digit first
    const WCHAR* pwszSubject;     // subject text, same form as the issuer
};

// The compiled-in tables, in processing order.
const RetiredCertificate* RetiredRSACertificates(size_t& nCount);
const RetiredCertificate* RetiredSM2Certificates(size_t& nCount);

// dwLocation: CERT_SYSTEM_STORE_LOCAL_MACHINE or CERT_SYSTEM_STORE_CURRENT_USER.
HRESULT DeleteCertificateFromStore(DWORD dwLocation, const CertificateFilter* pstFilter);
HRESULT DeleteIntermediateCert(const WCHAR* pwszIssuer, const WCHAR* pwszSerial, const WCHAR* pwszSubject);
HRESULT DeleteTrustedRootCert(const WCHAR* pwszIssuer, const WCHAR* pwszThumbprint, const WCHAR* pwszSerial,
                              const WCHAR* pwszSubject);
// Deletes one subkey of HKLM\SOFTWARE\Microsoft\SystemCertificates\ROOT\Certificates.
HRESULT DeleteRegistryKey(const WCHAR* pwszSubKey);
// Run one table (rows logged with their position); always VELA_OK.
HRESULT DeleteRetiredCertificates(const RetiredCertificate* pstRows, size_t nCount);
HRESULT DeleteRSADiscardCert();
HRESULT DeleteSM2DiscardCert();

// The installation sequences. Each step is logged and never stops the
// next. The host's installation mode initialises COM around its call; the
// plug-in's caller has initialised COM.
void RunInstallationSequenceForHost();    // removal, then documents 208 and 210
void RunInstallationSequenceForPlugin();  // removal, then documents 208, 210, 209 and 211
