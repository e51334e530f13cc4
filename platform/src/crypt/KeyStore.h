// Persistence of key containers and their key pairs in the scope's SQLite
// database. Private keys are kept as PKCS #8 DER. Each function that
// changes state runs as one transaction; on failure it returns false with
// the thread's last error set.
#pragma once
#include "Csp.h"

#include <optional>

namespace tessera::crypt::keystore {

struct StoredKey {
    ALG_ID algorithm = 0;
    DWORD flags = 0;
    SecureBytes pkcs8;
    std::vector<BYTE> certificate;
};

// The case-folded lookup key of a container name (container names compare
// without regard to ASCII case, as on Windows).
std::string ContainerKey(const std::u16string& name);

bool ContainerExists(Scope scope, Family family, const std::string& key, bool& exists);
// NTE_EXISTS when the container is already there.
bool CreateContainer(Scope scope, Family family, const std::u16string& name, const std::string& key);
// Whether a container of that name could be created now: the database is
// opened for writing (created if need be) and NTE_EXISTS reports a taken name.
bool CheckNewContainer(Scope scope, Family family, const std::string& key);
// A new container and its first key pair, in one transaction.
bool CreateContainerWithKey(Scope scope, Family family, const std::u16string& name, const std::string& key,
                            DWORD keySpec, const StoredKey& stored);
// NTE_BAD_KEYSET when there is no such container. Its keys go with it.
bool DeleteContainer(Scope scope, Family family, const std::string& key);
bool ListContainers(Scope scope, Family family, std::vector<std::string>& names);

// found=false (and true returned) when the container has no pair of that kind.
bool LoadKey(Scope scope, Family family, const std::string& key, DWORD keySpec, StoredKey& stored, bool& found);
// Replaces the container's pair of that kind (its certificate goes with it).
// NTE_BAD_KEYSET when the container was deleted meanwhile.
bool SaveKey(Scope scope, Family family, const std::string& key, DWORD keySpec, const StoredKey& stored);
bool SaveCertificate(Scope scope, Family family, const std::string& key, DWORD keySpec,
                     const std::vector<BYTE>& certificate);

}  // namespace tessera::crypt::keystore
