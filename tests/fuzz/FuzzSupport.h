// Helpers shared by the fuzz targets: turning the fuzzer's bytes into the
// texts the core takes, a hard check that reports and aborts, and scratch
// stores so that a campaign never touches the real ones.
#pragma once
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "Misc.h"

// A property every input must keep; a violation is a finding.
#define FUZZ_CHECK(condition)                                                              \
    do {                                                                                   \
        if (!(condition)) {                                                                \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                  \
        }                                                                                  \
    } while (false)

// The bytes as UTF-8 text (up to the first NUL) converted to UTF-16, the
// way page texts reach the core.
inline WString WideFromInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    WideBuffer wide;
    DWORD length = 0;
    if (FAILED(UTF8ToUTF16(text.c_str(), wide, length))) return WString();
    return WString(wide.get(), length);
}

// Points the user and machine stores at a fresh temporary directory,
// removed when the process exits normally.
inline void UseScratchStores() {
    static std::string root;
    std::string pattern = (std::filesystem::temp_directory_path() / "tessera-fuzz-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) std::abort();
    root = buffer.data();
    std::filesystem::create_directories(root + "/user");
    std::filesystem::create_directories(root + "/machine");
    setenv("TESSERA_STORE_DIR", (root + "/user").c_str(), 1);
    setenv("TESSERA_MACHINE_STORE_DIR", (root + "/machine").c_str(), 1);
    unsetenv("TESSERA_MACHINE_STORE_READONLY");
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    });
}
