// Certificate and provider information: the two listing texts pages read
// (installed CSPs, the user's certificates with a private key) and the
// certificate-attribute accessors with their dispatcher.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include "Misc.h"

// Query identifiers of QueryCertContextInfo.
enum : DWORD {
    QUERYID_SUBJECT_FULL = 1,
    QUERYID_SUBJECT_SIMPLE = 2,
    QUERYID_ISSUER = 3,
    QUERYID_SERIALNUMBER = 4,
    QUERYID_PROVIDERNAME = 5,
    QUERYID_TODATE = 6,
    QUERYID_FROMDATE = 7,
    QUERYID_SUBJECTKEYID = 8,
    QUERYID_KEYUSAGE = 9,
    QUERYID_CONTAINERNAME = 10,
    QUERYID_CN = 11,
};

// The names of all installed CSPs joined by "||".
HRESULT GetAllCSPName(WideBuffer& pwszAllCSPName);

// One record per certificate of the store that names a key provider,
// records joined by "||"; a record is subject;serial;from;to;provider.
HRESULT GetAllCertificatesInfoinStore(WString& wstrCertInfo, HCERTSTORE hCertStore);
HRESULT GetCertificateInfo(WString& wstrRecord, PCCERT_CONTEXT pstCertContext);

// Largest part of a listing record that a certificate itself brings, its
// full subject and its serial number in hexadecimal (no real certificate
// comes near it). A certificate that brings more is not installed, so that
// installations cannot grow the listing past what a page can be answered.
constexpr DWORD VELA_MAX_LISTED_CERT_CHARACTERS = 1024;
// NTE_BAD_DATA for a certificate over that bound; VELA_OK for any other
// data, also data that are no certificate (installing them fails later).
HRESULT CheckListedCertificateSize(const BYTE* pbCert, DWORD dwCertLength);
// The key-provider property (a CRYPT_KEY_PROV_INFO) in a new buffer.
HRESULT GetCertificateContextProperty(PCCERT_CONTEXT pstCertContext, ByteBuffer& pbProperty, DWORD& dwSize);
// "YYYY-MM-DD hh:mm:ss".
HRESULT GetTimeString(const SYSTEMTIME* pstSysTime, WString& wstrTime);
// Converts a UTC system time to local time in place.
HRESULT ConvertUTCtimetoLocalTime(SYSTEMTIME* pstSysTime);

// Dispatches to the accessor of the query. Texts come back as new UTF-16
// buffers (pbResult) whose length counts characters; the serial number,
// key identifier and dates as bytes. For QUERYID_TODATE and
// QUERYID_FROMDATE the caller passes a SYSTEMTIME in pvOut, for
// QUERYID_KEYUSAGE a DWORD.
HRESULT QueryCertContextInfo(PCCERT_CONTEXT pstCertContext, DWORD dwQueryID, ByteBuffer* pbResult, DWORD& dwLength,
                             void* pvOut = nullptr);

// The accessors. Text results are NUL-terminated; the lengths of
// GetCertSubject, GetCertIssuer and GetCertCN count the terminator.
HRESULT GetCertSubject(PCCERT_CONTEXT pstCertContext, DWORD dwForm, WideBuffer& pwszSubject, DWORD& dwLength);
HRESULT GetCertIssuer(PCCERT_CONTEXT pstCertContext, WideBuffer& pwszIssuer, DWORD& dwLength);
HRESULT GetCertCN(PCCERT_CONTEXT pstCertContext, WideBuffer& pwszCN, DWORD& dwLength);
// Serial bytes least significant first, as the platform holds them.
HRESULT GetCertSerialNumber(PCCERT_CONTEXT pstCertContext, ByteBuffer& pbSerial, DWORD& dwLength);
// The first byte of the key-usage bit string.
HRESULT GetCertKeyUsage(PCCERT_CONTEXT pstCertContext, DWORD& dwKeyUsage);
// With no output buffer only tests whether the extension is present.
HRESULT GetCertSubjectKeyID(PCCERT_CONTEXT pstCertContext, ByteBuffer* pbKeyID, DWORD& dwLength);
HRESULT GetCertProviderName(PCCERT_CONTEXT pstCertContext, WideBuffer& pwszName, DWORD& dwLength);
HRESULT GetCertContainerName(PCCERT_CONTEXT pstCertContext, WideBuffer& pwszName, DWORD& dwLength);
HRESULT GetCertToDate(PCCERT_CONTEXT pstCertContext, SYSTEMTIME& stTime);
HRESULT GetCertFromDate(PCCERT_CONTEXT pstCertContext, SYSTEMTIME& stTime);
