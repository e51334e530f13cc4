#include "TesseraHost.h"

#include <io.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "CertificateChainDelete.h"
#include "HostMemory.h"
#include "IOStream.h"
#include "VelaTrace.h"
#include "nmCryptoAgent.h"

HINSTANCE g_hInstance = nullptr;
CCryptoAgent* g_pobjCryptoAgent = nullptr;

namespace {

// Request and response texts go to the trace in full, in pieces that fit
// one trace line and never split a UTF-8 sequence; nothing is done unless
// information messages are enabled.
void TraceMessageText(const char* pszLabel, const char* pszText) {
    if (!TraceEnabled(TRACE_FLAG_INFO) || !pszText) return;
    constexpr size_t kPiece = 384;
    const size_t nLength = std::strlen(pszText);
    char piece[kPiece + 1];
    size_t nOffset = 0;
    do {
        size_t n = nLength - nOffset < kPiece ? nLength - nOffset : kPiece;
        if (nOffset + n < nLength) {
            size_t cut = n;
            while (cut > 0 && (static_cast<unsigned char>(pszText[nOffset + cut]) & 0xC0) == 0x80) --cut;
            if (cut > 0) n = cut;
        }
        std::memcpy(piece, pszText + nOffset, n);
        piece[n] = '\0';
        WideBuffer wide;
        DWORD dwLength = 0;
        if (SUCCEEDED(UTF8ToUTF16(piece, wide, dwLength))) TraceInfo(TEXT("%s: %ws"), pszLabel, wide.get());
        nOffset += n;
    } while (nOffset < nLength);
}

// Requests from this size on are followed by handing the freed memory back:
// buffers of that size are mapped on their own anyway, and the many smaller
// pieces such a request leaves behind would keep the process large.
constexpr DWORD kReleaseAfterLength = 4u << 20;

bool IsInstallationSwitch(const WCHAR* pwszArg) {
    return pwszArg && pwszArg[0] == u'-' && (pwszArg[1] == u'i' || pwszArg[1] == u'I') && pwszArg[2] == 0;
}

}  // namespace

HRESULT ParseAndRespondRequest(CharBuffer& pszRequestMsg, JSONText* pszResponseMsg) {
    VELA_TRACE_SCOPE("ParseAndRespondRequest");
    static const char kFunction[] = "ParseAndRespondRequest";
    JSONText pszFunctionName;
    JSONText pszRandomId;
    JSONPtr pJSONParams;
    JSONPtr pResponseJSON;
    HRESULT nResult = ParseRequestMsgToJSON(pszFunctionName, pJSONParams, pszRequestMsg.get(), pszRandomId);
    pszRequestMsg.reset();
    if (nResult != VELA_OK) {
        VELA_HOST_FAILURE(nResult, kFunction, "ParseRequestMsgToJSON", "VELA_OK != nResult");
    } else {
        VELA_HOST_SUCCESS(kFunction, "ParseRequestMsgToJSON");
        nResult = Invoke(pResponseJSON, pszFunctionName.get(), pJSONParams.get(), g_pobjCryptoAgent);
        if (nResult != VELA_OK)
            VELA_HOST_FAILURE(nResult, kFunction, "Invoke", "VELA_OK != nResult");
        else
            VELA_HOST_SUCCESS(kFunction, "Invoke");
    }
    ConvertJSONToResponseMsg(pszFunctionName ? pszFunctionName.get() : "", pszRandomId.get(), pResponseJSON.get(),
                             pszResponseMsg);
    return VELA_OK;
}

int MsgHandleProc() {
    VELA_TRACE_SCOPE("MsgHandleProc");
    static const char kFunction[] = "MsgHandleProc";
    const int fdIn = _fileno(stdin);
    const int fdOut = _fileno(stdout);
    for (;;) {
        // Each request's buffers live for one pass only.
        CharBuffer pszInputMsg;
        DWORD dwLength = 0;
        int nResult = ReadFromNativeMessaging(&pszInputMsg, fdIn, &dwLength);
        if (nResult != 0) {
            VELA_HOST_FAILURE(nResult, kFunction, "ReadFromNativeMessaging", "VELA_OK != nResult");
            return nResult;
        }
        VELA_HOST_SUCCESS(kFunction, "ReadFromNativeMessaging");
        if (dwLength == 0) return 0;  // the browser closed the channel
        TraceMessageText("Request", pszInputMsg.get());

        JSONText pszResponseMsg;
        ParseAndRespondRequest(pszInputMsg, &pszResponseMsg);
        if (dwLength >= kReleaseAfterLength) ReleaseFreeMemory();
        if (!pszResponseMsg) {
            // Not even the fallback text could be built: no frame is written
            // for a missing response, and the conversation ends as for a
            // request that cannot be held.
            VELA_HOST_FAILURE(-1, kFunction, "ParseAndRespondRequest", "NULL == pszResponseMsg");
            return -1;
        }
        TraceMessageText("Response", pszResponseMsg.get());
        nResult = WriteToNativeMessaging(pszResponseMsg.get(), fdOut);
        if (nResult != 0) {
            VELA_HOST_FAILURE(nResult, kFunction, "WriteToNativeMessaging", "VELA_OK != nResult");
            return nResult;
        }
        VELA_HOST_SUCCESS(kFunction, "WriteToNativeMessaging");
    }
}

void RunInstallationMode() {
    VELA_TRACE_SCOPE("RunInstallationMode");
    // COM serves the chain documents' XML parser; the result is not checked.
    CoInitialize(nullptr);
    RunInstallationSequenceForHost();
    CoUninitialize();
}

extern "C" int wmain(int argc, WCHAR* argv[]) {
    static const char kFunction[] = "wmain";
    SetupTracing();
    int nExitCode = 0;
    do {
        g_hInstance = GetModuleHandleW(nullptr);
        if (!g_hInstance) {
            VELA_HOST_FAILURE(-1, kFunction, "GetModuleHandleW", "NULL == g_hInstance");
            break;
        }
        CCryptoAgent::s_hResourceModule = g_hInstance;
        // Exactly one argument "-i" (any letter case): installation mode.
        // Any other command line, such as a browser's origin, manifest path
        // or window handle, starts the request mode.
        if (argc == 2 && IsInstallationSwitch(argv[1])) {
            RunInstallationMode();
            VELA_HOST_SUCCESS(kFunction, "RunInstallationMode");
            break;
        }
        g_pobjCryptoAgent = new (std::nothrow) CCryptoAgent();
        if (!g_pobjCryptoAgent) {
            VELA_HOST_FAILURE(-1, kFunction, "new CScriptablePluginObject", "NULL == g_pobjCryptoAgent");
            break;
        }
        int nResult = SetTranslationMode();
        if (nResult != VELA_OK) {
            VELA_HOST_FAILURE(nResult, kFunction, "SetTranslationMode", "VELA_OK != nResult");
            nExitCode = -1;
            break;
        }
        nExitCode = MsgHandleProc();
        if (nExitCode != 0)
            VELA_HOST_FAILURE(nExitCode, kFunction, "MsgHandleProc", "VELA_OK != nResult");
        else
            VELA_HOST_SUCCESS(kFunction, "MsgHandleProc");
    } while (false);
    delete g_pobjCryptoAgent;
    g_pobjCryptoAgent = nullptr;
    TeardownTracing();
    return nExitCode;
}
