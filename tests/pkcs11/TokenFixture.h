// Puts one RSA key with a certificate into the current user's store, the way
// an enrollment leaves it (a Tessera RSA container whose signature key holds
// its certificate, linked into "MY"), for programs that need a token object
// without running the host: the benchmark and the fuzz target.
#pragma once
#include <string>

namespace tessera::test {

// The key's bits; the certificate's subject is CN=<cn>, issued by a
// throwaway key. False when a step fails.
bool AddRsaKey(const std::u16string& container, unsigned bits, const char* cn);

}  // namespace tessera::test
