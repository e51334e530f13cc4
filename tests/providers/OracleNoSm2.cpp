// A Windows build without libcrypto has no SM2 checks at hand; the cases
// that need them skip.
#include "Oracle.h"

namespace oracle {

bool Sm2Available() { return false; }
bool VerifySm2(const Bytes&, const Bytes&, const Bytes&, const std::string&) { return false; }
void GenerateSm2(Bytes& scalar, Bytes& point) {
    scalar.clear();
    point.clear();
}
Bytes Sm2EncryptC1C3C2(const Bytes&, const Bytes&) { return {}; }

}  // namespace oracle
