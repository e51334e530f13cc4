// Shared-object builds: a load-time constructor records the module handle
// (the platform layer answers for the object it is linked into).
#include <windows.h>

#include "BrowserServices.h"

namespace {

__attribute__((constructor)) void AttachModule() { AttachPluginModule(GetModuleHandleW(nullptr)); }

}  // namespace
