// The list of installed cryptographic providers.
#include "CertificateInfo.h"
#include "VelaTrace.h"

HRESULT GetAllCSPName(WideBuffer& pwszAllCSPName) {
    VELA_TRACE_SCOPE("GetAllCSPName");
    // A provider table whose entries keep failing to read would otherwise
    // never report its end; after this many unreadable entries in a row the
    // enumeration ends as if it had.
    constexpr DWORD kMaxUnreadableInARow = 64;
    DWORD dwUnreadable = 0;
    WString wstrList;
    for (DWORD dwIndex = 0;; ++dwIndex) {
        DWORD dwType = 0, cbName = 0;
        if (!CryptEnumProvidersW(dwIndex, nullptr, 0, &dwType, nullptr, &cbName)) {
            DWORD dwError = GetLastError();
            if (dwError == ERROR_NO_MORE_ITEMS) break;
            // A provider whose name cannot be read is left out.
            TraceInfo(TEXT("CryptEnumProviders(%u): error %u, skipped"), dwIndex, dwError);
            if (++dwUnreadable >= kMaxUnreadableInARow) break;
            continue;
        }
        dwUnreadable = 0;
        WideBuffer pwstrProvName = AllocZeroed<WCHAR>(cbName / sizeof(WCHAR) + 1);
        if (!pwstrProvName) {
            VELA_LOG_FAILURE(E_OUTOFMEMORY, "New buffer", "!pwstrProvName");
            return E_OUTOFMEMORY;
        }
        if (!CryptEnumProvidersW(dwIndex, nullptr, 0, &dwType, pwstrProvName.get(), &cbName)) {
            HRESULT hr = StatusFromLastError((LONG)GetLastError());
            VELA_LOG_FAILURE(hr, "CryptEnumProviders", "!bResult");
            return hr;
        }
        if (!wstrList.empty()) wstrList.append(TEXT("||"));
        wstrList.append(pwstrProvName.get());
    }
    WideBuffer result = AllocZeroed<WCHAR>(wstrList.size() + 1);
    if (!result) {
        VELA_LOG_FAILURE(E_OUTOFMEMORY, "New buffer", "!*pbstrAllCSPName");
        return E_OUTOFMEMORY;
    }
    std::copy(wstrList.begin(), wstrList.end(), result.get());
    pwszAllCSPName = std::move(result);
    return VELA_OK;
}
