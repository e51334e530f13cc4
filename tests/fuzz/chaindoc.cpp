// The chain-document walk: any document is installed or refused cleanly.
// The roots and intermediates it installs go to scratch machine stores.
#include "CertificateChainInstall.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    UseScratchStores();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ImportCertificateChainfromBlobData(data, DWORD(size));
    return 0;
}
