#include "TestPlatform.h"

#include <tessera/platform_internal.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <unistd.h>

namespace testsupport {

void SetUserInterfaceLanguage(LANGID language) {
    setenv("LC_ALL", language == 2052 ? "zh_CN.UTF-8" : "en_US.UTF-8", 1);
}

void SetEnvironment(const char* name, const char* value) { setenv(name, value, 1); }
void UnsetEnvironment(const char* name) { unsetenv(name); }

std::string MakeTemporaryDirectory() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tessera-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back(0);
    return mkdtemp(buffer.data()) ? std::string(buffer.data()) : std::string();
}

bool ReadFile(const std::string& path, std::vector<unsigned char>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

std::string NarrowPath(const WCHAR* path) { return tessera::ToUtf8(path); }

}  // namespace testsupport
