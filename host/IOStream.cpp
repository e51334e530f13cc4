#include "IOStream.h"

#include <io.h>
#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "VelaTrace.h"

int SetTranslationMode() {
    VELA_TRACE_SCOPE("SetTranslationMode");
    static const char kFunction[] = "SetTranslationMode";
    const int nMode = _O_BINARY;  // 0x8000: no CR LF translation, no end-of-file character
    VELA_HOST_SUCCESS(kFunction, "Check Parameters(nMode)");
    int nResult = _setmode(_fileno(stdin), nMode);
    if (-1 == nResult) {
        VELA_HOST_FAILURE(-1, kFunction, "_setmode(stdin)", "-1 == nResult");
        return -1;
    }
    VELA_HOST_SUCCESS(kFunction, "_setmode(stdin)");
    nResult = _setmode(_fileno(stdout), nMode);
    if (-1 == nResult) {
        VELA_HOST_FAILURE(-1, kFunction, "_setmode(stdout)", "-1 == nResult");
        return -1;
    }
    VELA_HOST_SUCCESS(kFunction, "_setmode(stdout)");
    return 0;
}

int ReadFromNativeMessaging(CharBuffer* ppszInputMsg, int fd, DWORD* pdwLength) {
    VELA_TRACE_SCOPE("ReadFromNativeMessaging");
    static const char kFunction[] = "ReadFromNativeMessaging";
    // The length prefix. End of input leaves the buffer zero (length 0); a
    // prefix that arrives in pieces is assembled, one cut short by end of
    // input reads as a small length whose body then runs into end of input.
    unsigned char prefix[4] = {0, 0, 0, 0};
    unsigned int nPrefixRead = 0;
    while (nPrefixRead < sizeof prefix) {
        int n = _read(fd, prefix + nPrefixRead, unsigned(sizeof prefix - nPrefixRead));
        if (n < 0 && nPrefixRead == 0) {
            // A channel that cannot be read at all is a read failure, not
            // the end of the conversation.
            int nError = errno;
            VELA_HOST_FAILURE(nError, kFunction, "_read(length)", "-1 == nReadSize");
            return nError ? nError : -1;
        }
        if (n <= 0) break;
        nPrefixRead += unsigned(n);
    }
    DWORD dwLength = DWORD(prefix[0]) | DWORD(prefix[1]) << 8 | DWORD(prefix[2]) << 16 | DWORD(prefix[3]) << 24;
    if (dwLength == NM_END_LENGTH_ZERO || dwLength == NM_END_LENGTH_ALL_ONES) {
        VELA_HOST_SUCCESS(kFunction, "End of input");
        if (ppszInputMsg) ppszInputMsg->reset();
        if (pdwLength) *pdwLength = 0;
        return 0;
    }
    if (dwLength > NM_MAX_REQUEST_LENGTH) {
        VELA_HOST_FAILURE(-1, kFunction, "Check length", "nMsgLength > NM_MAX_REQUEST_LENGTH");
        return -1;
    }
    // Every byte of the body is read into the buffer before it is used, so
    // only the terminator is written beforehand.
    CharBuffer pszInputMsg(new (std::nothrow) char[size_t(dwLength) + 1]);
    if (!pszInputMsg) {
        VELA_HOST_FAILURE(-1, kFunction, "New memory", "!pszInputMsg");
        return -1;
    }
    VELA_HOST_SUCCESS(kFunction, "New memory");
    pszInputMsg[dwLength] = '\0';
    DWORD dwReceived = 0;
    while (dwReceived < dwLength) {
        int n = _read(fd, pszInputMsg.get() + dwReceived, unsigned(dwLength - dwReceived));
        if (n < 0) {
            int nError = errno;
            VELA_HOST_FAILURE(nError, kFunction, "_read", "-1 == nReadSize");
            return nError ? nError : -1;
        }
        if (n == 0) {
            // End of input inside a body: the partial message is discarded.
            VELA_HOST_FAILURE(-1, kFunction, "_read", "0 == nReadSize");
            return -1;
        }
        dwReceived += DWORD(n);
    }
    VELA_HOST_SUCCESS(kFunction, "_read");
    if (ppszInputMsg) *ppszInputMsg = std::move(pszInputMsg);
    if (pdwLength) *pdwLength = dwLength;
    return 0;
}

int WriteToNativeMessaging(const char* pszMsg, int fd) {
    VELA_TRACE_SCOPE("WriteToNativeMessaging");
    static const char kFunction[] = "WriteToNativeMessaging";
    size_t nLength = pszMsg ? std::strlen(pszMsg) : 0;
    if (nLength > NM_MAX_RESPONSE_LENGTH) {
        // An impossible length tells the browser the conversation is over.
        ByteBuffer pbyWriteBuf = AllocZeroed<BYTE>(4);
        if (!pbyWriteBuf) {
            VELA_HOST_FAILURE(-1, kFunction, "New memory", "!pbyWriteBuf");
            return -1;
        }
        std::memset(pbyWriteBuf.get(), 0xFF, 4);
        int nWriteSize = _write(fd, pbyWriteBuf.get(), 4);
        if (nWriteSize != 4) VELA_HOST_FAILURE(-1, kFunction, "write", "nWriteSize != nWriteBufSize");
        VELA_HOST_FAILURE(-1, kFunction, "Check length", "nMsgLength > NM_MAX_RESPONSE_LENGTH");
        return -1;
    }
    const size_t nWriteBufSize = nLength + 4;
    // Prefix and text fill the whole frame buffer: it is not cleared first.
    ByteBuffer pbyWriteBuf(new (std::nothrow) BYTE[nWriteBufSize]);
    if (!pbyWriteBuf) {
        VELA_HOST_FAILURE(-1, kFunction, "New memory", "!pbyWriteBuf");
        return -1;
    }
    BYTE* p = pbyWriteBuf.get();
    p[0] = BYTE(nLength);
    p[1] = BYTE(nLength >> 8);
    p[2] = BYTE(nLength >> 16);
    p[3] = BYTE(nLength >> 24);
    if (nLength) std::memcpy(p + 4, pszMsg, nLength);
    int nWriteSize = _write(fd, p, unsigned(nWriteBufSize));
    if (nWriteSize < 0 || size_t(nWriteSize) != nWriteBufSize) {
        VELA_HOST_FAILURE(-1, kFunction, "write", "nWriteSize != nWriteBufSize");
        return -1;
    }
    VELA_HOST_SUCCESS(kFunction, "write");
    return 0;
}
