// The Linux key store itself: where and how keys are kept, and what several
// processes at once, or a process killed at any instant, leave behind.
// Helper processes are this test program run again (KeyStoreChild.Run).
#include "ProviderSupport.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

const WCHAR kEnhanced[] = TEXT("Microsoft Enhanced Cryptographic Provider v1.0");

WStr Wide(const std::string& s) { return WStr(s.begin(), s.end()); }

std::string StoreDir() { return std::getenv("TESSERA_STORE_DIR"); }
std::string DatabaseFile() { return StoreDir() + "/tessera.db"; }

// Starts this program again as a helper with the given role and argument.
pid_t SpawnChild(const std::string& role, const std::string& argument) {
    std::string roleVar = "TESSERA_KEYSTORE_CHILD=" + role;
    std::string argVar = "TESSERA_KEYSTORE_ARG=" + argument;
    std::vector<char*> env;
    for (char** e = environ; *e; ++e) env.push_back(*e);
    env.push_back(roleVar.data());
    env.push_back(argVar.data());
    env.push_back(nullptr);
    std::string self = "/proc/self/exe", filter = "--gtest_filter=KeyStoreChild.Run";
    char* argv[] = {self.data(), filter.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv, env.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int WaitExit(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool MakeContainerWithKey(const WStr& name) {
    Prov prov;
    KeyH key;
    return prov.Acquire(name.c_str(), kEnhanced, 1, CRYPT_NEWKEYSET) &&
           CryptGenKey(prov.h, AT_SIGNATURE, 512u << 16, &key.h);
}

// Query helper over the database file, independent of the provider code.
struct Db {
    sqlite3* db = nullptr;
    Db() { sqlite3_open_v2(DatabaseFile().c_str(), &db, SQLITE_OPEN_READONLY, nullptr); }
    ~Db() { sqlite3_close(db); }
    long long Count(const char* sql) {
        sqlite3_stmt* s = nullptr;
        long long n = -1;
        if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
            n = sqlite3_column_int64(s, 0);
        sqlite3_finalize(s);
        return n;
    }
};

// ---- helper processes ----------------------------------------------------------------

TEST(KeyStoreChild, Run) {
    const char* role = std::getenv("TESSERA_KEYSTORE_CHILD");
    if (!role) GTEST_SKIP() << "helper process only";
    std::string argument = std::getenv("TESSERA_KEYSTORE_ARG");
    if (std::string(role) == "create") {
        // argument: prefix,count
        std::string prefix = argument.substr(0, argument.find(','));
        int count = std::atoi(argument.substr(argument.find(',') + 1).c_str());
        for (int i = 0; i < count; ++i)
            ASSERT_TRUE(MakeContainerWithKey(Wide(prefix + "-" + std::to_string(i)))) << GetLastError();
    } else if (std::string(role) == "open-machine") {
        HCRYPTPROV h = 0;
        EXPECT_FALSE(CryptAcquireContextW(&h, Wide(argument).c_str(), kEnhanced, 1, CRYPT_MACHINE_KEYSET));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    } else if (std::string(role) == "churn") {
        for (int i = 0;; ++i) {
            WStr name = Wide(argument + "-" + std::to_string(i));
            MakeContainerWithKey(name);
            if (i % 3 == 0) {
                HCRYPTPROV h = 0;
                CryptAcquireContextW(&h, name.c_str(), kEnhanced, 1, CRYPT_DELETEKEYSET);
            }
        }
    }
}

// ---- the store ----------------------------------------------------------------------

TEST(KeyStore, KeepsOwnerOnlyFilesWithPkcs8Keys) {
    WStr name = UniqueContainer("files");
    Prov prov;
    ASSERT_TRUE(prov.Acquire(name.c_str(), kEnhanced, 1, CRYPT_NEWKEYSET));
    KeyH key;
    ASSERT_TRUE(CryptGenKey(prov.h, AT_KEYEXCHANGE, 1024u << 16, &key.h));
    Bytes publicKey = PublicKeyBits(prov.h, AT_KEYEXCHANGE);

    struct stat st;
    ASSERT_EQ(stat(StoreDir().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(DatabaseFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    Db db;
    sqlite3_stmt* s = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db.db,
                                 "SELECT k.pkcs8 FROM keystore_keys k JOIN keystore_containers c ON c.id = "
                                 "k.container_id WHERE c.name = ?1",
                                 -1, &s, nullptr),
              SQLITE_OK);
    std::string narrow = Narrow(name.c_str());
    sqlite3_bind_text(s, 1, narrow.c_str(), -1, SQLITE_TRANSIENT);
    ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
    const unsigned char* p = static_cast<const unsigned char*>(sqlite3_column_blob(s, 0));
    PKCS8_PRIV_KEY_INFO* p8 = d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, sqlite3_column_bytes(s, 0));
    ASSERT_NE(p8, nullptr);
    EVP_PKEY* pkey = EVP_PKCS82PKEY(p8);
    ASSERT_NE(pkey, nullptr);
    unsigned char* der = nullptr;
    int n = i2d_PublicKey(pkey, &der);
    EXPECT_EQ(Bytes(der, der + n), publicKey);
    OPENSSL_free(der);
    EVP_PKEY_free(pkey);
    PKCS8_PRIV_KEY_INFO_free(p8);
    sqlite3_finalize(s);
}

TEST(KeyStore, ContainersMadeByAnotherProcessAreUsable) {
    std::string prefix = Narrow(UniqueContainer("child").c_str());
    pid_t child = SpawnChild("create", prefix + ",1");
    ASSERT_GT(child, 0);
    ASSERT_EQ(WaitExit(child), 0);
    Prov prov;
    ASSERT_TRUE(prov.Acquire(Wide(prefix + "-0").c_str(), kEnhanced, 1, 0)) << GetLastError();
    Bytes message = Text("made elsewhere");
    EXPECT_TRUE(oracle::VerifyRsaSha1(PublicKeyBits(prov.h, AT_SIGNATURE), message,
                                      Reversed(SignMessage(prov.h, CALG_SHA1, AT_SIGNATURE, message))));
}

TEST(KeyStore, TwoProcessesCreateContainersAtOnce) {
    std::string a = Narrow(UniqueContainer("a").c_str()), b = Narrow(UniqueContainer("b").c_str());
    constexpr int kEach = 12;
    pid_t first = SpawnChild("create", a + "," + std::to_string(kEach));
    pid_t second = SpawnChild("create", b + "," + std::to_string(kEach));
    ASSERT_GT(first, 0);
    ASSERT_GT(second, 0);
    EXPECT_EQ(WaitExit(first), 0);
    EXPECT_EQ(WaitExit(second), 0);

    Prov prov;
    ASSERT_TRUE(prov.Acquire(nullptr, kEnhanced, 1, CRYPT_VERIFYCONTEXT));
    int found = 0;
    std::vector<char> name(512);
    DWORD size = DWORD(name.size());
    for (DWORD flags = CRYPT_FIRST; CryptGetProvParam(prov.h, PP_ENUMCONTAINERS, (BYTE*)name.data(), &size, flags);
         flags = 0) {
        std::string n = name.data();
        if (n.rfind(a, 0) == 0 || n.rfind(b, 0) == 0) ++found;
        size = DWORD(name.size());
    }
    EXPECT_EQ(found, 2 * kEach);
}

// However often a writer is killed, every container and key in the store
// is whole: the database is intact and each stored key decodes.
TEST(KeyStore, KilledWriterLeavesOnlyWholeState) {
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        Db before;
        long long start = before.Count("SELECT count(*) FROM keystore_containers");
        pid_t child = SpawnChild("churn", Narrow(UniqueContainer("churn").c_str()));
        ASSERT_GT(child, 0);
        // Let it make progress, then kill it wherever it is.
        for (int i = 0; i < 400; ++i) {
            Db db;
            if (db.Count("SELECT count(*) FROM keystore_containers") >= start + 3 + round) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::this_thread::sleep_for(std::chrono::microseconds(1000 + 3700 * round));
        kill(child, SIGKILL);
        WaitExit(child);

        Db db;
        sqlite3_stmt* s = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db.db, "PRAGMA integrity_check", -1, &s, nullptr), SQLITE_OK);
        ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
        EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)), "ok");
        sqlite3_finalize(s);
        EXPECT_EQ(db.Count("SELECT count(*) FROM keystore_keys WHERE container_id NOT IN "
                           "(SELECT id FROM keystore_containers)"),
                  0);
        EXPECT_EQ(db.Count("SELECT count(*) FROM keystore_containers WHERE id NOT IN "
                           "(SELECT container_id FROM keystore_keys)"),
                  0);
        ASSERT_EQ(sqlite3_prepare_v2(db.db, "SELECT pkcs8 FROM keystore_keys", -1, &s, nullptr), SQLITE_OK);
        while (sqlite3_step(s) == SQLITE_ROW) {
            const unsigned char* p = static_cast<const unsigned char*>(sqlite3_column_blob(s, 0));
            PKCS8_PRIV_KEY_INFO* p8 = d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, sqlite3_column_bytes(s, 0));
            EXPECT_NE(p8, nullptr);
            PKCS8_PRIV_KEY_INFO_free(p8);
        }
        sqlite3_finalize(s);
    }
    // The store stays usable after the kills.
    EXPECT_TRUE(MakeContainerWithKey(UniqueContainer("after")));
}

// A process killed while it generates the first key pair of a new container
// must not leave the container behind without keys: the container is written
// with that pair. Released without keys it stays, as on Windows.
TEST(KeyStore, NewContainerIsWrittenWithItsFirstKeyPair) {
    // (containers of that name, key pairs in them)
    auto rows = [](const WStr& name) {
        Db db;
        std::string where = " WHERE name = '" + Narrow(name.c_str()) + "'";
        std::string containers = "SELECT count(*) FROM keystore_containers" + where;
        std::string pairs = "SELECT count(*) FROM keystore_keys WHERE container_id IN (SELECT id FROM "
                            "keystore_containers" + where + ")";
        return std::make_pair(db.Count(containers.c_str()), db.Count(pairs.c_str()));
    };
    WStr name = UniqueContainer("first-pair");
    {
        Prov prov;
        ASSERT_TRUE(prov.Acquire(name.c_str(), kEnhanced, 1, CRYPT_NEWKEYSET));
        EXPECT_EQ(rows(name), std::make_pair(0LL, 0LL));
        KeyH key;
        ASSERT_TRUE(CryptGenKey(prov.h, AT_SIGNATURE, 512u << 16, &key.h));
        EXPECT_EQ(rows(name), std::make_pair(1LL, 1LL));
    }
    WStr empty = UniqueContainer("released-empty");
    {
        Prov prov;
        ASSERT_TRUE(prov.Acquire(empty.c_str(), kEnhanced, 1, CRYPT_NEWKEYSET));
    }
    EXPECT_EQ(rows(empty), std::make_pair(1LL, 0LL));
    Prov again;
    EXPECT_TRUE(again.Acquire(empty.c_str(), kEnhanced, 1, 0));
}

TEST(KeyStore, UserProtectedKeysAreRecordedAndNotUsedSilently) {
    WStr name = UniqueContainer("protected");
    {
        Prov prov;
        ASSERT_TRUE(prov.Acquire(name.c_str(), kEnhanced, 1, CRYPT_NEWKEYSET));
        KeyH key;
        ASSERT_TRUE(CryptGenKey(prov.h, AT_SIGNATURE, (1024u << 16) | CRYPT_USER_PROTECTED, &key.h));
        EXPECT_FALSE(SignMessage(prov.h, CALG_SHA1, AT_SIGNATURE, Text("asked")).empty());
    }
    Db db;
    EXPECT_EQ(db.Count("SELECT flags FROM keystore_keys ORDER BY rowid DESC LIMIT 1") & CRYPT_USER_PROTECTED,
              CRYPT_USER_PROTECTED);
    Prov silent;
    ASSERT_TRUE(silent.Acquire(name.c_str(), kEnhanced, 1, CRYPT_SILENT));
    EXPECT_TRUE(SignMessage(silent.h, CALG_SHA1, AT_SIGNATURE, Text("silent")).empty());
    EXPECT_EQ(GetLastError(), Code(NTE_SILENT_CONTEXT));
    KeyH other;
    EXPECT_FALSE(CryptGenKey(silent.h, AT_KEYEXCHANGE, CRYPT_USER_PROTECTED, &other.h));
    EXPECT_EQ(GetLastError(), Code(NTE_SILENT_CONTEXT));
}

// A fresh machine directory for one test (searchable by every user, as
// /var/lib/tessera is), removed with the test.
struct MachineDir {
    std::string path;
    MachineDir() {
        char pattern[] = "/tmp/tessera-machine-XXXXXX";
        path = mkdtemp(pattern) ? pattern : "/tmp/tessera-machine-missing";
        chmod(path.c_str(), 0755);
        setenv("TESSERA_MACHINE_STORE_DIR", path.c_str(), 1);
    }
    ~MachineDir() {
        unsetenv("TESSERA_MACHINE_STORE_DIR");
        unsetenv("TESSERA_MACHINE_STORE_READONLY");
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string File(const char* name) const { return path + "/" + name; }
};

unsigned FileMode(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? unsigned(st.st_mode & 0777) : 0u;
}

bool FileContains(const std::string& path, const std::vector<unsigned char>& needle) {
    std::ifstream in(path, std::ios::binary);
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return std::search(bytes.begin(), bytes.end(), needle.begin(), needle.end()) != bytes.end();
}

// A new process of this program as the user nobody (which has no machine
// right) opens the machine container: 0 when it is refused with
// ERROR_ACCESS_DENIED.
int MachineOpenAsNobody(const WStr& name) {
    pid_t child = fork();
    if (child == 0) {
        setenv("TESSERA_KEYSTORE_CHILD", "open-machine", 1);
        setenv("TESSERA_KEYSTORE_ARG", std::string(name.begin(), name.end()).c_str(), 1);
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(255);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        char self[] = "/proc/self/exe", filter[] = "--gtest_filter=KeyStoreChild.Run";
        char* argv[] = {self, filter, nullptr};
        execv(self, argv);
        _exit(254);
    }
    return WaitExit(child);
}

TEST(KeyStore, MachineKeysetsLiveInTheMachineStore) {
    MachineDir dir;
    WStr name = UniqueContainer("machine");
    Prov machine;
    ASSERT_TRUE(machine.Acquire(name.c_str(), kEnhanced, 1, CRYPT_NEWKEYSET | CRYPT_MACHINE_KEYSET)) << GetLastError();
    KeyH key;
    ASSERT_TRUE(CryptGenKey(machine.h, AT_SIGNATURE, 1024u << 16, &key.h));
    Prov user;
    EXPECT_FALSE(user.Acquire(name.c_str(), kEnhanced, 1, 0));
    EXPECT_EQ(GetLastError(), Code(NTE_BAD_KEYSET));
    // The machine's private keys are in a file of the owner's alone, not in
    // the machine database that every user reads.
    EXPECT_EQ(FileMode(dir.File("machine-keys.db")), 0600u);
    EXPECT_EQ(access(dir.File("machine.db").c_str(), F_OK), -1);
    if (geteuid() == 0) {
        EXPECT_EQ(MachineOpenAsNobody(name), 0);
    }
    HCRYPTPROV h = 0;
    EXPECT_TRUE(CryptAcquireContextW(&h, name.c_str(), kEnhanced, 1, CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET));
}

// The old tables of the key store, as stores of the earlier layout have them
// in machine.db.
const char kEarlierKeyTables[] =
    "PRAGMA journal_mode=DELETE;"
    "CREATE TABLE keystore_containers(id INTEGER PRIMARY KEY, family TEXT NOT NULL, name TEXT NOT NULL,"
    " name_key TEXT NOT NULL, created TEXT NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%SZ','now')),"
    " UNIQUE(family, name_key));"
    "CREATE TABLE keystore_keys(container_id INTEGER NOT NULL REFERENCES keystore_containers(id) ON DELETE CASCADE,"
    " key_type INTEGER NOT NULL, algorithm INTEGER NOT NULL, flags INTEGER NOT NULL, pkcs8 BLOB NOT NULL,"
    " certificate BLOB, PRIMARY KEY(container_id, key_type));";

// Writes a machine.db of the earlier layout holding one container with an
// OpenSSL-made signature key; returns its PKCS #8 bytes and RSAPublicKey.
bool WriteEarlierMachineStore(const std::string& path, const std::string& container, Bytes& pkcs8, Bytes& rsaPublic) {
    EVP_PKEY* pkey = EVP_RSA_gen(1024);
    unsigned char* der = nullptr;
    PKCS8_PRIV_KEY_INFO* info = pkey ? EVP_PKEY2PKCS8(pkey) : nullptr;
    int length = info ? i2d_PKCS8_PRIV_KEY_INFO(info, &der) : -1;
    if (length > 0) pkcs8.assign(der, der + length);
    OPENSSL_free(der);
    der = nullptr;
    length = pkey ? i2d_PublicKey(pkey, &der) : -1;
    if (length > 0) rsaPublic.assign(der, der + length);
    OPENSSL_free(der);
    PKCS8_PRIV_KEY_INFO_free(info);
    EVP_PKEY_free(pkey);
    sqlite3* db = nullptr;
    bool ok = !pkcs8.empty() && !rsaPublic.empty() && sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
              sqlite3_exec(db, kEarlierKeyTables, nullptr, nullptr, nullptr) == SQLITE_OK;
    std::string lower = container;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    std::string insert = "INSERT INTO keystore_containers(family, name, name_key) VALUES('microsoft-rsa', '" +
                         container + "', '" + lower + "');";
    ok = ok && sqlite3_exec(db, insert.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_stmt* s = nullptr;
    ok = ok && sqlite3_prepare_v2(db, "INSERT INTO keystore_keys VALUES(1, 2, 0x2400, 1, ?1, NULL)", -1, &s,
                                  nullptr) == SQLITE_OK &&
         sqlite3_bind_blob(s, 1, pkcs8.data(), int(pkcs8.size()), SQLITE_TRANSIENT) == SQLITE_OK &&
         sqlite3_step(s) == SQLITE_DONE;
    sqlite3_finalize(s);
    sqlite3_close(db);
    chmod(path.c_str(), 0644);
    return ok;
}

// Stores of the earlier layout open with their machine keys: read where they
// are by a process without the machine right, moved into the owner's key
// file by the first one with it, and no copy left in machine.db.
TEST(KeyStore, MachineKeysOfTheEarlierLayoutAreKeptAndMoved) {
    MachineDir dir;
    const std::string container = "Earlier-Machine-Container";
    Bytes pkcs8, rsaPublic;
    ASSERT_TRUE(WriteEarlierMachineStore(dir.File("machine.db"), container, pkcs8, rsaPublic));
    struct Step {
        const char* who;
        bool machineRight;
        bool moved;  // afterwards
    } steps[] = {
        {"without the machine right", false, false},
        {"with the machine right", true, true},
        {"again, after the move", true, true},
    };
    for (const Step& step : steps) {
        if (step.machineRight) {
            unsetenv("TESSERA_MACHINE_STORE_READONLY");
        } else {
            setenv("TESSERA_MACHINE_STORE_READONLY", "1", 1);
        }
        Prov prov;
        ASSERT_TRUE(prov.Acquire(Wide(container).c_str(), kEnhanced, 1, CRYPT_MACHINE_KEYSET))
            << step.who << " " << GetLastError();
        EXPECT_EQ(PublicKeyBits(prov.h, AT_SIGNATURE), rsaPublic) << step.who;
        EXPECT_EQ(FileContains(dir.File("machine.db"), pkcs8), !step.moved) << step.who;
        EXPECT_EQ(FileMode(dir.File("machine.db")), 0644u) << step.who;
        if (step.moved) {
            EXPECT_EQ(FileMode(dir.File("machine-keys.db")), 0600u) << step.who;
        }
    }
    if (geteuid() == 0) {
        EXPECT_EQ(MachineOpenAsNobody(Wide(container)), 0);
    }
}

TEST(KeyStore, ContainerNamesCompareWithoutCase) {
    WStr name = UniqueContainer("Case");
    Prov prov;
    ASSERT_TRUE(prov.Acquire(name.c_str(), kEnhanced, 1, CRYPT_NEWKEYSET));
    WStr upper = name;
    for (auto& c : upper) c = WCHAR(toupper(c));
    Prov again;
    EXPECT_TRUE(again.Acquire(upper.c_str(), kEnhanced, 1, 0));
    EXPECT_FALSE(again.Acquire(upper.c_str(), kEnhanced, 1, CRYPT_NEWKEYSET));
    EXPECT_EQ(GetLastError(), Code(NTE_EXISTS));
}

}  // namespace

namespace {

// A certificate given to a Tessera provider appears in the user's "MY"
// store, linked to the container, where the certificate listing finds it.
TEST(KeyStore, TesseraCertificatesAreLinkedIntoTheUserStore) {
    const WCHAR sm2[] = TEXT("Tessera SM2 Software CSP");
    WStr name = UniqueContainer("linked");
    Prov prov;
    ASSERT_TRUE(prov.Acquire(name.c_str(), sm2, 1, CRYPT_NEWKEYSET));
    KeyH key;
    ASSERT_TRUE(CryptGenKey(prov.h, 0x3E00, 0, &key.h));
    Bytes blob = ExportBlob(key.h, PUBLICKEYBLOB);
    Bytes point(65, 0x04);  // 04 || x || y, each coordinate reversed from the blob
    std::reverse_copy(blob.begin() + 12, blob.begin() + 44, point.begin() + 1);
    std::reverse_copy(blob.begin() + 76, blob.begin() + 108, point.begin() + 33);
    Bytes certificate = oracle::IssueCertificate(point, true);

    // The SM2 installation route: a verify context naming the container.
    Prov verify;
    ASSERT_TRUE(verify.Acquire(name.c_str(), sm2, 1, CRYPT_VERIFYCONTEXT));
    KeyH user;
    ASSERT_TRUE(CryptGetUserKey(verify.h, AT_SIGNATURE, &user.h));
    ASSERT_TRUE(CryptSetKeyParam(user.h, KP_CERTIFICATE, certificate.data(), 0)) << GetLastError();

    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, TEXT("MY"));
    ASSERT_NE(store, nullptr);
    bool found = false;
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c;
         c = CertEnumCertificatesInStore(store, c)) {
        if (Bytes(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded) != certificate) continue;
        DWORD size = 0;
        ASSERT_TRUE(CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size));
        std::vector<uint64_t> buffer(size / 8 + 1);
        auto info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buffer.data());
        ASSERT_TRUE(CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, info, &size));
        EXPECT_EQ(WStr(info->pwszContainerName), name);
        EXPECT_EQ(WStr(info->pwszProvName), WStr(sm2));
        EXPECT_EQ(info->dwProvType, 1u);
        EXPECT_EQ(info->dwKeySpec, DWORD(AT_SIGNATURE));
        found = true;
    }
    EXPECT_TRUE(found);
    CertCloseStore(store, 0);
}

}  // namespace

namespace {

const WCHAR kSm2Csp[] = TEXT("Tessera SM2 Software CSP");

Bytes StoredPkcs8(const WStr& container) {
    Db db;
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db.db,
                       "SELECT k.pkcs8 FROM keystore_keys k JOIN keystore_containers c ON c.id = k.container_id "
                       "WHERE c.name = ?1",
                       -1, &s, nullptr);
    std::string narrow = Narrow(container.c_str());
    sqlite3_bind_text(s, 1, narrow.c_str(), -1, SQLITE_TRANSIENT);
    Bytes pkcs8;
    if (sqlite3_step(s) == SQLITE_ROW) {
        auto p = static_cast<const unsigned char*>(sqlite3_column_blob(s, 0));
        pkcs8.assign(p, p + sqlite3_column_bytes(s, 0));
    }
    sqlite3_finalize(s);
    return pkcs8;
}

bool ReplaceStoredPkcs8(const WStr& container, const Bytes& pkcs8) {
    sqlite3* db = nullptr;
    sqlite3_stmt* s = nullptr;
    sqlite3_open_v2(DatabaseFile().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_busy_timeout(db, 5000);
    sqlite3_prepare_v2(db,
                       "UPDATE keystore_keys SET pkcs8 = ?1 WHERE container_id = "
                       "(SELECT id FROM keystore_containers WHERE name = ?2)",
                       -1, &s, nullptr);
    std::string narrow = Narrow(container.c_str());
    sqlite3_bind_blob(s, 1, pkcs8.data(), int(pkcs8.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(s, 2, narrow.c_str(), -1, SQLITE_TRANSIENT);
    bool ok = sqlite3_step(s) == SQLITE_DONE && sqlite3_changes(db) == 1;
    sqlite3_finalize(s);
    sqlite3_close(db);
    return ok;
}

// The same key written by OpenSSL without the public point in its ECPrivateKey.
Bytes WithoutPublicPoint(const Bytes& pkcs8) {
    const unsigned char* p = pkcs8.data();
    PKCS8_PRIV_KEY_INFO* p8 = d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, long(pkcs8.size()));
    EVP_PKEY* pkey = p8 ? EVP_PKCS82PKEY(p8) : nullptr;
    PKCS8_PRIV_KEY_INFO_free(p8);
    Bytes out;
    if (pkey && EVP_PKEY_set_int_param(pkey, OSSL_PKEY_PARAM_EC_INCLUDE_PUBLIC, 0)) {
        PKCS8_PRIV_KEY_INFO* bare = EVP_PKEY2PKCS8(pkey);
        unsigned char* der = nullptr;
        int n = bare ? i2d_PKCS8_PRIV_KEY_INFO(bare, &der) : 0;
        if (n > 0) out.assign(der, der + n);
        OPENSSL_free(der);
        PKCS8_PRIV_KEY_INFO_free(bare);
    }
    EVP_PKEY_free(pkey);
    return out;
}

// A stored SM2 key loads and signs (OpenSSL verifies) in every form OpenSSL
// writes it, and one whose point is not on the curve does not load.
TEST(KeyStore, Sm2KeysLoadFromEveryStoredForm) {
    if (!ProviderListed(kSm2Csp) || !oracle::Sm2Available()) GTEST_SKIP() << "no SM2 provider";
    struct Case {
        const char* form;
        bool dropPoint, damagePoint, loads;
    };
    for (const Case& c : {Case{"as written", false, false, true}, Case{"without the point", true, false, true},
                          Case{"point off the curve", false, true, false}}) {
        SCOPED_TRACE(c.form);
        WStr name = UniqueContainer("sm2form");
        Bytes point;
        {
            Prov prov;
            KeyH key;
            ASSERT_TRUE(prov.Acquire(name.c_str(), kSm2Csp, 1, CRYPT_NEWKEYSET));
            ASSERT_TRUE(CryptGenKey(prov.h, 0x3E00, 0, &key.h));
            point = PointFromBlob(ExportBlob(key.h, PUBLICKEYBLOB));
        }
        Bytes stored = StoredPkcs8(name);
        ASSERT_FALSE(stored.empty());
        Bytes changed = c.dropPoint ? WithoutPublicPoint(stored) : stored;
        ASSERT_FALSE(changed.empty());
        if (c.dropPoint) {
            ASSERT_LT(changed.size(), stored.size());
        }
        if (c.damagePoint) changed.back() ^= 1;  // the last byte of y
        ASSERT_TRUE(ReplaceStoredPkcs8(name, changed));

        Prov prov;
        ASSERT_TRUE(prov.Acquire(name.c_str(), kSm2Csp, 1, 0));
        Bytes message = Text("stored SM2 key");
        Bytes signature = SignMessage(prov.h, 0x800F, AT_SIGNATURE, message);
        EXPECT_EQ(signature.size(), c.loads ? 64u : 0u);
        if (c.loads) {
            EXPECT_TRUE(oracle::VerifySm2(point, message, RawSignature(signature), "1234567812345678"));
        }
    }
}

// An SM2 key takes only a well-formed certificate of its own public key.
TEST(KeyStore, Sm2KeysTakeOnlyTheirOwnCertificate) {
    if (!ProviderListed(kSm2Csp) || !oracle::Sm2Available()) GTEST_SKIP() << "no SM2 provider";
    WStr name = UniqueContainer("sm2cert");
    Prov prov;
    ASSERT_TRUE(prov.Acquire(name.c_str(), kSm2Csp, 1, CRYPT_NEWKEYSET));
    KeyH key;
    ASSERT_TRUE(CryptGenKey(prov.h, 0x3E00, 0, &key.h));
    Bytes own = oracle::IssueCertificate(PointFromBlob(ExportBlob(key.h, PUBLICKEYBLOB)), true);
    Bytes scalar, otherPoint;
    oracle::GenerateSm2(scalar, otherPoint);
    Bytes foreign = oracle::IssueCertificate(otherPoint, true);
    ASSERT_FALSE(own.empty());
    ASSERT_FALSE(foreign.empty());
    Bytes broken = own;
    broken[(own[1] & 0x80) ? 2 + (own[1] & 0x7F) : 2] = 0x31;  // the to-be-signed part's tag
    struct Case {
        const char* certificate;
        const Bytes& der;
        DWORD error;
    };
    for (const Case& c : {Case{"another key's", foreign, DWORD(NTE_BAD_PUBLIC_KEY)},
                          Case{"malformed", broken, DWORD(NTE_BAD_DATA)}, Case{"its own", own, 0}}) {
        SCOPED_TRACE(c.certificate);
        BOOL ok = CryptSetKeyParam(key.h, KP_CERTIFICATE, c.der.data(), 0);
        EXPECT_EQ(ok != FALSE, c.error == 0);
        if (!ok) {
            EXPECT_EQ(GetLastError(), c.error);
        }
        DWORD size = 0;
        EXPECT_EQ(CryptGetKeyParam(key.h, KP_CERTIFICATE, nullptr, &size, 0) != FALSE, c.error == 0);
    }
}

}  // namespace
