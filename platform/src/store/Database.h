// The per-user and per-machine SQLite databases that hold the key store,
// the certificate stores and the registry. One connection per scope per
// process, opened lazily; every change runs inside a Transaction so that a
// process killed at any instant leaves the old or the new state.
#pragma once
#include <windows.h>

#include <memory>
#include <mutex>
#include <set>
#include <string>

struct sqlite3;

namespace tessera::store {

// MachineKeys is the file of the machine's private keys (CRYPT_MACHINE_KEYSET),
// beside the machine database but readable by its owner only.
enum class Scope { User, Machine, MachineKeys };

class Database {
public:
    // Opens the scope's database. The directory and file are created on the
    // first write: 0700/0600 for the user's, 0755/0644 for the machine's,
    // which every user may read (a read-only connection when the file is
    // not writable), 0600 for the machine's keys in that same directory.
    // forWrite fails with ERROR_ACCESS_DENIED when the store is not writable
    // by this process; a read of a database that does not exist yet returns
    // nullptr with ERROR_FILE_NOT_FOUND, of one this process may not read
    // with ERROR_ACCESS_DENIED.
    static std::shared_ptr<Database> Open(Scope scope, bool forWrite, DWORD& error);

    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    sqlite3* Handle() const { return m_db; }
    Scope GetScope() const { return m_scope; }
    // Runs a component's CREATE ... IF NOT EXISTS statements once per process.
    bool EnsureSchema(const char* component, const char* sql, DWORD& error);
    // Serialises users of the connection inside this process.
    std::recursive_mutex& Mutex() { return m_mutex; }

private:
    Database(Scope scope, sqlite3* db) : m_scope(scope), m_db(db) {}
    Scope m_scope;
    sqlite3* m_db;
    std::recursive_mutex m_mutex;
    std::set<std::string> m_schemas;
};

// BEGIN IMMEDIATE on construction; rolls back in the destructor unless
// Commit() succeeded. Holds the database's in-process mutex meanwhile.
class Transaction {
public:
    explicit Transaction(Database& db);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    bool Begun() const { return m_begun; }
    DWORD Error() const { return m_error; }
    bool Commit();

private:
    Database& m_db;
    std::unique_lock<std::recursive_mutex> m_lock;
    bool m_begun = false;
    bool m_done = false;
    DWORD m_error = ERROR_SUCCESS;
};

// Where the scope's database lives:
//   user:    $TESSERA_STORE_DIR, else $XDG_DATA_HOME/tessera, else ~/.local/share/tessera
//   machine: $TESSERA_MACHINE_STORE_DIR, else /var/lib/tessera (the
//            machine's keys too: machine-keys.db beside machine.db)
std::string StoreDirectory(Scope scope);
std::string DatabasePath(Scope scope);
// Whether this process may change the machine scope: the superuser, or
// anyone when the machine directory is overridden for tests; the switch
// TESSERA_MACHINE_STORE_READONLY=1 withholds the right (testing aid, since
// tests often run as root).
bool MachineScopeWritable();
DWORD ErrorFromSqlite(int rc);
// Drops the cached connections (tests that switch directories call it).
void ResetConnectionsForTesting();

}  // namespace tessera::store
