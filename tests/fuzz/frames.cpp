// The frame reader: any byte stream on the channel is read frame by frame
// until it ends or fails, each message holding exactly its announced
// length, and a message written back reads back the same.
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "FuzzSupport.h"
#include "IOStream.h"

namespace {

// A channel holding the bytes, read from its start.
int Channel(const uint8_t* data, size_t size) {
    int fd = memfd_create("tessera-fuzz-channel", 0);
    FUZZ_CHECK(fd >= 0);
    for (size_t done = 0; done < size;) {
        ssize_t n = write(fd, data + done, size - done);
        FUZZ_CHECK(n > 0);
        done += size_t(n);
    }
    FUZZ_CHECK(lseek(fd, 0, SEEK_SET) == 0);
    return fd;
}

void CheckWriteBack(const char* message) {
    int fd = Channel(nullptr, 0);
    FUZZ_CHECK(WriteToNativeMessaging(message, fd) == 0);
    FUZZ_CHECK(lseek(fd, 0, SEEK_SET) == 0);
    CharBuffer again;
    DWORD length = 0;
    FUZZ_CHECK(ReadFromNativeMessaging(&again, fd, &length) == 0);
    FUZZ_CHECK(length == std::strlen(message) && std::memcmp(again.get(), message, length) == 0);
    close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int fd = Channel(data, size);
    size_t consumed = 0;
    for (;;) {
        CharBuffer message;
        DWORD length = 0;
        if (ReadFromNativeMessaging(&message, fd, &length) != 0 || length == 0) break;
        FUZZ_CHECK(message && message[length] == '\0');
        consumed += 4 + size_t(length);
        FUZZ_CHECK(consumed <= size && std::memcmp(message.get(), data + consumed - length, length) == 0);
        if (std::strlen(message.get()) > 0) CheckWriteBack(message.get());
    }
    close(fd);
    return 0;
}
