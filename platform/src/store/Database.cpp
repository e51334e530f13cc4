#include "Database.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tessera::store {
namespace {

std::mutex g_connectionsMutex;
std::map<std::pair<Scope, std::string>, std::shared_ptr<Database>> g_connections;

std::string EnvOr(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return (value && *value) ? std::string(value) : fallback;
}

std::string HomeDirectory() {
    const char* home = std::getenv("HOME");
    if (home && *home) return home;
    struct passwd* pw = getpwuid(getuid());
    return pw && pw->pw_dir ? pw->pw_dir : "/";
}

bool MakeDirectories(const std::string& path, mode_t mode) {
    if (path.empty()) return false;
    struct stat st;
    if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeDirectories(path.substr(0, slash), mode)) return false;
    return mkdir(path.c_str(), mode) == 0 || errno == EEXIST;
}

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

}  // namespace

std::string StoreDirectory(Scope scope) {
    if (scope != Scope::User) return EnvOr("TESSERA_MACHINE_STORE_DIR", "/var/lib/tessera");
    std::string override = EnvOr("TESSERA_STORE_DIR", "");
    if (!override.empty()) return override;
    std::string data = EnvOr("XDG_DATA_HOME", HomeDirectory() + "/.local/share");
    return data + "/tessera";
}

std::string DatabasePath(Scope scope) {
    const char* file = scope == Scope::Machine ? "/machine.db" : scope == Scope::MachineKeys ? "/machine-keys.db"
                                                                                              : "/tessera.db";
    return StoreDirectory(scope) + file;
}

bool MachineScopeWritable() {
    const char* readOnly = std::getenv("TESSERA_MACHINE_STORE_READONLY");
    if (readOnly && std::string(readOnly) == "1") return false;
    const char* override = std::getenv("TESSERA_MACHINE_STORE_DIR");
    if (geteuid() == 0) return true;
    return override && *override && access(override, W_OK) == 0;
}

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
    if (forWrite && scope != Scope::User && !MachineScopeWritable()) {
        error = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    // The user's database is private to the user. The machine's is readable
    // by every user (as the machine stores are on Windows) and written only
    // by those with the machine right; it keeps a rollback journal, which
    // read-only readers can use, instead of a write-ahead log. The machine's
    // private keys are in a file of their own that only its owner reads.
    const bool machine = scope != Scope::User;
    const bool shared = scope == Scope::Machine;
    std::string directory = StoreDirectory(scope);
    std::string path = DatabasePath(scope);
    std::lock_guard<std::mutex> guard(g_connectionsMutex);
    auto key = std::make_pair(scope, path);
    auto found = g_connections.find(key);
    if (found != g_connections.end()) return found->second;
    if (!Exists(path)) {
        if (!forWrite) {
            error = ERROR_FILE_NOT_FOUND;
            return nullptr;
        }
        if (!MakeDirectories(directory, machine ? 0755 : 0700)) {
            error = errno == EACCES || errno == EROFS ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND;
            return nullptr;
        }
    }
    if (forWrite && access(directory.c_str(), W_OK) != 0) {
        error = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    if (Exists(path) && access(path.c_str(), R_OK) != 0) {
        error = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    const bool writable = !Exists(path) || access(path.c_str(), W_OK) == 0;
    const int flags = (writable ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY) |
                      SQLITE_OPEN_FULLMUTEX;
    mode_t previous = umask(shared ? 022 : 077);
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    umask(previous);
    if (rc != SQLITE_OK) {
        error = ErrorFromSqlite(rc);
        sqlite3_close(db);
        return nullptr;
    }
    if (writable) chmod(path.c_str(), shared ? 0644 : 0600);
    sqlite3_busy_timeout(db, 10000);
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
    if (rc != SQLITE_OK) {
        m_error = ErrorFromSqlite(rc);
        sqlite3_exec(m_db.Handle(), "ROLLBACK", nullptr, nullptr, nullptr);
        m_done = true;
        return false;
    }
    m_done = true;
    return true;
}

void ResetConnectionsForTesting() {
    std::lock_guard<std::mutex> guard(g_connectionsMutex);
    g_connections.clear();
}

}  // namespace tessera::store
