// Certificate selection: a filter record, the list of certificate
// references it is applied to, and one check per criterion. A certificate
// is selected when it passes every criterion the record sets; a criterion
// that cannot be evaluated (the certificate lacks the value) excludes the
// certificate like a mismatch and never ends the selection.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <vector>

#include "Misc.h"

// A null pointer or zero leaves a criterion unset. The record and what it
// points to belong to the caller.
struct CertificateFilter {
    const WCHAR* subjectFilters;     // "#"-separated alternatives, substring of the subject
    const WCHAR* issuerFilters;      // "#"-separated alternatives, substring of the issuer
    const WCHAR* cspNameFilters;     // "||"-separated alternatives, substring of the key's CSP name
    const BYTE* subjectKeyId;        // raw key identifier
    const BYTE* serialNumber;        // raw serial, least significant byte first
    DWORD keyUsage;                  // at least one of these key-usage bits must be present
    int requirePrivateKey;           // only 1 sets it
    const char* signatureAlgorithm;  // dotted OID prefix of the signature algorithm
    const FILETIME* validAt;         // UTC instant the certificate must be valid at
    // Number of bytes that subjectKeyId and serialNumber reach. The checks
    // never read beyond them; serial bytes past serialNumberLength count as
    // the four zero bytes ConvertStringToBinaryData appends.
    DWORD subjectKeyIdLength;
    DWORD serialNumberLength;
};

using FilterList = std::vector<WString>;

// An ordered list of certificate references, each owned by the list.
class CertificateList {
public:
    CertificateList() = default;
    ~CertificateList() { Free(); }
    CertificateList(const CertificateList&) = delete;
    CertificateList& operator=(const CertificateList&) = delete;

    // Takes over one reference.
    void Append(PCCERT_CONTEXT pstCertContext) { m_items.push_back(pstCertContext); }
    // Releases every reference and empties the list.
    void Free();
    size_t Size() const { return m_items.size(); }
    bool Empty() const { return m_items.empty(); }
    PCCERT_CONTEXT operator[](size_t index) const { return m_items[index]; }
    // The references themselves (still owned by the list).
    const std::vector<PCCERT_CONTEXT>& Items() const { return m_items; }

private:
    std::vector<PCCERT_CONTEXT> m_items;
};

// Splits a "#"-separated text into alternatives (each cut to 255
// characters), appending to the list; a null text appends nothing.
void ParseFilters(const WCHAR* pwszFilters, FilterList& filterList);

// Appends a new reference to every certificate of an open store.
HRESULT ExtractCertificatesFromStore(HCERTSTORE hCertStore, CertificateList& certList);

// Appends new references to the certificates of the input that pass the
// record (null: every certificate passes). The input references stay owned
// by the caller. On failure the output list is emptied.
HRESULT FilterCertificates(const CertificateFilter* pstFilter, CertificateList& outList,
                           std::vector<PCCERT_CONTEXT> inputList);

// Criterion checks: VELA_OK when the certificate passes.
HRESULT CheckCertSubjectName(PCCERT_CONTEXT pstCertContext, DWORD dwNameForm, const FilterList& filterList);
HRESULT CheckCertIssuer(PCCERT_CONTEXT pstCertContext, const FilterList& filterList);
HRESULT CheckCertKeyUsage(DWORD dwKeyUsage, PCCERT_CONTEXT pstCertContext);
HRESULT CheckCertSubjectKeyID(const BYTE* pbSubjectKeyId, DWORD dwFilterLength, PCCERT_CONTEXT pstCertContext);
HRESULT CheckCertSerialNumber(PCCERT_CONTEXT pstCertContext, const BYTE* pbSerialNumber, DWORD dwFilterLength);
HRESULT CheckCertTimeValidity(const FILETIME* pstTime, PCCERT_CONTEXT pstCertContext);
HRESULT CheckCertSignatureAlg(const char* pszAlgorithmOid, PCCERT_CONTEXT pstCertContext);
HRESULT CheckCSPName(PCCERT_CONTEXT pstCertContext, const FilterList& filterList);
