// A consistent view of the current user's store for readers outside the
// key store (the PKCS #11 module). Not part of the Windows API surface; the
// core never includes this header.
#pragma once
#include <memory>

namespace tessera {

// While it lives, every read of the user's database in this process (the
// certificate stores and the key store) sees one committed state: a host
// writing meanwhile is seen completely or not at all. It holds the
// connection's in-process lock, so keep it short and do not write through
// the layer while it is held. A missing database is an empty store.
class StoreReadSnapshot {
public:
    StoreReadSnapshot();
    ~StoreReadSnapshot();
    StoreReadSnapshot(const StoreReadSnapshot&) = delete;
    StoreReadSnapshot& operator=(const StoreReadSnapshot&) = delete;

private:
    struct Held;
    std::unique_ptr<Held> m_held;
};

}  // namespace tessera
