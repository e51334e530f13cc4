// Registers the module through modutil, run directly (no shell) with the
// database and module paths as single arguments.
#include "NssModule.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>

namespace {

const char kModuleName[] = "Tessera";

std::string DefaultDatabase() {
    const char* home = std::getenv("HOME");
    return std::string(home ? home : ".") + "/.pki/nssdb";
}

std::string DefaultModule() {
    const char* module = std::getenv("TESSERA_PKCS11_MODULE");
    return module && *module ? module : TESSERA_PKCS11_INSTALLED;
}

// quiet: the program's output goes to /dev/null (an expected failure).
int Run(std::vector<std::string> argv, bool quiet = false) {
    std::vector<char*> raw;
    for (auto& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    pid_t child = fork();
    if (child < 0) return 1;
    if (child == 0) {
        if (quiet) {
            int null = open("/dev/null", O_WRONLY);
            if (null >= 0) {
                dup2(null, 1);
                dup2(null, 2);
            }
        }
        execvp(raw[0], raw.data());
        _exit(127);
    }
    int status = 0;
    if (waitpid(child, &status, 0) < 0) return 1;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 127) std::cerr << argv[0] << " not found (libnss3-tools)\n";
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// NSS keeps a database of the SQL format in cert9.db; make an empty one
// (no password) the first time, as Chromium would.
int EnsureDatabase(const std::string& dir) {
    if (Exists(dir + "/cert9.db")) return 0;
    std::string parent = dir.substr(0, dir.find_last_of('/'));
    if (!parent.empty() && !Exists(parent)) mkdir(parent.c_str(), 0700);
    if (!Exists(dir) && mkdir(dir.c_str(), 0700) != 0) {
        std::cerr << "cannot create " << dir << "\n";
        return 1;
    }
    return Run({"certutil", "-N", "-d", "sql:" + dir, "--empty-password"});
}

}  // namespace

int RegisterNssModule(const std::vector<std::string>& args) {
    const std::string dir = args.size() > 0 ? args[0] : DefaultDatabase();
    const std::string module = args.size() > 1 ? args[1] : DefaultModule();
    if (!Exists(module)) {
        std::cerr << "no module at " << module << "\n";
        return 1;
    }
    if (int rc = EnsureDatabase(dir); rc != 0) return rc;
    // Registering again replaces the entry, so the command can be repeated.
    Run({"modutil", "-dbdir", "sql:" + dir, "-delete", kModuleName, "-force"}, true);
    int rc = Run({"modutil", "-dbdir", "sql:" + dir, "-add", kModuleName, "-libfile", module, "-force"});
    if (rc == 0) std::cout << "Registered " << module << " as \"" << kModuleName << "\" in " << dir << "\n";
    return rc;
}

int UnregisterNssModule(const std::vector<std::string>& args) {
    const std::string dir = args.size() > 0 ? args[0] : DefaultDatabase();
    if (!Exists(dir + "/pkcs11.txt")) {
        std::cerr << "no NSS database in " << dir << "\n";
        return 1;
    }
    return Run({"modutil", "-dbdir", "sql:" + dir, "-delete", kModuleName, "-force"});
}
