// The account look-up the engine makes for the default container name, on
// Windows: the logged-on user's name (there is no passwd database).
#pragma once

struct passwd {
    const char* pw_name;
    const char* pw_dir;
};

extern "C" const char* TesseraCspUserName(void);

inline int getuid() { return 0; }
inline struct passwd* getpwuid(int) {
    static thread_local struct passwd entry;
    entry.pw_name = TesseraCspUserName();
    entry.pw_dir = nullptr;
    return entry.pw_name ? &entry : nullptr;
}
