// StoreReadSnapshot: one read transaction on the user's connection. In WAL
// mode a reader's snapshot starts with its first read, so the constructor
// reads once right after BEGIN.
#include <tessera/store_snapshot.h>

#include "Database.h"

#include <sqlite3.h>

#include <mutex>

namespace tessera {

struct StoreReadSnapshot::Held {
    std::shared_ptr<store::Database> db;
    std::unique_lock<std::recursive_mutex> lock;
    bool begun = false;
};

StoreReadSnapshot::StoreReadSnapshot() : m_held(std::make_unique<Held>()) {
    DWORD error = ERROR_SUCCESS;
    m_held->db = store::Database::Open(store::Scope::User, false, error);
    if (!m_held->db) return;
    m_held->lock = std::unique_lock<std::recursive_mutex>(m_held->db->Mutex());
    sqlite3* handle = m_held->db->Handle();
    if (!sqlite3_get_autocommit(handle)) return;  // already inside a transaction of this thread
    if (sqlite3_exec(handle, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) return;
    m_held->begun = true;
    sqlite3_exec(handle, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
}

StoreReadSnapshot::~StoreReadSnapshot() {
    if (m_held->begun) sqlite3_exec(m_held->db->Handle(), "COMMIT", nullptr, nullptr, nullptr);
}

}  // namespace tessera
