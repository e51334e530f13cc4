// Test services for the setup tests: the embedded test data (certificates
// made by scripts/make-ca-chains.sh with the OpenSSL command line, and the
// chain documents), Base64, the trusted-root registry key and the "CA"
// and "ROOT" system stores.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

#include "Misc.h"

namespace setuptest {

using Bytes = std::vector<BYTE>;

// Contents of a file of tests/setup/data or of resources/chains (empty
// when there is none).
const Bytes& DataFile(const std::string& name);
std::string DataText(const std::string& name);

WString Wide(const std::string& text);
Bytes HexToBytes(const std::string& hex);
Bytes Base64Decode(const std::string& text);
// 76-character lines separated by CR LF.
std::string Base64Encode(const Bytes& data);
// Replaces the first occurrence; fails the test when absent.
std::string ReplaceOnce(std::string text, const std::string& from, const std::string& to);

// One registry certificate blob record.
Bytes BlobRecord(DWORD id, const Bytes& value, DWORD reserved = 1);

PCCERT_CONTEXT CreateCert(const Bytes& der);
std::string Thumbprint(const Bytes& der);

// What installing a document does: "root", "intermediate" and "expired"
// thumbprints as listed by the generator in chain-<id>.txt.
struct ChainExpectation {
    std::vector<std::string> roots, intermediates, expired;
};
ChainExpectation Expected(int nResourceId);

constexpr const char* kRootKey = "SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates";
bool ReadRootBlob(const std::string& thumbprint, Bytes& blob);
bool WriteRootBlob(const std::string& thumbprint, const Bytes& blob);
void DeleteRootKey(const std::string& thumbprint);

// System stores: location CERT_SYSTEM_STORE_LOCAL_MACHINE or _CURRENT_USER.
bool StoreHas(DWORD dwLocation, const char* pszStore, const std::string& thumbprint);
bool AddToStore(DWORD dwLocation, const char* pszStore, const Bytes& der);
void RemoveFromStore(DWORD dwLocation, const char* pszStore, const std::string& thumbprint);

// Whether the "ROOT" system store shows what is registered under kRootKey
// (not so under Wine).
bool RootStoreReadsRegistry();

// Removes every certificate and root key the tests may have left: the
// chains' roots and intermediates, the retired certificates and the
// look-alike.
void CleanMachine();
// Points the store layer at per-process test directories (where it has
// any) before the first store is opened.
void UseTestStores();

}  // namespace setuptest
