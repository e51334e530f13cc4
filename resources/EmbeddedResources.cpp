// The module's resources for platforms without PE resources: the same
// tables the Windows resource script compiles, as data.
#include <tessera/resources.h>

namespace {

#define VELA_ERROR_TEXT(id, name, en, zh) {1033, id, en}, {2052, id, zh},
const TesseraStringResource kStrings[] = {
#include "ErrorText.def"
};
#undef VELA_ERROR_TEXT

}  // namespace

extern "C" const TesseraStringResource* TesseraStringResources(size_t* count) {
    *count = sizeof kStrings / sizeof kStrings[0];
    return kStrings;
}

// The CA-chain documents, generated at build time from resources/chains.
extern "C" const TesseraDataResource* TesseraCertificateDocuments(size_t* count);

extern "C" const TesseraDataResource* TesseraDataResources(size_t* count) {
    return TesseraCertificateDocuments(count);
}
