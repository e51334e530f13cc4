// Linux-only behaviour of the store layer: where the databases are, the
// machine right, the key store's entry point and concurrent processes. The
// program's databases live in fresh temporary directories.
#include <windows.h>
#include <wincrypt.h>

#include <tessera/store_internal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ftw.h>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "StoreTestData.h"

namespace {

std::string MakeTempDir() {
    char pattern[] = "/tmp/tessera-stores-XXXXXX";
    const char* dir = mkdtemp(pattern);
    return dir ? dir : "/tmp";
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

struct TempDirs {
    std::string root = MakeTempDir();
    TempDirs() {
        setenv("TESSERA_STORE_DIR", (root + "/user").c_str(), 1);
        setenv("TESSERA_MACHINE_STORE_DIR", (root + "/machine").c_str(), 1);
        unsetenv("TESSERA_MACHINE_STORE_READONLY");
    }
    ~TempDirs() { nftw(root.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }
};
// Set before any test opens a database.
TempDirs g_dirs;

const testdata::CertFacts& Facts(const char* name) {
    for (const auto& c : testdata::kCerts)
        if (std::strcmp(c.name, name) == 0) return c;
    throw std::runtime_error(name);
}

const DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

int Count(DWORD location, const WCHAR* name) {
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0, location, name);
    if (!store) return -1;
    int n = 0;
    for (PCCERT_CONTEXT it = CertEnumCertificatesInStore(store, nullptr); it;
         it = CertEnumCertificatesInStore(store, it))
        ++n;
    CertCloseStore(store, 0);
    return n;
}

struct ReadOnlyMachine {
    ReadOnlyMachine() { setenv("TESSERA_MACHINE_STORE_READONLY", "1", 1); }
    ~ReadOnlyMachine() { unsetenv("TESSERA_MACHINE_STORE_READONLY"); }
};

TEST(LinuxCertificateContext, MalformedEncodingsAreRejected) {
    const auto& leaf = Facts("leaf");
    std::vector<BYTE> good(leaf.der, leaf.der + leaf.length);
    struct Case {
        const char* what;
        size_t offset;  // byte changed, or SIZE_MAX to append one
        BYTE value;
    } cases[] = {
        {"trailing byte", SIZE_MAX, 0x00},
        {"outer tag", 0, 0x31},
        {"inner tag", 4, 0x31},
        {"version tag", 8, 0xA1},
    };
    for (const Case& c : cases) {
        std::vector<BYTE> bad = good;
        if (c.offset == SIZE_MAX) bad.push_back(c.value);
        else bad[c.offset] = c.value;
        SetLastError(0);
        EXPECT_EQ(CertCreateCertificateContext(X509_ASN_ENCODING, bad.data(), DWORD(bad.size())), nullptr) << c.what;
        EXPECT_NE(GetLastError(), 0u) << c.what;
    }
    PCCERT_CONTEXT ok = CertCreateCertificateContext(X509_ASN_ENCODING, good.data(), DWORD(good.size()));
    EXPECT_NE(ok, nullptr);
    CertFreeCertificateContext(ok);
}

// Enumeration continues from the previous certificate's place in the store,
// also when that certificate was deleted or replaced meanwhile.
TEST(LinuxCertificateStore, EnumerationVisitsEachElementOnceAcrossChanges) {
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    ASSERT_TRUE(store);
    for (const auto& c : testdata::kCerts)
        ASSERT_TRUE(CertAddEncodedCertificateToStore(store, kEncoding, c.der, DWORD(c.length), CERT_STORE_ADD_NEW,
                                                     nullptr));
    const size_t total = std::size(testdata::kCerts);
    std::vector<std::string> visited;
    size_t i = 0;
    for (PCCERT_CONTEXT it = CertEnumCertificatesInStore(store, nullptr); it;
         it = CertEnumCertificatesInStore(store, it), ++i) {
        visited.emplace_back(reinterpret_cast<const char*>(it->pbCertEncoded), it->cbCertEncoded);
        if (i % 3 == 0) CertDeleteCertificateFromStore(CertDuplicateCertificateContext(it));
        // A replaced element goes to the end and is met again there, once.
        if (i % 3 == 1 && i < total)
            CertAddEncodedCertificateToStore(store, kEncoding, it->pbCertEncoded, it->cbCertEncoded,
                                             CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    }
    const size_t replaced = (total + 1) / 3;
    EXPECT_EQ(visited.size(), total + replaced);
    std::sort(visited.begin(), visited.end());
    EXPECT_EQ(std::unique(visited.begin(), visited.end()) - visited.begin(), std::ptrdiff_t(total));

    CertCloseStore(store, 0);
}

TEST(MachineScope, WithoutTheRightNothingIsWritten) {
    const auto& ca = Facts("ca");
    const WCHAR* certificates = u"SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates";
    const int before = Count(CERT_SYSTEM_STORE_LOCAL_MACHINE, u"CA");
    {
        ReadOnlyMachine readOnly;
        HKEY key = nullptr;
        // Reading stays possible; every way of writing is refused.
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, certificates, 0, KEY_READ, &key), ERROR_SUCCESS);
        RegCloseKey(key);
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, certificates, 0, KEY_ALL_ACCESS, &key), ERROR_ACCESS_DENIED);
        EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\TesseraDenied", 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
                  ERROR_ACCESS_DENIED);
        EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\SystemCertificates\\CA\\Certificates\\X"),
                  ERROR_FILE_NOT_FOUND);

        HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, u"CA");
        ASSERT_NE(store, nullptr);
        SetLastError(0);
        EXPECT_FALSE(CertAddEncodedCertificateToStore(store, kEncoding, ca.der, DWORD(ca.length), CERT_STORE_ADD_NEW,
                                                      nullptr));
        EXPECT_EQ(HRESULT_FROM_WIN32(GetLastError()), E_ACCESSDENIED);
        CertCloseStore(store, 0);
        EXPECT_EQ(Count(CERT_SYSTEM_STORE_LOCAL_MACHINE, u"CA"), before);
    }
    // With the right the same calls succeed, and a deletion without it fails.
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, u"CA");
    PCCERT_CONTEXT added = nullptr;
    ASSERT_TRUE(CertAddEncodedCertificateToStore(store, kEncoding, ca.der, DWORD(ca.length), CERT_STORE_ADD_NEW,
                                                 &added));
    {
        ReadOnlyMachine readOnly;
        EXPECT_FALSE(CertDeleteCertificateFromStore(CertDuplicateCertificateContext(added)));
        EXPECT_EQ(HRESULT_FROM_WIN32(GetLastError()), E_ACCESSDENIED);
    }
    EXPECT_EQ(Count(CERT_SYSTEM_STORE_LOCAL_MACHINE, u"CA"), before + 1);
    EXPECT_TRUE(CertDeleteCertificateFromStore(added));
    CertCloseStore(store, 0);
    EXPECT_EQ(Count(CERT_SYSTEM_STORE_LOCAL_MACHINE, u"CA"), before);
}

TEST(RootRoute, EntryUnderAnotherNameIsDeletedWhereItWasRead) {
    const auto& root = Facts("root");
    std::vector<BYTE> blob;
    DWORD header[3] = {32, 1, DWORD(root.length)};
    blob.insert(blob.end(), reinterpret_cast<BYTE*>(header), reinterpret_cast<BYTE*>(header) + sizeof header);
    blob.insert(blob.end(), root.der, root.der + root.length);
    const WCHAR* entry = u"SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates\\NotTheThumbprint";
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, entry, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, u"Blob", 0, REG_BINARY, blob.data(), DWORD(blob.size())), ERROR_SUCCESS);
    RegCloseKey(key);
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, u"ROOT");
    PCCERT_CONTEXT found = CertEnumCertificatesInStore(store, nullptr);
    ASSERT_NE(found, nullptr);
    EXPECT_TRUE(CertDeleteCertificateFromStore(CertDuplicateCertificateContext(found)));
    CertFreeCertificateContext(found);
    CertCloseStore(store, 0);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, entry, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Count(CERT_SYSTEM_STORE_LOCAL_MACHINE, u"ROOT"), 0);
}

TEST(MachineScope, DatabasesAreWhereTheEnvironmentSays) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\TesseraLocation", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\TesseraLocation", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    struct stat st {};
    // The machine's database is readable by every user and writable by its owner only;
    // the user's is the user's alone.
    ASSERT_EQ(stat((g_dirs.root + "/machine/machine.db").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    ASSERT_EQ(stat((g_dirs.root + "/user/tessera.db").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0u);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\TesseraLocation"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"Software\\TesseraLocation"), ERROR_SUCCESS);
}

TEST(LinuxRegistry, BuiltInKeysAndBadHandles) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Microsoft\\SystemCertificates\\MY\\Certificates", 0,
                            KEY_READ, &key),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates"),
              ERROR_ACCESS_DENIED);
    int notAKey = 0;
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(&notAKey)), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegSetValueExW(reinterpret_cast<HKEY>(&notAKey), u"x", 0, REG_DWORD, nullptr, 0),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, u"x", 0, REG_DWORD, nullptr, 0), ERROR_ACCESS_DENIED);
    RegCloseKey(key);
}

TEST(KeyStoreEntry, AddsLinkedCertificateToPersonalStore) {
    const auto& leaf = Facts("leaf");
    ASSERT_TRUE(TesseraStoreAddLinkedCertificate(leaf.der, DWORD(leaf.length), u"sm2-container", u"Tessera SM2 CSP",
                                                 1, AT_SIGNATURE));
    // Again: replaced, not duplicated, and linked to the container given last.
    ASSERT_TRUE(TesseraStoreAddLinkedCertificate(leaf.der, DWORD(leaf.length), u"sm2-container-2", u"Tessera SM2 CSP",
                                                 1, AT_KEYEXCHANGE));
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"MY");
    int found = 0;
    for (PCCERT_CONTEXT it = CertEnumCertificatesInStore(store, nullptr); it;
         it = CertEnumCertificatesInStore(store, it)) {
        if (it->cbCertEncoded != leaf.length || std::memcmp(it->pbCertEncoded, leaf.der, leaf.length) != 0) continue;
        ++found;
        DWORD size = 0;
        ASSERT_TRUE(CertGetCertificateContextProperty(it, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size));
        std::vector<ULONGLONG> buffer(size / 8 + 1);
        ASSERT_TRUE(CertGetCertificateContextProperty(it, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size));
        auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buffer.data());
        EXPECT_EQ(std::u16string(info->pwszContainerName), u"sm2-container-2");
        EXPECT_EQ(info->dwKeySpec, DWORD(AT_KEYEXCHANGE));
        EXPECT_TRUE(CertDeleteCertificateFromStore(CertDuplicateCertificateContext(it)));
    }
    CertCloseStore(store, 0);
    EXPECT_EQ(found, 1);

    BYTE notACertificate[] = {1, 2, 3};
    SetLastError(0);
    EXPECT_FALSE(TesseraStoreAddLinkedCertificate(notACertificate, 3, u"c", u"p", 1, 1));
    EXPECT_NE(GetLastError(), 0u);
}

TEST(Concurrency, ProcessesWritingAtOnceLoseNothing) {
    // Children open their own connections to a fresh directory.
    const std::string dir = g_dirs.root + "/concurrent";
    const std::string previous = std::getenv("TESSERA_STORE_DIR");
    const int children = 4, values = 25;
    const auto& certs = testdata::kCerts;
    std::vector<pid_t> pids;
    for (int c = 0; c < children; ++c) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            setenv("TESSERA_STORE_DIR", dir.c_str(), 1);
            int failures = 0;
            HKEY key = nullptr;
            std::u16string path = u"Software\\Concurrent\\Child" + std::u16string(1, char16_t(u'0' + c));
            if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                nullptr) != ERROR_SUCCESS)
                _exit(10);
            for (int v = 0; v < values; ++v) {
                std::u16string name = u"v" + std::u16string(1, char16_t(u'A' + v));
                DWORD data = DWORD(c * 1000 + v);
                failures += RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE*>(&data),
                                           sizeof data) != ERROR_SUCCESS;
                const auto& cert = certs[size_t(v) % std::size(certs)];
                failures += !TesseraStoreAddLinkedCertificate(cert.der, DWORD(cert.length), u"c", u"p", 1, 1);
            }
            RegCloseKey(key);
            _exit(failures ? 1 : 0);
        }
        pids.push_back(pid);
    }
    for (pid_t pid : pids) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    setenv("TESSERA_STORE_DIR", dir.c_str(), 1);
    for (int c = 0; c < children; ++c) {
        HKEY key = nullptr;
        std::u16string path = u"Software\\Concurrent\\Child" + std::u16string(1, char16_t(u'0' + c));
        ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
        for (int v = 0; v < values; ++v) {
            std::u16string name = u"v" + std::u16string(1, char16_t(u'A' + v));
            DWORD data = 0, size = sizeof data;
            EXPECT_EQ(RegQueryValueExW(key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &size),
                      ERROR_SUCCESS);
            EXPECT_EQ(data, DWORD(c * 1000 + v));
        }
        RegCloseKey(key);
    }
    EXPECT_EQ(Count(CERT_SYSTEM_STORE_CURRENT_USER, u"MY"), int(std::size(certs)));
    setenv("TESSERA_STORE_DIR", previous.c_str(), 1);
}

// ---- tessera-certutil ---------------------------------------------------------
std::string Shell(const std::string& command, int& status) {
    std::string output;
    FILE* p = popen(command.c_str(), "r");
    if (!p) {
        status = -1;
        return output;
    }
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) output.append(buffer, n);
    status = pclose(p);
    return output;
}

// Helper process of the damaged-store test: a user store with a certificate
// and a registry key in the directory given.
TEST(DamagedStoreChild, Write) {
    const char* dir = std::getenv("TESSERA_DAMAGED_DIR");
    if (!dir) GTEST_SKIP() << "helper process only";
    setenv("TESSERA_STORE_DIR", dir, 1);
    const auto& leaf = Facts("leaf");
    ASSERT_TRUE(TesseraStoreAddLinkedCertificate(leaf.der, DWORD(leaf.length), u"c", u"p", 1, 1));
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Damaged", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    HCRYPTPROV prov = 0;
    HCRYPTKEY pair = 0;
    ASSERT_TRUE(CryptAcquireContextW(&prov, u"c", MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    ASSERT_TRUE(CryptGenKey(prov, AT_SIGNATURE, 512u << 16, &pair));
    CryptDestroyKey(pair);
    CryptReleaseContext(prov, 0);
}

// A damaged or truncated user database is reported by every read, in this
// process and in a new one (tessera-certutil), instead of reading as empty.
TEST(DamagedStore, EveryReadReportsTheError) {
    struct Damage {
        const char* what;
        void (*apply)(const std::string& file);
    } damages[] = {
        {"truncated", [](const std::string& file) {
             struct stat st {};
             ASSERT_EQ(stat(file.c_str(), &st), 0);
             EXPECT_EQ(truncate(file.c_str(), st.st_size / 2), 0);
         }},
        {"header overwritten", [](const std::string& file) {
             FILE* f = fopen(file.c_str(), "r+b");
             ASSERT_NE(f, nullptr);
             std::string junk(100, 'x');
             fwrite(junk.data(), 1, junk.size(), f);
             fclose(f);
         }},
    };
    const std::string previous = std::getenv("TESSERA_STORE_DIR");
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    int n = 0;
    for (const Damage& d : damages) {
        const std::string dir = g_dirs.root + "/damaged-" + std::to_string(n++);
        // Written by a new process of this program that ends normally, so
        // the database is whole and nothing of it waits in a log file.
        int status = 0;
        Shell("TESSERA_DAMAGED_DIR=" + dir + " " + self + " --gtest_filter=DamagedStoreChild.Write >/dev/null 2>&1",
              status);
        ASSERT_EQ(status, 0) << d.what;
        d.apply(dir + "/tessera.db");

        setenv("TESSERA_STORE_DIR", dir.c_str(), 1);
        SetLastError(0);
        EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"MY"),
                  nullptr)
            << d.what;
        EXPECT_NE(GetLastError(), 0u) << d.what;
        HKEY key = nullptr;
        LSTATUS opened = RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Damaged", 0, KEY_READ, &key);
        EXPECT_NE(opened, ERROR_SUCCESS) << d.what;
        EXPECT_NE(opened, ERROR_FILE_NOT_FOUND) << d.what;
        HCRYPTPROV prov = 0;
        EXPECT_FALSE(CryptAcquireContextW(&prov, u"c", MS_ENHANCED_PROV_W, PROV_RSA_FULL, 0)) << d.what;
        EXPECT_NE(GetLastError(), DWORD(NTE_BAD_KEYSET)) << d.what;
        status = 0;
        Shell("TESSERA_STORE_DIR=" + dir + " " + TESSERA_CERTUTIL + " list --store MY >/dev/null 2>&1", status);
        EXPECT_NE(status, 0) << d.what;
        setenv("TESSERA_STORE_DIR", previous.c_str(), 1);
    }
}

TEST(CertUtil, ListsExportsAndDeletes) {
    const auto& leaf = Facts("leaf");
    ASSERT_TRUE(TesseraStoreAddLinkedCertificate(leaf.der, DWORD(leaf.length), u"util-container",
                                                 u"Microsoft Enhanced Cryptographic Provider v1.0", 1, AT_SIGNATURE));
    const std::string tool = TESSERA_CERTUTIL;
    int status = 0;
    std::string listing = Shell(tool + " --json list --location user --store MY", status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(listing.find(std::string("\"thumbprint\":\"") + leaf.sha1 + "\""), std::string::npos) << listing;
    EXPECT_NE(listing.find("\"serial\":\"008a01\""), std::string::npos) << listing;
    EXPECT_NE(listing.find("\"container\":\"util-container\""), std::string::npos) << listing;
    EXPECT_NE(listing.find("\"subject\":\"1.2.3.4.5=custom, E=zhang@example.com, CN=Zhang San"), std::string::npos)
        << listing;

    // The exported PEM is the same certificate for OpenSSL.
    const std::string pem = g_dirs.root + "/export.pem";
    Shell(tool + " export " + leaf.sha1 + " --pem --out " + pem, status);
    EXPECT_EQ(status, 0);
    std::string fingerprint = Shell("openssl x509 -in " + pem + " -noout -fingerprint -sha1 | tr -d ':'", status);
    EXPECT_NE(fingerprint.find(leaf.sha1), std::string::npos) << fingerprint;

    // Deleting asks first; without a yes nothing happens.
    Shell("echo n | " + tool + " delete-cert " + leaf.sha1 + " --store MY 2>/dev/null", status);
    EXPECT_NE(status, 0);
    EXPECT_NE(Shell(tool + " --json list --store MY", status).find(leaf.sha1), std::string::npos);
    Shell(tool + " delete-cert " + leaf.sha1 + " --store MY --yes", status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(Shell(tool + " --json list --store MY", status).find(leaf.sha1), std::string::npos);
}

TEST(CertUtil, ListsAndPrunesCertificatesTooLargeToList) {
    const auto& leaf = Facts("leaf");
    ASSERT_TRUE(TesseraStoreAddLinkedCertificate(leaf.der, DWORD(leaf.length), u"util-container",
                                                 u"Microsoft Enhanced Cryptographic Provider v1.0", 1, AT_SIGNATURE));
    // Two certificates whose subjects hold 50,000 characters, made by OpenSSL.
    const std::string tool = TESSERA_CERTUTIL;
    int status = 0;
    for (const char* name : {"long-1", "long-2"}) {
        const std::string der = g_dirs.root + "/" + name + ".der";
        Shell("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout /dev/null -days 1 "
              "-subj /CN=" + std::string(name) + "/description=" + std::string(50000, 'd') +
                  " -outform DER -out " + der + " 2>/dev/null",
              status);
        ASSERT_EQ(status, 0);
        std::string bytes = Shell("cat " + der, status);
        ASSERT_FALSE(bytes.empty());
        ASSERT_TRUE(TesseraStoreAddLinkedCertificate(reinterpret_cast<const BYTE*>(bytes.data()), DWORD(bytes.size()), u"long",
                                                     u"Microsoft Enhanced Cryptographic Provider v1.0", 1,
                                                     AT_SIGNATURE));
    }
    struct Step {
        const char* command;
        int status;
        int oversize;  // certificates "list --oversize" shows afterwards
    } steps[] = {
        {"list --oversize", 0, 2},
        {"prune-oversize < /dev/null 2>/dev/null", 1 << 8, 2},  // not confirmed
        {"prune-oversize --yes", 0, 0},
    };
    for (const Step& step : steps) {
        Shell(tool + " --json " + step.command, status);
        EXPECT_EQ(status, step.status) << step.command;
        std::string listing = Shell(tool + " --json list --oversize --store MY", status);
        size_t count = 0;
        for (size_t at = listing.find("\"listedCharacters\":"); at != std::string::npos;
             at = listing.find("\"listedCharacters\":", at + 1))
            ++count;
        EXPECT_EQ(count, size_t(step.oversize)) << step.command;
    }
    // The certificate of ordinary size stays.
    EXPECT_NE(Shell(tool + " --json list --store MY", status).find(leaf.sha1), std::string::npos);
}

TEST(CertUtil, ListsAndDeletesContainers) {
    const std::string tool = TESSERA_CERTUTIL;
    const std::string provider = "\"Microsoft Enhanced Cryptographic Provider v1.0\"";
    HCRYPTPROV h = 0;
    ASSERT_TRUE(CryptAcquireContextW(&h, u"util-key", MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(h, AT_SIGNATURE, 1024u << 16, &key));
    CryptDestroyKey(key);
    CryptReleaseContext(h, 0);
    int status = 0;
    std::string listing = Shell(tool + " --json containers --provider " + provider, status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(listing.find("\"container\":\"util-key\",\"keys\":[{\"keySpec\":2,\"use\":\"signature\""),
              std::string::npos)
        << listing;
    EXPECT_NE(listing.find("\"bits\":1024"), std::string::npos) << listing;
    Shell(tool + " delete-container util-key --provider " + provider + " --yes", status);
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(CryptAcquireContextW(&h, u"util-key", MS_ENHANCED_PROV_W, PROV_RSA_FULL, 0));
}

}  // namespace
