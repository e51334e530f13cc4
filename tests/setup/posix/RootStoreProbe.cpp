#include "SetupTestSupport.h"

namespace setuptest {

// The store layer's "ROOT" store reads the trusted-root registry key.
bool RootStoreReadsRegistry() { return true; }

}  // namespace setuptest
