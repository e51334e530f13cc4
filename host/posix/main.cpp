// Entry point for systems whose program entry takes 8-bit arguments: the
// arguments are converted from UTF-8 to UTF-16 and handed to the same wmain
// as on Windows.
#include <windows.h>

#include <malloc.h>
#include <signal.h>

#include <vector>

#include "Misc.h"
#include "TesseraHost.h"

int main(int argc, char* argv[]) {
    // Messages of up to a few MiB are served from the heap and the heap is
    // not handed back to the system after each one, so a conversation of
    // large messages does not map, fault in and unmap its buffers anew for
    // every request. The peak stays that of the largest message.
    mallopt(M_MMAP_THRESHOLD, 4 << 20);
    mallopt(M_TRIM_THRESHOLD, 8 << 20);
    // A reader that has gone away makes the response's write fail, and the
    // host ends with -1 as it does on Windows, instead of being killed.
    signal(SIGPIPE, SIG_IGN);
    std::vector<WideBuffer> args;
    std::vector<WCHAR*> wargv;
    static WCHAR empty[1] = {0};
    for (int i = 0; i < argc; ++i) {
        WideBuffer wide;
        DWORD dwLength = 0;
        if (FAILED(UTF8ToUTF16(argv[i], wide, dwLength))) wide.reset();
        wargv.push_back(wide ? wide.get() : empty);
        args.push_back(std::move(wide));
    }
    wargv.push_back(nullptr);
    return wmain(argc, wargv.data());
}
