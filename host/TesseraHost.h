// The native-messaging host: process start, the request loop and the
// installation mode.
#pragma once
#include <windows.h>

#include "CryptoAgent.h"
#include "JSONUtility.h"

// The program's own module; the agent loads its error texts from it.
extern HINSTANCE g_hInstance;
// The one agent of the conversation.
extern CCryptoAgent* g_pobjCryptoAgent;

// Serves requests from standard input until it ends. 0 at end of input,
// else the status of the read or write that failed.
int MsgHandleProc();

// Turns one request text into one response text (always 0). The request
// buffer is released as soon as it has been parsed, so that a large request
// and its answer are never held twice over. The response stays empty only
// when no text can be produced at all.
HRESULT ParseAndRespondRequest(CharBuffer& pszRequestMsg, JSONText* pszResponseMsg);

// The installation mode ("-i"): runs between COM initialisation and
// uninitialisation; its result never changes the exit code.
void RunInstallationMode();

extern "C" int wmain(int argc, WCHAR* argv[]);
