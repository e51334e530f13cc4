// tessera-certutil: a support tool for the Linux stores. Lists the
// providers, key containers, system stores and certificates, exports and
// deletes certificates, deletes key containers and prints where the
// databases are. It works through the same Windows API calls as the
// enrollment core. Plain text by default, --json for scripts.
#include <windows.h>
#include <wincrypt.h>

#include <tessera/platform_internal.h>

#include "store/Database.h"

#include "NssModule.h"

#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <vector>

// The key store provides these; the tool still runs (without providers and
// containers) in a build that lacks it.
#pragma weak CryptEnumProvidersW
#pragma weak CryptAcquireContextW
#pragma weak CryptReleaseContext
#pragma weak CryptGetProvParam
#pragma weak CryptGetUserKey
#pragma weak CryptGetKeyParam
#pragma weak CryptDestroyKey

namespace {

using tessera::ToUtf16;
using tessera::ToUtf8;
using Bytes = std::vector<BYTE>;

const DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

struct Options {
    bool json = false;
    bool yes = false;
    bool pem = false;
    bool oversize = false;
    std::string command;
    std::vector<std::string> args;
    std::string store;     // empty: every store
    std::string location;  // "user", "machine" or empty for both
    std::string provider;
    std::string out;
};

// ---- output ----------------------------------------------------------------------
std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buffer[8];
                std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
                out += buffer;
            } else {
                out.push_back(char(c));
            }
        }
    }
    return out + "\"";
}

// One record: ordered fields, printed as "key: value" lines or a JSON object.
struct Record {
    std::vector<std::pair<std::string, std::string>> fields;
    std::vector<bool> raw;  // value is already JSON (number, object, array)
    void Add(const std::string& key, const std::string& value, bool isRaw = false) {
        fields.emplace_back(key, value);
        raw.push_back(isRaw);
    }
    std::string Json() const {
        std::string out = "{";
        for (size_t i = 0; i < fields.size(); ++i) {
            if (i) out += ",";
            out += JsonString(fields[i].first) + ":" + (raw[i] ? fields[i].second : JsonString(fields[i].second));
        }
        return out + "}";
    }
    void Text(std::ostream& os) const {
        for (size_t i = 0; i < fields.size(); ++i) os << "  " << fields[i].first << ": " << fields[i].second << "\n";
    }
};

void Print(const Options& o, const std::string& title, const std::vector<Record>& records) {
    if (o.json) {
        std::cout << "[";
        for (size_t i = 0; i < records.size(); ++i) std::cout << (i ? "," : "") << records[i].Json();
        std::cout << "]\n";
        return;
    }
    std::cout << title << " (" << records.size() << ")\n";
    for (const Record& r : records) {
        r.Text(std::cout);
        std::cout << "\n";
    }
}

int Error(const Options& o, const std::string& message, DWORD code = 0) {
    if (o.json) {
        std::cout << "{\"error\":" << JsonString(message);
        if (code) std::cout << ",\"code\":" << code;
        std::cout << "}\n";
    } else {
        std::cerr << "tessera-certutil: " << message;
        if (code) {
            char buffer[16];
            std::snprintf(buffer, sizeof buffer, " (0x%08x)", unsigned(code));
            std::cerr << buffer;
        }
        std::cerr << "\n";
    }
    return 1;
}

std::string Hex(const BYTE* p, size_t n, bool reverse = false, bool upper = true) {
    static const char* lower = "0123456789abcdef";
    static const char* higher = "0123456789ABCDEF";
    const char* digits = upper ? higher : lower;
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        BYTE b = p[reverse ? n - 1 - i : i];
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

std::string Time(const FILETIME& ft) {
    SYSTEMTIME st{};
    if (!FileTimeToSystemTime(&ft, &st)) return "?";
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%04u-%02u-%02u %02u:%02u:%02u UTC", st.wYear, st.wMonth, st.wDay, st.wHour,
                  st.wMinute, st.wSecond);
    return buffer;
}

std::string Name(const CERT_NAME_BLOB& name) {
    DWORD type = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;
    DWORD n = CertNameToStrW(kEncoding, const_cast<CERT_NAME_BLOB*>(&name), type, nullptr, 0);
    std::u16string text(n, u'\0');
    CertNameToStrW(kEncoding, const_cast<CERT_NAME_BLOB*>(&name), type, text.data(), n);
    return ToUtf8(text.c_str());
}

Bytes Property(PCCERT_CONTEXT c, DWORD id) {
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(c, id, nullptr, &size)) return {};
    Bytes value(size);
    if (!CertGetCertificateContextProperty(c, id, value.data(), &size)) return {};
    value.resize(size);
    return value;
}

std::string Thumbprint(PCCERT_CONTEXT c) {
    Bytes h = Property(c, CERT_SHA1_HASH_PROP_ID);
    return Hex(h.data(), h.size());
}

std::string Upper(std::string s) {
    for (auto& c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// ---- stores ---------------------------------------------------------------------------
struct StoreRef {
    std::string location;  // "user" or "machine"
    std::string name;
    DWORD flag() const { return location == "machine" ? CERT_SYSTEM_STORE_LOCAL_MACHINE : CERT_SYSTEM_STORE_CURRENT_USER; }
};

std::vector<StoreRef> Stores(const Options& o) {
    std::vector<StoreRef> out;
    for (const char* location : {"user", "machine"}) {
        if (!o.location.empty() && o.location != location) continue;
        for (const char* name : {"MY", "CA", "ROOT"}) {
            if (!o.store.empty() && Upper(o.store) != name) continue;
            out.push_back(StoreRef{location, name});
        }
        if (!o.store.empty() && Upper(o.store) != "MY" && Upper(o.store) != "CA" && Upper(o.store) != "ROOT")
            out.push_back(StoreRef{location, o.store});
    }
    return out;
}

HCERTSTORE Open(const StoreRef& s) {
    std::u16string name = ToUtf16(s.name);
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0, s.flag() | CERT_STORE_NO_CRYPT_RELEASE_FLAG,
                         name.c_str());
}

// Whether the certificate is the store's own (a current user's ROOT and CA
// also show the local machine's certificates).
bool Own(const StoreRef& s, PCCERT_CONTEXT c) {
    if (s.location != "user" || (Upper(s.name) != "ROOT" && Upper(s.name) != "CA")) return true;
    StoreRef machine{"machine", s.name};
    HCERTSTORE m = Open(machine);
    if (!m) return true;
    bool inMachine = false;
    std::string thumb = Thumbprint(c);
    for (PCCERT_CONTEXT it = CertEnumCertificatesInStore(m, nullptr); it; it = CertEnumCertificatesInStore(m, it))
        if (Thumbprint(it) == thumb) inMachine = true;
    CertCloseStore(m, 0);
    return !inMachine;
}

Record Describe(const StoreRef& s, PCCERT_CONTEXT c, bool json) {
    Record r;
    const CERT_INFO* info = c->pCertInfo;
    r.Add("location", s.location);
    r.Add("store", s.name);
    r.Add("subject", Name(info->Subject));
    r.Add("issuer", Name(info->Issuer));
    r.Add("serial", Hex(info->SerialNumber.pbData, info->SerialNumber.cbData, true, false));
    r.Add("notBefore", Time(info->NotBefore));
    r.Add("notAfter", Time(info->NotAfter));
    r.Add("thumbprint", Thumbprint(c));
    DWORD size = 0;
    if (CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) {
        std::vector<ULONGLONG> buffer(size / 8 + 1);
        auto* kp = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buffer.data());
        if (CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, kp, &size)) {
            std::string container = kp->pwszContainerName ? ToUtf8(kp->pwszContainerName) : "";
            std::string provider = kp->pwszProvName ? ToUtf8(kp->pwszProvName) : "";
            if (json) {
                r.Add("keyProvider",
                      "{\"container\":" + JsonString(container) + ",\"provider\":" + JsonString(provider) +
                          ",\"providerType\":" + std::to_string(kp->dwProvType) +
                          ",\"keySpec\":" + std::to_string(kp->dwKeySpec) + "}",
                      true);
            } else {
                r.Add("keyProvider", provider + " / " + container + " (type " + std::to_string(kp->dwProvType) +
                                         ", KeySpec " + std::to_string(kp->dwKeySpec) + ")");
            }
        }
    } else {
        r.Add("keyProvider", json ? "null" : "(none)", json);
    }
    if (!Own(s, c)) r.Add("inheritedFrom", "machine");
    return r;
}

// The part of a page's certificate listing that the certificate itself
// brings: its subject and its serial number in hexadecimal. Installations
// refuse certificates that bring more than this (the enrollment core's
// VELA_MAX_LISTED_CERT_CHARACTERS); older ones may still be in the store.
constexpr size_t kMaxListedCharacters = 1024;

size_t ListedCharacters(PCCERT_CONTEXT c) {
    return ToUtf16(Name(c->pCertInfo->Subject)).size() + 2 * size_t(c->pCertInfo->SerialNumber.cbData);
}

bool Oversize(PCCERT_CONTEXT c) { return ListedCharacters(c) > kMaxListedCharacters; }

int ListCertificates(const Options& o) {
    std::vector<Record> records;
    for (const StoreRef& s : Stores(o)) {
        HCERTSTORE store = Open(s);
        if (!store) return Error(o, "cannot open store " + s.location + "\\" + s.name, GetLastError());
        for (PCCERT_CONTEXT it = CertEnumCertificatesInStore(store, nullptr); it;
             it = CertEnumCertificatesInStore(store, it)) {
            if (o.oversize && !Oversize(it)) continue;
            Record r = Describe(s, it, o.json);
            if (o.oversize) r.Add("listedCharacters", std::to_string(ListedCharacters(it)), true);
            records.push_back(r);
        }
        CertCloseStore(store, 0);
    }
    Print(o, "Certificates", records);
    return 0;
}

int ListStores(const Options& o) {
    std::vector<Record> records;
    for (const StoreRef& s : Stores(o)) {
        HCERTSTORE store = Open(s);
        int n = 0;
        if (store) {
            for (PCCERT_CONTEXT it = CertEnumCertificatesInStore(store, nullptr); it;
                 it = CertEnumCertificatesInStore(store, it))
                ++n;
            CertCloseStore(store, 0);
        }
        Record r;
        r.Add("location", s.location);
        r.Add("store", s.name);
        r.Add("certificates", std::to_string(n), true);
        records.push_back(r);
    }
    Print(o, "Stores", records);
    return 0;
}

// Finds a certificate by thumbprint; the caller frees the context and closes the store.
PCCERT_CONTEXT Find(const Options& o, const std::string& thumbprint, HCERTSTORE& store, StoreRef& where) {
    for (const StoreRef& s : Stores(o)) {
        store = Open(s);
        if (!store) continue;
        for (PCCERT_CONTEXT it = CertEnumCertificatesInStore(store, nullptr); it;
             it = CertEnumCertificatesInStore(store, it)) {
            if (Thumbprint(it) == Upper(thumbprint) && Own(s, it)) {
                where = s;
                return it;
            }
        }
        CertCloseStore(store, 0);
    }
    store = nullptr;
    return nullptr;
}

bool Confirm(const Options& o, const std::string& question) {
    if (o.yes) return true;
    std::cerr << question << " [y/N] ";
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    return answer == "y" || answer == "Y" || answer == "yes";
}

int ExportCertificate(const Options& o) {
    if (o.args.empty()) return Error(o, "export needs a thumbprint");
    HCERTSTORE store = nullptr;
    StoreRef where;
    PCCERT_CONTEXT c = Find(o, o.args[0], store, where);
    if (!c) return Error(o, "no certificate with thumbprint " + o.args[0]);
    std::string data(reinterpret_cast<const char*>(c->pbCertEncoded), c->cbCertEncoded);
    if (o.pem) {
        static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        std::string b64;
        for (size_t i = 0; i < data.size(); i += 3) {
            unsigned v = unsigned(BYTE(data[i])) << 16;
            if (i + 1 < data.size()) v |= unsigned(BYTE(data[i + 1])) << 8;
            if (i + 2 < data.size()) v |= BYTE(data[i + 2]);
            b64.push_back(alphabet[(v >> 18) & 63]);
            b64.push_back(alphabet[(v >> 12) & 63]);
            b64.push_back(i + 1 < data.size() ? alphabet[(v >> 6) & 63] : '=');
            b64.push_back(i + 2 < data.size() ? alphabet[v & 63] : '=');
        }
        std::string pem = "-----BEGIN CERTIFICATE-----\n";
        for (size_t i = 0; i < b64.size(); i += 64) pem += b64.substr(i, 64) + "\n";
        data = pem + "-----END CERTIFICATE-----\n";
    }
    CertFreeCertificateContext(c);
    CertCloseStore(store, 0);
    if (o.out.empty()) {
        if (!o.pem) return Error(o, "DER output needs --out FILE (or use --pem)");
        std::cout << data;
        return 0;
    }
    FILE* f = std::fopen(o.out.c_str(), "wb");
    if (!f || std::fwrite(data.data(), 1, data.size(), f) != data.size()) {
        if (f) std::fclose(f);
        return Error(o, "cannot write " + o.out);
    }
    std::fclose(f);
    if (o.json) std::cout << "{\"exported\":" << JsonString(o.out) << "}\n";
    else std::cout << "Exported to " << o.out << "\n";
    return 0;
}

int DeleteCertificate(const Options& o) {
    if (o.args.empty()) return Error(o, "delete-cert needs a thumbprint");
    HCERTSTORE store = nullptr;
    StoreRef where;
    PCCERT_CONTEXT c = Find(o, o.args[0], store, where);
    if (!c) return Error(o, "no certificate with thumbprint " + o.args[0]);
    std::string subject = Name(c->pCertInfo->Subject);
    if (!Confirm(o, "Delete \"" + subject + "\" from " + where.location + "\\" + where.name + "?")) {
        CertFreeCertificateContext(c);
        CertCloseStore(store, 0);
        return Error(o, "not confirmed; nothing deleted");
    }
    BOOL ok = CertDeleteCertificateFromStore(c);
    DWORD error = GetLastError();
    CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
    CertCloseStore(store, 0);
    if (!ok) return Error(o, "delete failed", error);
    if (o.json) std::cout << "{\"deleted\":" << JsonString(Upper(o.args[0])) << "}\n";
    else std::cout << "Deleted " << subject << "\n";
    return 0;
}

// Deletes every certificate of the user's "MY" store (or the stores chosen)
// that is too large for the listing pages read.
int PruneOversize(const Options& o) {
    Options scope = o;
    if (scope.location.empty()) scope.location = "user";
    if (scope.store.empty()) scope.store = "MY";
    size_t deleted = 0;
    for (const StoreRef& s : Stores(scope)) {
        HCERTSTORE store = Open(s);
        if (!store) return Error(o, "cannot open store " + s.location + "\\" + s.name, GetLastError());
        std::vector<PCCERT_CONTEXT> found;
        for (PCCERT_CONTEXT it = CertEnumCertificatesInStore(store, nullptr); it;
             it = CertEnumCertificatesInStore(store, it))
            if (Oversize(it) && Own(s, it)) found.push_back(CertDuplicateCertificateContext(it));
        bool confirmed = !found.empty() &&
                         Confirm(o, "Delete " + std::to_string(found.size()) + " certificate(s) longer than " +
                                        std::to_string(kMaxListedCharacters) + " characters from " + s.location +
                                        "\\" + s.name + "?");
        for (PCCERT_CONTEXT c : found) {
            if (confirmed && CertDeleteCertificateFromStore(c)) ++deleted;
            else if (!confirmed) CertFreeCertificateContext(c);
        }
        CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
        CertCloseStore(store, 0);
        if (!found.empty() && !confirmed) return Error(o, "not confirmed; nothing deleted");
    }
    if (o.json) std::cout << "{\"deleted\":" << deleted << "}\n";
    else std::cout << "Deleted " << deleted << " certificate(s)\n";
    return 0;
}

// ---- providers and containers ------------------------------------------------------------
struct Provider {
    std::string name;
    DWORD type;
};

std::vector<Provider> Providers() {
    std::vector<Provider> out;
    if (!&CryptEnumProvidersW) return out;
    for (DWORD i = 0;; ++i) {
        DWORD type = 0, size = 0;
        if (!CryptEnumProvidersW(i, nullptr, 0, &type, nullptr, &size)) {
            if (GetLastError() == ERROR_NO_MORE_ITEMS) break;
            continue;
        }
        std::u16string name(size / sizeof(WCHAR) + 1, u'\0');
        if (!CryptEnumProvidersW(i, nullptr, 0, &type, name.data(), &size)) continue;
        out.push_back(Provider{ToUtf8(name.c_str()), type});
    }
    return out;
}

int ListProviders(const Options& o) {
    if (!&CryptEnumProvidersW) return Error(o, "this build has no key store");
    std::vector<Record> records;
    for (const Provider& p : Providers()) {
        Record r;
        r.Add("name", p.name);
        r.Add("type", std::to_string(p.type), true);
        records.push_back(r);
    }
    Print(o, "Providers", records);
    return 0;
}

std::string AlgorithmName(ALG_ID id) {
    switch (id) {
    case CALG_RSA_KEYX: return "RSA (key exchange)";
    case CALG_RSA_SIGN: return "RSA (signature)";
    default: {
        char buffer[16];
        std::snprintf(buffer, sizeof buffer, "0x%04x", unsigned(id));
        return buffer;
    }
    }
}

int ListContainers(const Options& o) {
    if (!&CryptAcquireContextW || !&CryptGetProvParam) return Error(o, "this build has no key store");
    std::vector<Record> records;
    for (const Provider& p : Providers()) {
        if (!o.provider.empty() && o.provider != p.name) continue;
        std::u16string provider = ToUtf16(p.name);
        HCRYPTPROV h = 0;
        if (!CryptAcquireContextW(&h, nullptr, provider.c_str(), p.type, CRYPT_VERIFYCONTEXT)) continue;
        std::vector<std::string> names;
        std::vector<char> buffer(1024);
        DWORD flag = CRYPT_FIRST;
        for (;;) {
            DWORD size = DWORD(buffer.size());
            if (!CryptGetProvParam(h, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(buffer.data()), &size, flag)) {
                if (GetLastError() == ERROR_MORE_DATA && size >= buffer.size()) {
                    buffer.resize(size + 1);
                    continue;
                }
                break;
            }
            names.emplace_back(buffer.data(), strnlen(buffer.data(), size));
            flag = CRYPT_NEXT;
        }
        CryptReleaseContext(h, 0);
        for (const std::string& name : names) {
            Record r;
            r.Add("provider", p.name);
            r.Add("container", name);
            std::string keys;
            std::u16string wide = ToUtf16(name);
            HCRYPTPROV c = 0;
            if (CryptAcquireContextW(&c, wide.c_str(), provider.c_str(), p.type, CRYPT_SILENT)) {
                for (DWORD keySpec : {DWORD(AT_KEYEXCHANGE), DWORD(AT_SIGNATURE)}) {
                    HCRYPTKEY key = 0;
                    if (!CryptGetUserKey(c, keySpec, &key)) continue;
                    ALG_ID alg = 0;
                    DWORD bits = 0, size = sizeof alg;
                    CryptGetKeyParam(key, KP_ALGID, reinterpret_cast<BYTE*>(&alg), &size, 0);
                    size = sizeof bits;
                    CryptGetKeyParam(key, KP_KEYLEN, reinterpret_cast<BYTE*>(&bits), &size, 0);
                    CryptDestroyKey(key);
                    std::string label = keySpec == AT_KEYEXCHANGE ? "exchange" : "signature";
                    if (o.json) {
                        keys += std::string(keys.empty() ? "" : ",") + "{\"keySpec\":" + std::to_string(keySpec) +
                                ",\"use\":" + JsonString(label) + ",\"algorithm\":" + JsonString(AlgorithmName(alg)) +
                                ",\"bits\":" + std::to_string(bits) + "}";
                    } else {
                        keys += std::string(keys.empty() ? "" : "; ") + label + " key " + AlgorithmName(alg) + " " +
                                std::to_string(bits) + " bits";
                    }
                }
                CryptReleaseContext(c, 0);
            }
            if (o.json) r.Add("keys", "[" + keys + "]", true);
            else r.Add("keys", keys.empty() ? "(none)" : keys);
            records.push_back(r);
        }
    }
    Print(o, "Containers", records);
    return 0;
}

int DeleteContainer(const Options& o) {
    if (!&CryptAcquireContextW) return Error(o, "this build has no key store");
    if (o.args.empty() || o.provider.empty()) return Error(o, "delete-container needs a name and --provider NAME");
    DWORD type = 0;
    for (const Provider& p : Providers())
        if (p.name == o.provider) type = p.type;
    if (!type) return Error(o, "no provider named " + o.provider);
    if (!Confirm(o, "Delete key container \"" + o.args[0] + "\" of " + o.provider + "?"))
        return Error(o, "not confirmed; nothing deleted");
    std::u16string container = ToUtf16(o.args[0]), provider = ToUtf16(o.provider);
    HCRYPTPROV h = 0;
    if (!CryptAcquireContextW(&h, container.c_str(), provider.c_str(), type, CRYPT_DELETEKEYSET))
        return Error(o, "delete failed", GetLastError());
    if (o.json) std::cout << "{\"deleted\":" << JsonString(o.args[0]) << "}\n";
    else std::cout << "Deleted container " << o.args[0] << "\n";
    return 0;
}

int Paths(const Options& o) {
    using tessera::store::DatabasePath;
    using tessera::store::MachineScopeWritable;
    using tessera::store::Scope;
    std::vector<Record> records;
    Record user, machine;
    user.Add("scope", "user");
    user.Add("database", DatabasePath(Scope::User));
    machine.Add("scope", "machine");
    machine.Add("database", DatabasePath(Scope::Machine));
    machine.Add("keys", DatabasePath(Scope::MachineKeys));
    machine.Add("writable", MachineScopeWritable() ? "true" : "false", true);
    records = {user, machine};
    Print(o, "Databases", records);
    return 0;
}

void Usage() {
    std::cout << "usage: tessera-certutil [--json] COMMAND [ARGS]\n"
                 "  paths                            where the user and machine databases are\n"
                 "  providers                        installed cryptographic providers\n"
                 "  containers [--provider NAME]     key containers with their key types and algorithms\n"
                 "  stores [--location L] [--store S]    system stores and how many certificates they hold\n"
                 "  list [--location L] [--store S]  certificates: subject, issuer, serial, validity,\n"
                 "                                   thumbprint and key-provider link; --oversize: only\n"
                 "                                   those too large for the listing pages read\n"
                 "  prune-oversize [--location L] [--store S] [--yes]\n"
                 "                                   deletes those (default: the user's MY store)\n"
                 "  export THUMBPRINT [--pem] [--out FILE] [--location L] [--store S]\n"
                 "  delete-cert THUMBPRINT [--location L] [--store S] [--yes]\n"
                 "  delete-container NAME --provider NAME [--yes]\n"
                 "  nss-register [NSSDB [MODULE]]    adds the PKCS #11 module to an NSS database\n"
                 "                                   (default ~/.pki/nssdb, as Chromium uses)\n"
                 "  nss-unregister [NSSDB]           removes it again\n"
                 "L is user or machine; S is MY, CA, ROOT or another store name.\n"
                 "Deletions ask for confirmation on standard input unless --yes is given.\n";
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string& target) {
            if (i + 1 >= argc) return false;
            target = argv[++i];
            return true;
        };
        if (a == "--json") o.json = true;
        else if (a == "--yes" || a == "-y") o.yes = true;
        else if (a == "--pem") o.pem = true;
        else if (a == "--oversize") o.oversize = true;
        else if (a == "--store" && value(o.store)) continue;
        else if (a == "--location" && value(o.location)) continue;
        else if (a == "--provider" && value(o.provider)) continue;
        else if (a == "--out" && value(o.out)) continue;
        else if (a == "-h" || a == "--help") {
            Usage();
            return 0;
        } else if (!a.empty() && a[0] == '-') {
            Usage();
            return 2;
        } else if (o.command.empty()) o.command = a;
        else o.args.push_back(a);
    }
    if (!o.location.empty() && o.location != "user" && o.location != "machine") {
        Usage();
        return 2;
    }
    if (o.command == "paths") return Paths(o);
    if (o.command == "providers") return ListProviders(o);
    if (o.command == "containers") return ListContainers(o);
    if (o.command == "stores") return ListStores(o);
    if (o.command == "list") return ListCertificates(o);
    if (o.command == "export") return ExportCertificate(o);
    if (o.command == "delete-cert") return DeleteCertificate(o);
    if (o.command == "delete-container") return DeleteContainer(o);
    if (o.command == "prune-oversize") return PruneOversize(o);
    if (o.command == "nss-register") return RegisterNssModule(o.args);
    if (o.command == "nss-unregister") return UnregisterNssModule(o.args);
    Usage();
    return o.command.empty() ? 0 : 2;
}
