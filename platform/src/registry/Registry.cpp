// Registry subset on SQLite. Keys are rows named by their full path below
// the hive, folded to upper case for the case-insensitive comparisons of
// the Windows registry (ASCII letters; other characters compare exactly);
// the spelling given at creation is kept for enumeration. HKEY_CURRENT_USER
// lives in the user's database, HKEY_LOCAL_MACHINE in the machine database,
// which only a process with the machine right may change. Every change is
// one transaction.
#include "RegistryInternal.h"

#include <tessera/platform_internal.h>

#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_set>

namespace tessera::registry {
namespace {

using store::Database;
using store::Transaction;

constexpr REGSAM kWriteAccess = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | 0x0020 /* KEY_CREATE_LINK */ |
                                0x00010000 /* DELETE */ | 0x00040000 /* WRITE_DAC */ |
                                0x00080000 /* WRITE_OWNER */ | 0x40000000 /* GENERIC_WRITE */ |
                                0x10000000 /* GENERIC_ALL */;
constexpr uint32_t kKeyMagic = 0x524B4559;  // "RKEY"

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS registry_keys("
    "  path TEXT PRIMARY KEY, parent TEXT NOT NULL, name TEXT NOT NULL, written INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS registry_keys_parent ON registry_keys(parent);"
    "CREATE TABLE IF NOT EXISTS registry_values("
    "  key TEXT NOT NULL, name TEXT NOT NULL, display TEXT NOT NULL, type INTEGER NOT NULL,"
    "  data BLOB NOT NULL, PRIMARY KEY(key, name));";

// Keys every Windows installation has; they exist before anything is written.
const char16_t* const kBuiltinKeys[] = {
    u"SOFTWARE",
    u"SOFTWARE\\Microsoft",
    u"SOFTWARE\\Microsoft\\SystemCertificates",
    u"SOFTWARE\\Microsoft\\SystemCertificates\\CA",
    u"SOFTWARE\\Microsoft\\SystemCertificates\\CA\\Certificates",
    u"SOFTWARE\\Microsoft\\SystemCertificates\\MY",
    u"SOFTWARE\\Microsoft\\SystemCertificates\\MY\\Certificates",
    u"SOFTWARE\\Microsoft\\SystemCertificates\\ROOT",
    u"SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates",
};

std::u16string Fold(std::u16string s) {
    for (auto& c : s)
        if (c >= u'a' && c <= u'z') c = char16_t(c - 32);
    return s;
}

std::u16string ParentOf(const std::u16string& path) {
    size_t slash = path.rfind(u'\\');
    return slash == std::u16string::npos ? std::u16string() : path.substr(0, slash);
}
std::u16string LeafOf(const std::u16string& path) {
    size_t slash = path.rfind(u'\\');
    return slash == std::u16string::npos ? path : path.substr(slash + 1);
}

bool IsBuiltin(const std::u16string& folded) {
    for (const char16_t* k : kBuiltinKeys)
        if (Fold(k) == folded) return true;
    return false;
}

int64_t NowTicks() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return int64_t((uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}

class Statement {
public:
    Statement(sqlite3* db, const char* sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    bool Ok() const { return rc_ == SQLITE_OK; }
    int Rc() const { return rc_; }
    Statement& Bind(int i, const std::u16string& text) {
        std::string utf8 = ToUtf8(text.data(), text.size());
        sqlite3_bind_text(stmt_, i, utf8.data(), int(utf8.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& Bind(int i, int64_t v) {
        sqlite3_bind_int64(stmt_, i, v);
        return *this;
    }
    Statement& BindBlob(int i, const BYTE* data, size_t n) {
        sqlite3_bind_blob(stmt_, i, n ? data : reinterpret_cast<const BYTE*>(""), int(n), SQLITE_TRANSIENT);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error.
    int Step() {
        if (!stmt_) return rc_;
        rc_ = sqlite3_step(stmt_);
        return rc_;
    }
    std::u16string Text(int col) const {
        const unsigned char* t = sqlite3_column_text(stmt_, col);
        return t ? ToUtf16(reinterpret_cast<const char*>(t)) : std::u16string();
    }
    int64_t Int(int col) const { return sqlite3_column_int64(stmt_, col); }
    Bytes Blob(int col) const {
        const BYTE* p = static_cast<const BYTE*>(sqlite3_column_blob(stmt_, col));
        int n = sqlite3_column_bytes(stmt_, col);
        return p && n > 0 ? Bytes(p, p + n) : Bytes();
    }

private:
    sqlite3_stmt* stmt_ = nullptr;
    int rc_ = SQLITE_OK;
};

// The scope's database with the registry tables; nullptr when it cannot be
// opened (error set; ERROR_FILE_NOT_FOUND for a read of a missing database).
std::shared_ptr<Database> OpenDb(Scope scope, bool forWrite, DWORD& error) {
    auto db = Database::Open(scope, forWrite, error);
    if (!db) return nullptr;
    if (!db->EnsureSchema("registry", kSchema, error)) return nullptr;
    return db;
}

// Runs body(database, error) in one write transaction of the scope's
// database and commits it when body succeeds; nothing is kept otherwise.
template <class Body>
bool InWriteTransaction(Scope scope, DWORD& error, Body&& body) {
    auto db = OpenDb(scope, true, error);
    if (!db) return false;
    Transaction t(*db);
    if (!t.Begun()) {
        error = t.Error();
        return false;
    }
    if (!body(*db, error)) return false;
    if (!t.Commit()) {
        error = t.Error();
        return false;
    }
    return true;
}

bool KeyRowExists(Database& db, const std::u16string& folded) {
    if (folded.empty()) return true;
    Statement s(db.Handle(), "SELECT 1 FROM registry_keys WHERE path = ?");
    s.Bind(1, folded);
    return s.Step() == SQLITE_ROW;
}

// Whether the key exists, reading the database if there is one.
bool KeyExists(Scope scope, const std::u16string& folded, DWORD& error) {
    error = ERROR_SUCCESS;
    if (folded.empty() || IsBuiltin(folded)) return true;
    auto db = OpenDb(scope, false, error);
    if (!db) {
        if (error == ERROR_FILE_NOT_FOUND) error = ERROR_SUCCESS;
        return false;
    }
    std::lock_guard<std::recursive_mutex> guard(db->Mutex());
    Statement s(db->Handle(), "SELECT 1 FROM registry_keys WHERE path = ?");
    s.Bind(1, folded);
    int rc = s.Step();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) error = store::ErrorFromSqlite(s.Rc());
    return rc == SQLITE_ROW;
}

// Creates the key and its missing ancestors (inside the caller's transaction).
bool CreateChain(Database& db, const std::u16string& display, bool& created, DWORD& error) {
    created = false;
    std::u16string folded = Fold(display);
    if (folded.empty() || KeyRowExists(db, folded)) return true;
    bool parentCreated = false;
    if (!CreateChain(db, ParentOf(display), parentCreated, error)) return false;
    Statement s(db.Handle(), "INSERT INTO registry_keys(path, parent, name, written) VALUES(?, ?, ?, ?)");
    s.Bind(1, folded).Bind(2, Fold(ParentOf(display))).Bind(3, LeafOf(display)).Bind(4, NowTicks());
    if (s.Step() != SQLITE_DONE) {
        error = store::ErrorFromSqlite(s.Rc());
        return false;
    }
    created = true;
    return true;
}

bool Done(Statement& s, DWORD& error) {
    if (s.Step() == SQLITE_DONE) return true;
    error = store::ErrorFromSqlite(s.Rc());
    return false;
}

bool SetValueRow(Database& db, const std::u16string& key, const std::u16string& name, DWORD type, const BYTE* data,
                 size_t n, DWORD& error) {
    Statement s(db.Handle(),
                "INSERT INTO registry_values(key, name, display, type, data) VALUES(?, ?, ?, ?, ?) "
                "ON CONFLICT(key, name) DO UPDATE SET display = excluded.display, type = excluded.type, "
                "data = excluded.data");
    s.Bind(1, key).Bind(2, Fold(name)).Bind(3, name).Bind(4, int64_t(type)).BindBlob(5, data, n);
    if (!Done(s, error)) return false;
    Statement touch(db.Handle(), "UPDATE registry_keys SET written = ? WHERE path = ?");
    touch.Bind(1, NowTicks()).Bind(2, key);
    return Done(touch, error);
}

bool DeleteKeyRows(Database& db, const std::u16string& folded, DWORD& error) {
    Statement values(db.Handle(), "DELETE FROM registry_values WHERE key = ?");
    values.Bind(1, folded);
    if (!Done(values, error)) return false;
    Statement key(db.Handle(), "DELETE FROM registry_keys WHERE path = ?");
    key.Bind(1, folded);
    return Done(key, error);
}

std::u16string CertificatesKey(const std::u16string& storeName) {
    return u"SOFTWARE\\Microsoft\\SystemCertificates\\" + storeName + u"\\Certificates";
}

// ---- handles -------------------------------------------------------------------
struct KeyHandle {
    uint32_t magic = kKeyMagic;
    Scope scope = Scope::User;
    std::u16string display;  // path below the hive, as spelled at creation or opening
    REGSAM access = 0;
};

std::mutex g_handlesMutex;
std::unordered_set<KeyHandle*> g_handles;

bool WriteAllowed(Scope scope) { return scope == Scope::User || store::MachineScopeWritable(); }

// Resolves a handle to its hive and path; false for a handle this layer does
// not know.
bool Resolve(HKEY key, Scope& scope, std::u16string& path, REGSAM& access) {
    if (key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE) {
        scope = key == HKEY_CURRENT_USER ? Scope::User : Scope::Machine;
        path.clear();
        access = KEY_ALL_ACCESS;
        return true;
    }
    std::lock_guard<std::mutex> guard(g_handlesMutex);
    auto* h = reinterpret_cast<KeyHandle*>(key);
    if (!g_handles.count(h)) return false;
    scope = h->scope;
    path = h->display;
    access = h->access;
    return true;
}

// Joins a relative path onto a key path; empty components are skipped.
bool Join(const std::u16string& base, LPCWSTR sub, std::u16string& out) {
    out = base;
    if (!sub) return true;
    std::u16string rest(sub);
    size_t start = 0;
    while (start <= rest.size()) {
        size_t end = rest.find(u'\\', start);
        if (end == std::u16string::npos) end = rest.size();
        std::u16string part = rest.substr(start, end - start);
        if (part.size() > 255) return false;
        if (!part.empty()) out = out.empty() ? part : out + u"\\" + part;
        start = end + 1;
    }
    return true;
}

HKEY NewHandle(Scope scope, const std::u16string& display, REGSAM access) {
    auto* h = new KeyHandle();
    h->scope = scope;
    h->display = display;
    h->access = access;
    std::lock_guard<std::mutex> guard(g_handlesMutex);
    g_handles.insert(h);
    return reinterpret_cast<HKEY>(h);
}

}  // namespace

bool ReadCertificateBlobs(Scope scope, const std::u16string& storeName, std::vector<CertificateEntry>& entries,
                          DWORD& error) {
    entries.clear();
    auto db = OpenDb(scope, false, error);
    if (!db) {
        // A database that does not exist yet holds no certificates; a damaged
        // or unreadable one is an error, not an empty store.
        if (error != ERROR_FILE_NOT_FOUND) return false;
        error = ERROR_SUCCESS;
        return true;
    }
    std::lock_guard<std::recursive_mutex> guard(db->Mutex());
    Statement s(db->Handle(),
                "SELECT k.name, v.data FROM registry_keys k JOIN registry_values v ON v.key = k.path "
                "WHERE k.parent = ? AND v.name = 'BLOB' AND v.type = 3 ORDER BY k.path");
    s.Bind(1, Fold(CertificatesKey(storeName)));
    int rc;
    while ((rc = s.Step()) == SQLITE_ROW) entries.push_back(CertificateEntry{s.Text(0), s.Blob(1)});
    if (rc != SQLITE_DONE) {
        error = store::ErrorFromSqlite(rc);
        return false;
    }
    return true;
}

bool WriteCertificateBlob(Scope scope, const std::u16string& storeName, const std::u16string& thumbprint,
                          const Bytes& blob, bool failIfExists, DWORD& error) {
    if (!WriteAllowed(scope)) {
        error = ERROR_ACCESS_DENIED;
        return false;
    }
    std::u16string key = CertificatesKey(storeName) + u"\\" + thumbprint;
    return InWriteTransaction(scope, error, [&](Database& db, DWORD& e) {
        if (failIfExists) {
            Statement s(db.Handle(), "SELECT 1 FROM registry_values WHERE key = ? AND name = 'BLOB'");
            s.Bind(1, Fold(key));
            if (s.Step() == SQLITE_ROW) {
                e = DWORD(CRYPT_E_EXISTS);
                return false;
            }
        }
        bool created = false;
        return CreateChain(db, key, created, e) &&
               SetValueRow(db, Fold(key), u"Blob", REG_BINARY, blob.data(), blob.size(), e);
    });
}

bool RemoveCertificateKey(Scope scope, const std::u16string& storeName, const std::u16string& thumbprint,
                          DWORD& error) {
    if (!WriteAllowed(scope)) {
        error = ERROR_ACCESS_DENIED;
        return false;
    }
    std::u16string folded = Fold(CertificatesKey(storeName) + u"\\" + thumbprint);
    return InWriteTransaction(scope, error, [&](Database& db, DWORD& e) {
        Statement children(db.Handle(), "DELETE FROM registry_values WHERE key IN "
                                        "(SELECT path FROM registry_keys WHERE parent = ?)");
        children.Bind(1, folded);
        if (!Done(children, e)) return false;
        Statement sub(db.Handle(), "DELETE FROM registry_keys WHERE parent = ?");
        sub.Bind(1, folded);
        return Done(sub, e) && DeleteKeyRows(db, folded, e);
    });
}

}  // namespace tessera::registry

using namespace tessera;
using namespace tessera::registry;

extern "C" LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    Scope scope;
    std::u16string base, path;
    REGSAM parentAccess;
    if (!Resolve(key, scope, base, parentAccess)) return ERROR_INVALID_HANDLE;
    if (!Join(base, subKey, path)) return ERROR_INVALID_PARAMETER;
    DWORD error = ERROR_SUCCESS;
    if (!KeyExists(scope, Fold(path), error)) return error ? LSTATUS(error) : ERROR_FILE_NOT_FOUND;
    if ((access & kWriteAccess) && !WriteAllowed(scope)) return ERROR_ACCESS_DENIED;
    *result = NewHandle(scope, path, access);
    return ERROR_SUCCESS;
}

extern "C" LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD, LPWSTR, DWORD, REGSAM access,
                                   const LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD disposition) {
    if (!result || !subKey) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    Scope scope;
    std::u16string base, path;
    REGSAM parentAccess;
    if (!Resolve(key, scope, base, parentAccess)) return ERROR_INVALID_HANDLE;
    if (!Join(base, subKey, path)) return ERROR_INVALID_PARAMETER;
    DWORD error = ERROR_SUCCESS;
    bool exists = KeyExists(scope, Fold(path), error);
    if (error) return LSTATUS(error);
    if ((!exists || (access & kWriteAccess)) && !WriteAllowed(scope)) return ERROR_ACCESS_DENIED;
    bool created = false;
    if (!exists && !InWriteTransaction(scope, error, [&](Database& db, DWORD& e) {
            return CreateChain(db, path, created, e);
        }))
        return LSTATUS(error);
    if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *result = NewHandle(scope, path, access);
    return ERROR_SUCCESS;
}

extern "C" LSTATUS RegSetValueExW(HKEY key, LPCWSTR name, DWORD, DWORD type, const BYTE* data, DWORD size) {
    Scope scope;
    std::u16string path;
    REGSAM access;
    if (!Resolve(key, scope, path, access)) return ERROR_INVALID_HANDLE;
    if (!(access & KEY_SET_VALUE) || !WriteAllowed(scope)) return ERROR_ACCESS_DENIED;
    if (size && !data) return ERROR_INVALID_PARAMETER;
    DWORD error = ERROR_SUCCESS;
    std::u16string folded = Fold(path);
    bool written = InWriteTransaction(scope, error, [&](Database& db, DWORD& e) {
        if (!KeyRowExists(db, folded)) {
            // A built-in key gets its row on the first value written to it.
            bool created = false;
            if (!IsBuiltin(folded)) {
                e = ERROR_KEY_DELETED;
                return false;
            }
            if (!CreateChain(db, path, created, e)) return false;
        }
        return SetValueRow(db, folded, name ? std::u16string(name) : std::u16string(), type, data, size, e);
    });
    return written ? ERROR_SUCCESS : LSTATUS(error);
}

extern "C" LSTATUS RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                    LPDWORD size) {
    Scope scope;
    std::u16string path;
    REGSAM access;
    if (!Resolve(key, scope, path, access)) return ERROR_INVALID_HANDLE;
    if (reserved || (data && !size)) return ERROR_INVALID_PARAMETER;
    if (!(access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    DWORD error = ERROR_SUCCESS;
    auto db = OpenDb(scope, false, error);
    if (!db) return error == ERROR_FILE_NOT_FOUND ? ERROR_FILE_NOT_FOUND : LSTATUS(error);
    std::lock_guard<std::recursive_mutex> guard(db->Mutex());
    Statement s(db->Handle(), "SELECT type, data FROM registry_values WHERE key = ? AND name = ?");
    s.Bind(1, Fold(path)).Bind(2, Fold(name ? std::u16string(name) : std::u16string()));
    int rc = s.Step();
    if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? ERROR_FILE_NOT_FOUND : LSTATUS(store::ErrorFromSqlite(rc));
    Bytes value = s.Blob(1);
    if (type) *type = DWORD(s.Int(0));
    if (!size) return ERROR_SUCCESS;
    if (data && *size < value.size()) {
        *size = DWORD(value.size());
        return ERROR_MORE_DATA;
    }
    if (data && !value.empty()) std::memcpy(data, value.data(), value.size());
    *size = DWORD(value.size());
    return ERROR_SUCCESS;
}

extern "C" LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR subKey) {
    if (!subKey) return ERROR_INVALID_PARAMETER;
    Scope scope;
    std::u16string base, path;
    REGSAM access;
    if (!Resolve(key, scope, base, access)) return ERROR_INVALID_HANDLE;
    if (!Join(base, subKey, path)) return ERROR_INVALID_PARAMETER;
    std::u16string folded = Fold(path);
    // The hive roots and the keys every installation has are not deleted.
    if (folded.empty() || IsBuiltin(folded)) return ERROR_ACCESS_DENIED;
    DWORD error = ERROR_SUCCESS;
    if (!KeyExists(scope, folded, error)) return error ? LSTATUS(error) : ERROR_FILE_NOT_FOUND;
    if (!WriteAllowed(scope)) return ERROR_ACCESS_DENIED;
    bool deleted = InWriteTransaction(scope, error, [&](Database& db, DWORD& e) {
        if (!KeyRowExists(db, folded)) {
            e = ERROR_FILE_NOT_FOUND;
            return false;
        }
        Statement children(db.Handle(), "SELECT 1 FROM registry_keys WHERE parent = ? LIMIT 1");
        children.Bind(1, folded);
        if (children.Step() == SQLITE_ROW) {
            e = ERROR_ACCESS_DENIED;
            return false;
        }
        return DeleteKeyRows(db, folded, e);
    });
    return deleted ? ERROR_SUCCESS : LSTATUS(error);
}

extern "C" LSTATUS RegDeleteValueW(HKEY key, LPCWSTR name) {
    Scope scope;
    std::u16string path;
    REGSAM access;
    if (!Resolve(key, scope, path, access)) return ERROR_INVALID_HANDLE;
    if (!(access & KEY_SET_VALUE) || !WriteAllowed(scope)) return ERROR_ACCESS_DENIED;
    DWORD error = ERROR_SUCCESS;
    bool deleted = InWriteTransaction(scope, error, [&](Database& db, DWORD& e) {
        Statement s(db.Handle(), "DELETE FROM registry_values WHERE key = ? AND name = ?");
        s.Bind(1, Fold(path)).Bind(2, Fold(name ? std::u16string(name) : std::u16string()));
        if (!Done(s, e)) return false;
        if (sqlite3_changes(db.Handle()) == 0) {
            e = ERROR_FILE_NOT_FOUND;
            return false;
        }
        return true;
    });
    return deleted ? ERROR_SUCCESS : LSTATUS(error);
}

extern "C" LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD reserved,
                                 LPWSTR className, LPDWORD classLength, PFILETIME written) {
    Scope scope;
    std::u16string path;
    REGSAM access;
    if (!Resolve(key, scope, path, access)) return ERROR_INVALID_HANDLE;
    if (!name || !nameLength || reserved) return ERROR_INVALID_PARAMETER;
    if (!(access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
    std::u16string folded = Fold(path);
    // Children: the rows, plus built-in keys not written yet.
    std::vector<std::pair<std::u16string, std::pair<std::u16string, int64_t>>> children;
    DWORD error = ERROR_SUCCESS;
    auto db = OpenDb(scope, false, error);
    if (db) {
        std::lock_guard<std::recursive_mutex> guard(db->Mutex());
        Statement s(db->Handle(), "SELECT path, name, written FROM registry_keys WHERE parent = ?");
        s.Bind(1, folded);
        int rc;
        while ((rc = s.Step()) == SQLITE_ROW) children.push_back({s.Text(0), {s.Text(1), s.Int(2)}});
        if (rc != SQLITE_DONE) return LSTATUS(store::ErrorFromSqlite(s.Rc()));
    } else if (error != ERROR_FILE_NOT_FOUND) {
        return LSTATUS(error);
    }
    for (const char16_t* builtin : kBuiltinKeys) {
        std::u16string b(builtin);
        if (Fold(ParentOf(b)) != folded) continue;
        bool listed = false;
        for (auto& c : children) listed = listed || c.first == Fold(b);
        if (!listed) children.push_back({Fold(b), {LeafOf(b), 0}});
    }
    std::sort(children.begin(), children.end());
    if (index >= children.size()) return ERROR_NO_MORE_ITEMS;
    const auto& child = children[index];
    const std::u16string& leaf = child.second.first;
    if (*nameLength <= leaf.size()) return ERROR_MORE_DATA;
    std::memcpy(name, leaf.data(), leaf.size() * sizeof(WCHAR));
    name[leaf.size()] = 0;
    *nameLength = DWORD(leaf.size());
    if (className && classLength && *classLength) className[0] = 0;
    if (classLength) *classLength = 0;
    if (written) {
        uint64_t t = uint64_t(child.second.second);
        written->dwLowDateTime = DWORD(t);
        written->dwHighDateTime = DWORD(t >> 32);
    }
    return ERROR_SUCCESS;
}

extern "C" LSTATUS RegCloseKey(HKEY key) {
    if (key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE || key == HKEY_CLASSES_ROOT || key == HKEY_USERS)
        return ERROR_SUCCESS;
    auto* h = reinterpret_cast<KeyHandle*>(key);
    {
        std::lock_guard<std::mutex> guard(g_handlesMutex);
        if (!g_handles.erase(h)) return ERROR_INVALID_HANDLE;
    }
    h->magic = 0;
    delete h;
    return ERROR_SUCCESS;
}
