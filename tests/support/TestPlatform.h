// Small platform services the tests need (environment, user-interface
// language, files), implemented once per platform.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace testsupport {

// Makes the error-text lookups of this process pick the given language
// (1033 English, 2052 Simplified Chinese).
void SetUserInterfaceLanguage(LANGID language);
void SetEnvironment(const char* name, const char* value);
void UnsetEnvironment(const char* name);
// A new empty directory under the system's temporary directory.
std::string MakeTemporaryDirectory();
bool ReadFile(const std::string& path, std::vector<unsigned char>& bytes);
// Narrow (UTF-8) form of a platform wide path.
std::string NarrowPath(const WCHAR* path);

}  // namespace testsupport
