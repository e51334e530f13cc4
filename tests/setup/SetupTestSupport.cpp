#include "SetupTestSupport.h"

#include <winreg.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <sstream>

#include "TestPlatform.h"

struct TesseraEmbeddedFile {
    const char* name;
    const unsigned char* data;
    size_t size;
};
const TesseraEmbeddedFile* TesseraEmbeddedFiles(size_t* count);

namespace setuptest {

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

WString RootSubkey(const std::string& thumbprint) { return Wide(std::string(kRootKey) + "\\" + thumbprint); }

HCERTSTORE OpenSystemStore(DWORD dwLocation, const char* pszStore) {
    WString name = Wide(pszStore);
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0, dwLocation, name.c_str());
}

std::string ContextThumbprint(PCCERT_CONTEXT context) {
    BYTE hash[20] = {};
    DWORD size = sizeof hash;
    if (!CertGetCertificateContextProperty(context, CERT_SHA1_HASH_PROP_ID, hash, &size)) return std::string();
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (DWORD i = 0; i < size; ++i) {
        out += digits[hash[i] >> 4];
        out += digits[hash[i] & 15];
    }
    return out;
}

}  // namespace

const Bytes& DataFile(const std::string& name) {
    static std::map<std::string, Bytes> files;
    if (files.empty()) {
        size_t count = 0;
        const TesseraEmbeddedFile* table = TesseraEmbeddedFiles(&count);
        for (size_t i = 0; i < count; ++i) files[table[i].name] = Bytes(table[i].data, table[i].data + table[i].size);
    }
    static const Bytes none;
    auto it = files.find(name);
    EXPECT_TRUE(it != files.end()) << "no test data file " << name;
    return it == files.end() ? none : it->second;
}

std::string DataText(const std::string& name) {
    const Bytes& bytes = DataFile(name);
    return std::string(bytes.begin(), bytes.end());
}

WString Wide(const std::string& text) {
    WString out;
    for (unsigned char c : text) out.push_back((WCHAR)c);  // the test texts are ASCII
    return out;
}

Bytes HexToBytes(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back((BYTE)std::stoul(hex.substr(i, 2), nullptr, 16));
    return out;
}

Bytes Base64Decode(const std::string& text) {
    Bytes out;
    unsigned value = 0;
    int bits = 0;
    for (char c : text) {
        const char* p = c ? std::strchr(kAlphabet, c) : nullptr;
        if (!p) continue;
        value = (value << 6) | unsigned(p - kAlphabet);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(BYTE((value >> bits) & 0xFF));
        }
    }
    return out;
}

std::string Base64Encode(const Bytes& data) {
    std::string flat;
    for (size_t i = 0; i < data.size(); i += 3) {
        unsigned n = unsigned(data[i]) << 16;
        if (i + 1 < data.size()) n |= unsigned(data[i + 1]) << 8;
        if (i + 2 < data.size()) n |= data[i + 2];
        flat += kAlphabet[(n >> 18) & 63];
        flat += kAlphabet[(n >> 12) & 63];
        flat += i + 1 < data.size() ? kAlphabet[(n >> 6) & 63] : '=';
        flat += i + 2 < data.size() ? kAlphabet[n & 63] : '=';
    }
    std::string out;
    for (size_t i = 0; i < flat.size(); i += 76) {
        out += flat.substr(i, 76);
        out += "\r\n";
    }
    return out;
}

std::string ReplaceOnce(std::string text, const std::string& from, const std::string& to) {
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << "missing: " << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

Bytes BlobRecord(DWORD id, const Bytes& value, DWORD reserved) {
    Bytes out;
    auto put = [&out](DWORD v) {
        for (int i = 0; i < 4; ++i) out.push_back(BYTE(v >> (8 * i)));
    };
    put(id);
    put(reserved);
    put((DWORD)value.size());
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

PCCERT_CONTEXT CreateCert(const Bytes& der) {
    return CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), (DWORD)der.size());
}

std::string Thumbprint(const Bytes& der) {
    PCCERT_CONTEXT context = CreateCert(der);
    if (!context) return std::string();
    std::string out = ContextThumbprint(context);
    CertFreeCertificateContext(context);
    return out;
}

ChainExpectation Expected(int nResourceId) {
    ChainExpectation out;
    std::istringstream lines(DataText("chain-" + std::to_string(nResourceId) + ".txt"));
    std::string kind, thumbprint;
    while (lines >> kind >> thumbprint) {
        if (kind == "root") out.roots.push_back(thumbprint);
        if (kind == "intermediate") out.intermediates.push_back(thumbprint);
        if (kind == "expired") out.expired.push_back(thumbprint);
    }
    return out;
}

bool ReadRootBlob(const std::string& thumbprint, Bytes& blob) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, RootSubkey(thumbprint).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    DWORD type = 0, size = 0;
    bool ok = RegQueryValueExW(key, TEXT("Blob"), nullptr, &type, nullptr, &size) == ERROR_SUCCESS;
    if (ok) {
        blob.assign(size, 0);
        ok = RegQueryValueExW(key, TEXT("Blob"), nullptr, &type, blob.data(), &size) == ERROR_SUCCESS &&
             type == REG_BINARY;
        blob.resize(size);
    }
    RegCloseKey(key);
    return ok;
}

bool WriteRootBlob(const std::string& thumbprint, const Bytes& blob) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, RootSubkey(thumbprint).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return false;
    bool ok = RegSetValueExW(key, TEXT("Blob"), 0, REG_BINARY, blob.data(), (DWORD)blob.size()) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

void DeleteRootKey(const std::string& thumbprint) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(kRootKey).c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
    RegDeleteKeyW(key, Wide(thumbprint).c_str());
    RegCloseKey(key);
}

bool StoreHas(DWORD dwLocation, const char* pszStore, const std::string& thumbprint) {
    HCERTSTORE store = OpenSystemStore(dwLocation, pszStore);
    if (!store) return false;
    bool found = false;
    PCCERT_CONTEXT context = nullptr;
    while (!found && (context = CertEnumCertificatesInStore(store, context)) != nullptr)
        found = ContextThumbprint(context) == thumbprint;
    if (context) CertFreeCertificateContext(context);
    CertCloseStore(store, 0);
    return found;
}

bool AddToStore(DWORD dwLocation, const char* pszStore, const Bytes& der) {
    HCERTSTORE store = OpenSystemStore(dwLocation, pszStore);
    if (!store) return false;
    bool ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), (DWORD)der.size(),
                                               CERT_STORE_ADD_REPLACE_EXISTING, nullptr) != FALSE;
    CertCloseStore(store, 0);
    return ok;
}

void RemoveFromStore(DWORD dwLocation, const char* pszStore, const std::string& thumbprint) {
    HCERTSTORE store = OpenSystemStore(dwLocation, pszStore);
    if (!store) return;
    std::vector<PCCERT_CONTEXT> doomed;
    PCCERT_CONTEXT context = nullptr;
    while ((context = CertEnumCertificatesInStore(store, context)) != nullptr)
        if (ContextThumbprint(context) == thumbprint) doomed.push_back(CertDuplicateCertificateContext(context));
    for (PCCERT_CONTEXT item : doomed) CertDeleteCertificateFromStore(item);
    CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
    CertCloseStore(store, 0);
}

void CleanMachine() {
    std::vector<std::string> thumbprints;
    for (int id = 208; id <= 211; ++id) {
        ChainExpectation e = Expected(id);
        for (auto* list : {&e.roots, &e.intermediates, &e.expired})
            thumbprints.insert(thumbprints.end(), list->begin(), list->end());
    }
    size_t count = 0;
    const TesseraEmbeddedFile* table = TesseraEmbeddedFiles(&count);
    for (size_t i = 0; i < count; ++i) {
        std::string name = table[i].name;
        if (name.size() > 4 && name.substr(name.size() - 4) == ".der")
            thumbprints.push_back(Thumbprint(Bytes(table[i].data, table[i].data + table[i].size)));
    }
    // One pass over each store instead of one per certificate.
    for (DWORD location : {(DWORD)CERT_SYSTEM_STORE_LOCAL_MACHINE, (DWORD)CERT_SYSTEM_STORE_CURRENT_USER}) {
        HCERTSTORE store = OpenSystemStore(location, "CA");
        if (!store) continue;
        std::vector<PCCERT_CONTEXT> doomed;
        PCCERT_CONTEXT context = nullptr;
        while ((context = CertEnumCertificatesInStore(store, context)) != nullptr) {
            std::string t = ContextThumbprint(context);
            for (const std::string& known : thumbprints)
                if (t == known) {
                    doomed.push_back(CertDuplicateCertificateContext(context));
                    break;
                }
        }
        for (PCCERT_CONTEXT item : doomed) CertDeleteCertificateFromStore(item);
        CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
        CertCloseStore(store, 0);
    }
    for (const std::string& t : thumbprints) DeleteRootKey(t);
}

void UseTestStores() {
    static bool done = false;
    if (done) return;
    done = true;
    std::string machine = testsupport::MakeTemporaryDirectory();
    std::string user = testsupport::MakeTemporaryDirectory();
    testsupport::SetEnvironment("TESSERA_MACHINE_STORE_DIR", machine.c_str());
    testsupport::SetEnvironment("TESSERA_STORE_DIR", user.c_str());
    // Present on every Windows installation, not in a fresh Wine prefix or
    // an empty test store.
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, Wide(kRootKey).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) == ERROR_SUCCESS)
        RegCloseKey(key);
}

}  // namespace setuptest
