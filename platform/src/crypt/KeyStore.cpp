#include "KeyStore.h"

#include <tessera/platform_internal.h>

#include <sqlite3.h>

#include <mutex>
#include <set>

namespace tessera::crypt::keystore {
namespace {

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS keystore_containers("
    "  id INTEGER PRIMARY KEY,"
    "  family TEXT NOT NULL,"
    "  name TEXT NOT NULL,"
    "  name_key TEXT NOT NULL,"
    "  created TEXT NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%SZ','now')),"
    "  UNIQUE(family, name_key));"
    "CREATE TABLE IF NOT EXISTS keystore_keys("
    "  container_id INTEGER NOT NULL REFERENCES keystore_containers(id) ON DELETE CASCADE,"
    "  key_type INTEGER NOT NULL,"
    "  algorithm INTEGER NOT NULL,"
    "  flags INTEGER NOT NULL,"
    "  pkcs8 BLOB NOT NULL,"
    "  certificate BLOB,"
    "  PRIMARY KEY(container_id, key_type));";

class Statement {
public:
    Statement(sqlite3* db, const char* sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    bool Ok() const { return rc_ == SQLITE_OK; }
    int Code() const { return rc_; }
    Statement& Text(int i, const std::string& v) {
        if (Ok()) rc_ = sqlite3_bind_text(stmt_, i, v.data(), int(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& Int(int i, sqlite3_int64 v) {
        if (Ok()) rc_ = sqlite3_bind_int64(stmt_, i, v);
        return *this;
    }
    Statement& Blob(int i, const BYTE* p, size_t n) {
        if (Ok()) rc_ = n ? sqlite3_bind_blob(stmt_, i, p, int(n), SQLITE_TRANSIENT) : sqlite3_bind_null(stmt_, i);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int Step() {
        if (!Ok()) return rc_;
        int rc = sqlite3_step(stmt_);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) rc_ = rc;
        return rc;
    }
    sqlite3_stmt* Raw() { return stmt_; }

private:
    sqlite3_stmt* stmt_ = nullptr;
    int rc_;
};

BOOL FailSqlite(int rc) { return Fail(store::ErrorFromSqlite(rc)); }

// Runs one statement without results.
bool Exec(store::Database& db, const char* sql, DWORD& error) {
    int rc = sqlite3_exec(db.Handle(), sql, nullptr, nullptr, nullptr);
    error = store::ErrorFromSqlite(rc);
    return rc == SQLITE_OK;
}

// Whether the machine database (of the earlier layout) holds key-store tables.
bool HasLegacyKeys(store::Database& machine) {
    std::lock_guard<std::recursive_mutex> guard(machine.Mutex());
    Statement s(machine.Handle(), "SELECT 1 FROM sqlite_master WHERE type='table' AND name='keystore_keys'");
    return s.Step() == SQLITE_ROW;
}

// Inside the move's transaction: the legacy containers and keys copied into
// the key file (a container already there by name keeps its row, its missing
// pair kinds are added); true in "complete" when every legacy pair is now
// in the key file with the same bytes.
bool CopyLegacyKeys(store::Database& keys, bool& complete, DWORD& error) {
    complete = false;
    if (!Exec(keys,
              "INSERT OR IGNORE INTO main.keystore_containers(family, name, name_key, created) "
              "SELECT family, name, name_key, created FROM legacy.keystore_containers ORDER BY id;"
              "INSERT OR IGNORE INTO main.keystore_keys(container_id, key_type, algorithm, flags, pkcs8, certificate) "
              "SELECT m.id, k.key_type, k.algorithm, k.flags, k.pkcs8, k.certificate FROM legacy.keystore_keys k "
              "JOIN legacy.keystore_containers c ON c.id = k.container_id "
              "JOIN main.keystore_containers m ON m.family = c.family AND m.name_key = c.name_key;",
              error))
        return false;
    Statement left(keys.Handle(),
                   "SELECT count(*) FROM legacy.keystore_keys k JOIN legacy.keystore_containers c ON c.id = k.container_id "
                   "WHERE NOT EXISTS (SELECT 1 FROM main.keystore_keys mk JOIN main.keystore_containers m "
                   "ON m.id = mk.container_id WHERE m.family = c.family AND m.name_key = c.name_key "
                   "AND mk.key_type = k.key_type AND mk.pkcs8 = k.pkcs8)");
    if (left.Step() != SQLITE_ROW) {
        error = store::ErrorFromSqlite(left.Code());
        return false;
    }
    complete = sqlite3_column_int64(left.Raw(), 0) == 0;
    return true;
}

// Stores written before the machine's private keys had a file of their own
// keep them in the machine database, which every user may read. A process
// with the machine right moves them into the key file in one transaction
// over both files and drops the old tables with their freed pages zeroed,
// so no copy stays readable. A pair that cannot move (a container of the
// same name already holds another key of that kind) stays where it is, and
// the old tables with it: no key is ever lost.
bool MoveLegacyMachineKeys(store::Database& keys, DWORD& error) {
    error = ERROR_SUCCESS;
    auto machine = store::Database::Open(Scope::Machine, false, error);
    if (!machine) {
        if (error == ERROR_FILE_NOT_FOUND) error = ERROR_SUCCESS;
        return error == ERROR_SUCCESS;
    }
    if (!HasLegacyKeys(*machine)) return true;
    std::lock_guard<std::recursive_mutex> guard(keys.Mutex());
    Statement attach(keys.Handle(), "ATTACH DATABASE ?1 AS legacy");
    attach.Text(1, store::DatabasePath(Scope::Machine));
    if (attach.Step() != SQLITE_DONE) {
        error = store::ErrorFromSqlite(attach.Code());
        return false;
    }
    // The machine database keeps a rollback journal (set when it is opened
    // for writing), so the commit below is atomic over both files.
    bool ok = Exec(keys, "PRAGMA legacy.secure_delete=ON", error);
    if (ok) {
        store::Transaction tx(keys);
        ok = tx.Begun();
        if (!ok) error = tx.Error();
        bool complete = false, present = false;
        if (ok) {
            // Another process may have moved them meanwhile.
            Statement still(keys.Handle(),
                            "SELECT 1 FROM legacy.sqlite_master WHERE type='table' AND name='keystore_keys'");
            present = still.Step() == SQLITE_ROW;
        }
        ok = ok && (!present || CopyLegacyKeys(keys, complete, error)) &&
             (!complete || Exec(keys, "DROP TABLE legacy.keystore_keys; DROP TABLE legacy.keystore_containers;", error));
        if (ok && !tx.Commit()) {
            error = tx.Error();
            ok = false;
        }
    }
    DWORD ignored;
    Exec(keys, "DETACH DATABASE legacy", ignored);
    return ok;
}

// The machine's keys: the key file, after moving keys of the earlier layout
// into it when this process may. A process without the machine right that
// finds only the earlier layout reads the keys where they are.
std::shared_ptr<store::Database> OpenMachineKeys(bool forWrite, DWORD& error) {
    static std::mutex moveMutex;
    static std::set<std::string> moved;
    const std::string path = store::DatabasePath(Scope::MachineKeys);
    if (store::MachineScopeWritable()) {
        std::lock_guard<std::mutex> guard(moveMutex);
        if (!moved.count(path)) {
            auto keys = store::Database::Open(Scope::MachineKeys, true, error);
            if (!keys || !keys->EnsureSchema("keystore", kSchema, error) || !MoveLegacyMachineKeys(*keys, error))
                return nullptr;
            moved.insert(path);
        }
        return store::Database::Open(Scope::MachineKeys, forWrite, error);
    }
    auto keys = store::Database::Open(Scope::MachineKeys, forWrite, error);
    if (keys || forWrite || error != ERROR_FILE_NOT_FOUND) return keys;
    DWORD machineError = ERROR_SUCCESS;
    auto machine = store::Database::Open(Scope::Machine, false, machineError);
    if (machine && HasLegacyKeys(*machine)) {
        error = ERROR_SUCCESS;
        return machine;
    }
    return nullptr;
}

std::shared_ptr<store::Database> OpenDatabase(Scope scope, bool forWrite, bool& missing) {
    missing = false;
    DWORD error = ERROR_SUCCESS;
    auto db = scope == Scope::User ? store::Database::Open(scope, forWrite, error) : OpenMachineKeys(forWrite, error);
    if (!db) {
        if (!forWrite && error == ERROR_FILE_NOT_FOUND) {
            missing = true;
            return nullptr;
        }
        SetLastError(error);
        return nullptr;
    }
    if (!db->EnsureSchema("keystore", kSchema, error)) {
        SetLastError(error);
        return nullptr;
    }
    return db;
}

// The row id of a container, 0 when it does not exist, -1 on error.
sqlite3_int64 ContainerId(store::Database& db, Family family, const std::string& key) {
    Statement s(db.Handle(), "SELECT id FROM keystore_containers WHERE family=?1 AND name_key=?2");
    s.Text(1, FamilyTag(family)).Text(2, key);
    int rc = s.Step();
    if (rc == SQLITE_ROW) return sqlite3_column_int64(s.Raw(), 0);
    if (rc == SQLITE_DONE) return 0;
    SetLastError(store::ErrorFromSqlite(rc));
    return -1;
}

// Inside a transaction: the row id of an existing container; NTE_BAD_KEYSET
// when there is none.
bool FindContainer(store::Database& db, Family family, const std::string& key, sqlite3_int64& id) {
    id = ContainerId(db, family, key);
    if (id < 0) return false;
    if (id == 0) return Fail(NTE_BAD_KEYSET);
    return true;
}

// Runs body(database) in one write transaction of the scope's database and
// commits it when body succeeds; nothing is kept otherwise.
template <class Body>
bool InWriteTransaction(Scope scope, Body&& body) {
    bool missing = false;
    auto db = OpenDatabase(scope, true, missing);
    if (!db) return false;
    store::Transaction tx(*db);
    if (!tx.Begun()) return Fail(tx.Error());
    if (!body(*db)) return false;
    if (!tx.Commit()) return Fail(tx.Error());
    return true;
}

// Inside a transaction: a new container row; NTE_EXISTS when the name is taken.
bool InsertContainer(store::Database& db, Family family, const std::u16string& name, const std::string& key) {
    sqlite3_int64 id = ContainerId(db, family, key);
    if (id < 0) return false;
    if (id > 0) return Fail(NTE_EXISTS);
    Statement s(db.Handle(), "INSERT INTO keystore_containers(family, name, name_key) VALUES(?1, ?2, ?3)");
    s.Text(1, FamilyTag(family)).Text(2, ToUtf8(name.c_str(), name.size())).Text(3, key);
    if (s.Step() != SQLITE_DONE) return FailSqlite(s.Code());
    return true;
}

// Inside a transaction: the container's pair of that kind, replacing one there.
bool InsertKey(store::Database& db, sqlite3_int64 id, DWORD keySpec, const StoredKey& stored) {
    Statement s(db.Handle(),
                "INSERT OR REPLACE INTO keystore_keys(container_id, key_type, algorithm, flags, pkcs8, certificate) "
                "VALUES(?1, ?2, ?3, ?4, ?5, ?6)");
    s.Int(1, id).Int(2, keySpec).Int(3, stored.algorithm).Int(4, stored.flags);
    s.Blob(5, stored.pkcs8.data(), stored.pkcs8.size());
    s.Blob(6, stored.certificate.data(), stored.certificate.size());
    if (s.Step() != SQLITE_DONE) return FailSqlite(s.Code());
    return true;
}

}  // namespace

std::string ContainerKey(const std::u16string& name) {
    std::u16string folded = name;
    for (auto& c : folded)
        if (c >= u'A' && c <= u'Z') c = char16_t(c - u'A' + u'a');
    return ToUtf8(folded.c_str(), folded.size());
}

bool ContainerExists(Scope scope, Family family, const std::string& key, bool& exists) {
    exists = false;
    bool missing = false;
    auto db = OpenDatabase(scope, false, missing);
    if (missing) return true;
    if (!db) return false;
    std::lock_guard<std::recursive_mutex> guard(db->Mutex());
    sqlite3_int64 id = ContainerId(*db, family, key);
    if (id < 0) return false;
    exists = id > 0;
    return true;
}

// Writes a new container, and its first key pair when there is one, in one
// transaction: a process killed in between leaves neither.
static bool WriteNewContainer(Scope scope, Family family, const std::u16string& name, const std::string& key,
                              DWORD keySpec, const StoredKey* stored) {
    return InWriteTransaction(scope, [&](store::Database& db) {
        if (!InsertContainer(db, family, name, key)) return false;
        return !stored || InsertKey(db, sqlite3_last_insert_rowid(db.Handle()), keySpec, *stored);
    });
}

bool CreateContainer(Scope scope, Family family, const std::u16string& name, const std::string& key) {
    return WriteNewContainer(scope, family, name, key, 0, nullptr);
}

bool CheckNewContainer(Scope scope, Family family, const std::string& key) {
    bool missing = false;
    auto db = OpenDatabase(scope, true, missing);
    if (!db) return false;
    std::lock_guard<std::recursive_mutex> guard(db->Mutex());
    sqlite3_int64 id = ContainerId(*db, family, key);
    if (id < 0) return false;
    if (id > 0) return Fail(NTE_EXISTS);
    return true;
}

bool CreateContainerWithKey(Scope scope, Family family, const std::u16string& name, const std::string& key,
                            DWORD keySpec, const StoredKey& stored) {
    return WriteNewContainer(scope, family, name, key, keySpec, &stored);
}

bool DeleteContainer(Scope scope, Family family, const std::string& key) {
    bool missing = false;
    auto db = OpenDatabase(scope, false, missing);
    if (missing) return Fail(NTE_BAD_KEYSET);
    if (!db) return false;
    store::Transaction tx(*db);
    if (!tx.Begun()) return Fail(tx.Error());
    sqlite3_int64 id = 0;
    if (!FindContainer(*db, family, key, id)) return false;
    Statement keys(db->Handle(), "DELETE FROM keystore_keys WHERE container_id=?1");
    keys.Int(1, id);
    if (keys.Step() != SQLITE_DONE) return FailSqlite(keys.Code());
    Statement container(db->Handle(), "DELETE FROM keystore_containers WHERE id=?1");
    container.Int(1, id);
    if (container.Step() != SQLITE_DONE) return FailSqlite(container.Code());
    if (!tx.Commit()) return Fail(tx.Error());
    return true;
}

bool ListContainers(Scope scope, Family family, std::vector<std::string>& names) {
    names.clear();
    bool missing = false;
    auto db = OpenDatabase(scope, false, missing);
    if (missing) return true;
    if (!db) return false;
    std::lock_guard<std::recursive_mutex> guard(db->Mutex());
    Statement s(db->Handle(), "SELECT name FROM keystore_containers WHERE family=?1 ORDER BY id");
    s.Text(1, FamilyTag(family));
    int rc;
    while ((rc = s.Step()) == SQLITE_ROW)
        names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(s.Raw(), 0)));
    if (rc != SQLITE_DONE) return FailSqlite(rc);
    return true;
}

bool LoadKey(Scope scope, Family family, const std::string& key, DWORD keySpec, StoredKey& stored, bool& found) {
    found = false;
    bool missing = false;
    auto db = OpenDatabase(scope, false, missing);
    if (missing) return true;
    if (!db) return false;
    std::lock_guard<std::recursive_mutex> guard(db->Mutex());
    Statement s(db->Handle(),
                "SELECT k.algorithm, k.flags, k.pkcs8, k.certificate FROM keystore_keys k "
                "JOIN keystore_containers c ON c.id = k.container_id "
                "WHERE c.family=?1 AND c.name_key=?2 AND k.key_type=?3");
    s.Text(1, FamilyTag(family)).Text(2, key).Int(3, keySpec);
    int rc = s.Step();
    if (rc == SQLITE_DONE) return true;
    if (rc != SQLITE_ROW) return FailSqlite(rc);
    stored.algorithm = ALG_ID(sqlite3_column_int64(s.Raw(), 0));
    stored.flags = DWORD(sqlite3_column_int64(s.Raw(), 1));
    auto blob = static_cast<const BYTE*>(sqlite3_column_blob(s.Raw(), 2));
    stored.pkcs8 = SecureBytes(blob, size_t(sqlite3_column_bytes(s.Raw(), 2)));
    auto cert = static_cast<const BYTE*>(sqlite3_column_blob(s.Raw(), 3));
    int certLength = sqlite3_column_bytes(s.Raw(), 3);
    stored.certificate.assign(cert, cert + (cert ? certLength : 0));
    found = true;
    return true;
}

bool SaveKey(Scope scope, Family family, const std::string& key, DWORD keySpec, const StoredKey& stored) {
    return InWriteTransaction(scope, [&](store::Database& db) {
        sqlite3_int64 id = 0;
        return FindContainer(db, family, key, id) && InsertKey(db, id, keySpec, stored);
    });
}

bool SaveCertificate(Scope scope, Family family, const std::string& key, DWORD keySpec,
                     const std::vector<BYTE>& certificate) {
    return InWriteTransaction(scope, [&](store::Database& db) -> bool {
        sqlite3_int64 id = 0;
        if (!FindContainer(db, family, key, id)) return false;
        Statement s(db.Handle(), "UPDATE keystore_keys SET certificate=?3 WHERE container_id=?1 AND key_type=?2");
        s.Int(1, id).Int(2, keySpec).Blob(3, certificate.data(), certificate.size());
        if (s.Step() != SQLITE_DONE) return FailSqlite(s.Code());
        if (sqlite3_changes(db.Handle()) == 0) return Fail(NTE_NO_KEY);
        return true;
    });
}

}  // namespace tessera::crypt::keystore
