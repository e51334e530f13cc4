// The key store's SQLite databases for the Windows DLL: the same interface
// as the platform layer's, with the files under the account's application
// data folder (per user: %APPDATA%\Tessera\tessera.db; per machine:
// %ProgramData%\Tessera\machine.db, and the machine's private keys in
// machine-keys.db beside it). The folders are created with access for their
// account only (the machine's: administrators and SYSTEM, read for users;
// the machine's key file: administrators and SYSTEM only). The Windows-side helpers that know these folders are in
// windows/Platform.cpp.
#include "store/Database.h"

#include <sqlite3.h>

#include <map>
#include <string>

extern "C" {
// Writes the UTF-8 folder of the scope's store (or its override) into out;
// false when it cannot be found or does not fit.
BOOL TesseraCspStoreDirectory(BOOL machine, char* out, DWORD size);
// Creates the folder (and its parents) with the scope's access; a Win32 error.
DWORD TesseraCspMakeDirectory(const char* utf8, BOOL machine);
BOOL TesseraCspPathExists(const char* utf8);
BOOL TesseraCspMachineWritable(void);
// Creates the empty file with access for administrators and SYSTEM only; a
// Win32 error.
DWORD TesseraCspCreateRestrictedFile(const char* utf8);
}

namespace tessera::store {
namespace {

std::mutex g_connectionsMutex;
std::map<std::pair<Scope, std::string>, std::shared_ptr<Database>> g_connections;

}  // namespace

std::string StoreDirectory(Scope scope) {
    char buffer[1024];
    if (!TesseraCspStoreDirectory(scope != Scope::User, buffer, sizeof(buffer))) return std::string();
    return buffer;
}

std::string DatabasePath(Scope scope) {
    std::string directory = StoreDirectory(scope);
    if (directory.empty()) return directory;
    switch (scope) {
    case Scope::User: return directory + "\\tessera.db";
    case Scope::Machine: return directory + "\\machine.db";
    case Scope::MachineKeys: return directory + "\\machine-keys.db";
    }
    return std::string();
}

bool MachineScopeWritable() { return TesseraCspMachineWritable() != FALSE; }

DWORD ErrorFromSqlite(int rc) {
    switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW: return ERROR_SUCCESS;
    case SQLITE_FULL: return ERROR_DISK_FULL;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH: return ERROR_ACCESS_DENIED;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return ERROR_BUSY;
    case SQLITE_NOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_CANTOPEN: return ERROR_CANTOPEN;
    case SQLITE_IOERR: return ERROR_CANTWRITE;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB: return ERROR_BAD_FORMAT;
    case SQLITE_CONSTRAINT: return ERROR_ALREADY_EXISTS;
    default: return ERROR_INVALID_FUNCTION;
    }
}

std::shared_ptr<Database> Database::Open(Scope scope, bool forWrite, DWORD& error) {
    error = ERROR_SUCCESS;
    const bool machine = scope != Scope::User;
    if (forWrite && machine && !MachineScopeWritable()) {
        error = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    std::string directory = StoreDirectory(scope);
    std::string path = DatabasePath(scope);
    if (path.empty()) {
        error = ERROR_PATH_NOT_FOUND;
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(g_connectionsMutex);
    auto key = std::make_pair(scope, path);
    auto found = g_connections.find(key);
    if (found != g_connections.end()) return found->second;
    const bool exists = TesseraCspPathExists(path.c_str());
    if (!exists) {
        if (!forWrite) {
            error = ERROR_FILE_NOT_FOUND;
            return nullptr;
        }
        error = TesseraCspMakeDirectory(directory.c_str(), machine);
        if (error != ERROR_SUCCESS) return nullptr;
    }
    // A machine store that this account may not change is read only.
    const bool writable = !machine || MachineScopeWritable();
    const int flags = (writable ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY) |
                      SQLITE_OPEN_FULLMUTEX;
    // The machine's key file is made empty first, with its own access.
    if (!exists && scope == Scope::MachineKeys) {
        error = TesseraCspCreateRestrictedFile(path.c_str());
        if (error != ERROR_SUCCESS) return nullptr;
    }
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        error = ErrorFromSqlite(rc);
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, 10000);
    // As on the other platforms: the user's database keeps a write-ahead log;
    // the machine's a rollback journal, which read-only readers can use.
    const char* pragmas = machine ? "PRAGMA journal_mode=DELETE; PRAGMA foreign_keys=ON;"
                                  : "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON;";
    if (writable) sqlite3_exec(db, pragmas, nullptr, nullptr, nullptr);
    std::shared_ptr<Database> database(new Database(scope, db));
    g_connections[key] = database;
    return database;
}

Database::~Database() { sqlite3_close(m_db); }

bool Database::EnsureSchema(const char* component, const char* sql, DWORD& error) {
    std::lock_guard<std::recursive_mutex> guard(m_mutex);
    error = ERROR_SUCCESS;
    if (m_schemas.count(component)) return true;
    char* message = nullptr;
    int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, &message);
    sqlite3_free(message);
    if (rc != SQLITE_OK) {
        error = ErrorFromSqlite(rc);
        return false;
    }
    m_schemas.insert(component);
    return true;
}

Transaction::Transaction(Database& db) : m_db(db), m_lock(db.Mutex()) {
    int rc = sqlite3_exec(m_db.Handle(), "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    m_begun = rc == SQLITE_OK;
    if (!m_begun) m_error = ErrorFromSqlite(rc);
}

Transaction::~Transaction() {
    if (m_begun && !m_done) sqlite3_exec(m_db.Handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

bool Transaction::Commit() {
    if (!m_begun || m_done) return false;
    int rc = sqlite3_exec(m_db.Handle(), "COMMIT", nullptr, nullptr, nullptr);
    m_done = true;
    if (rc != SQLITE_OK) {
        m_error = ErrorFromSqlite(rc);
        sqlite3_exec(m_db.Handle(), "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    return true;
}

void ResetConnectionsForTesting() {
    std::lock_guard<std::mutex> guard(g_connectionsMutex);
    g_connections.clear();
}

}  // namespace tessera::store
