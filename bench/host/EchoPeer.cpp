// The pipe's own limit: reads length-prefixed frames from standard input
// and writes each one back unchanged, with the same descriptor calls as the
// host, until the input ends.
#include <io.h>

#include <cstdio>
#include <vector>

namespace {

bool ReadAll(int fd, unsigned char* p, unsigned n) {
    while (n) {
        int got = _read(fd, p, n);
        if (got <= 0) return false;
        p += got;
        n -= unsigned(got);
    }
    return true;
}

}  // namespace

int main() {
    const int in = _fileno(stdin), out = _fileno(stdout);
    _setmode(in, _O_BINARY);
    _setmode(out, _O_BINARY);
    std::vector<unsigned char> frame;
    for (;;) {
        unsigned char prefix[4];
        if (!ReadAll(in, prefix, 4)) return 0;
        unsigned n = unsigned(prefix[0]) | unsigned(prefix[1]) << 8 | unsigned(prefix[2]) << 16 |
                     unsigned(prefix[3]) << 24;
        if (n == 0 || n == 0xFFFFFFFFu) return 0;
        frame.resize(size_t(n) + 4);
        for (int i = 0; i < 4; ++i) frame[size_t(i)] = prefix[i];
        if (!ReadAll(in, frame.data() + 4, n)) return 1;
        if (_write(out, frame.data(), n + 4) != int(n + 4)) return 1;
    }
}
