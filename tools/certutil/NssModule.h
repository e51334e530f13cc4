// nss-register / nss-unregister: adds the Tessera PKCS #11 module to a
// user's NSS database (Chromium's ~/.pki/nssdb by default) with NSS's
// modutil, or removes it.
#pragma once
#include <string>
#include <vector>

// args: [NSSDB [MODULE]]. Returns the process exit code.
int RegisterNssModule(const std::vector<std::string>& args);
// args: [NSSDB].
int UnregisterNssModule(const std::vector<std::string>& args);
