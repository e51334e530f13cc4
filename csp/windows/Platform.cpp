// The Windows side of the provider engine's store: where the key databases
// live, their folders' access, the machine right, the account name of the
// default container, and the link of a certificate into the user's "MY"
// store. Called by the engine sources, which are compiled against the
// engine's own Windows API subset; hence the plain C interface.
#include <windows.h>
#include <wincrypt.h>
#include <sddl.h>
#include <shlobj.h>

#include <cstring>
#include <string>

namespace {

std::string Narrow(const std::wstring& wide) {
    if (wide.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string out(size_t(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring Widen(const char* utf8) {
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    if (n <= 1) return std::wstring();
    std::wstring out(size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, out.data(), n);
    out.resize(size_t(n - 1));
    return out;
}

std::wstring Environment(const wchar_t* name) {
    wchar_t buffer[MAX_PATH * 2];
    DWORD n = GetEnvironmentVariableW(name, buffer, DWORD(sizeof(buffer) / sizeof(buffer[0])));
    if (n == 0 || n >= sizeof(buffer) / sizeof(buffer[0])) return std::wstring();
    return std::wstring(buffer, n);
}

// Owner and SYSTEM for a user's folder; administrators and SYSTEM with
// read access for every user for the machine's. Children inherit it.
const wchar_t kUserFolderAccess[] = L"D:P(A;OICI;FA;;;OW)(A;OICI;FA;;;SY)";
const wchar_t kMachineFolderAccess[] = L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;FR;;;BU)";

// A drive-letter or UNC path; anything else (a Unix path meant for the
// engine on Linux, set by a test driving both) is not a Windows folder.
bool IsFullWindowsPath(const std::wstring& path) {
    if (path.size() >= 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/'))
        return (path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z');
    return path.size() >= 3 && path[0] == L'\\' && path[1] == L'\\';
}

}  // namespace

extern "C" BOOL TesseraCspStoreDirectory(BOOL machine, char* out, DWORD size) {
    // The same overrides as the engine's other platforms, for tests.
    std::wstring folder = Environment(machine ? L"TESSERA_MACHINE_STORE_DIR" : L"TESSERA_STORE_DIR");
    if (!IsFullWindowsPath(folder)) {
        wchar_t base[MAX_PATH];
        if (FAILED(SHGetFolderPathW(nullptr, (machine ? CSIDL_COMMON_APPDATA : CSIDL_APPDATA) | CSIDL_FLAG_CREATE,
                                    nullptr, SHGFP_TYPE_CURRENT, base)))
            return FALSE;
        folder = std::wstring(base) + L"\\Tessera";
    }
    std::string utf8 = Narrow(folder);
    if (utf8.size() + 1 > size) return FALSE;
    std::memcpy(out, utf8.c_str(), utf8.size() + 1);
    return TRUE;
}

extern "C" DWORD TesseraCspMakeDirectory(const char* utf8, BOOL machine) {
    std::wstring path = Widen(utf8);
    if (path.empty()) return ERROR_PATH_NOT_FOUND;
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), nullptr, FALSE};
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(machine ? kMachineFolderAccess : kUserFolderAccess,
                                                              SDDL_REVISION_1, &attributes.lpSecurityDescriptor,
                                                              nullptr))
        return GetLastError();
    int rc = SHCreateDirectoryExW(nullptr, path.c_str(), &attributes);
    LocalFree(attributes.lpSecurityDescriptor);
    if (rc == ERROR_SUCCESS || rc == ERROR_ALREADY_EXISTS || rc == ERROR_FILE_EXISTS) return ERROR_SUCCESS;
    return DWORD(rc);
}

extern "C" BOOL TesseraCspPathExists(const char* utf8) {
    std::wstring path = Widen(utf8);
    return !path.empty() && GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Administrators may change the machine's key store. A test override of
// the machine folder grants the right, TESSERA_MACHINE_STORE_READONLY=1
// withholds it (Wine runs every program as an administrator).
extern "C" BOOL TesseraCspMachineWritable(void) {
    if (Environment(L"TESSERA_MACHINE_STORE_READONLY") == L"1") return FALSE;
    if (IsFullWindowsPath(Environment(L"TESSERA_MACHINE_STORE_DIR"))) return TRUE;
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                  0, 0, &administrators))
        return FALSE;
    BOOL member = FALSE;
    if (!CheckTokenMembership(nullptr, administrators, &member)) member = FALSE;
    FreeSid(administrators);
    return member;
}

extern "C" const char* TesseraCspUserName(void) {
    static thread_local std::string name;
    wchar_t buffer[257];
    DWORD length = DWORD(sizeof(buffer) / sizeof(buffer[0]));
    if (!GetUserNameW(buffer, &length) || length <= 1) return nullptr;
    name = Narrow(std::wstring(buffer, length - 1));
    return name.c_str();
}

// Adds the certificate to the user's "MY" store, replacing a copy, with the
// key-provider property that links it to the container.
extern "C" BOOL TesseraCspLinkCertificate(const BYTE* der, DWORD length, const wchar_t* container,
                                          const wchar_t* provider, DWORD providerType, DWORD keySpec) {
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"MY");
    if (!store) return FALSE;
    PCCERT_CONTEXT added = nullptr;
    BOOL ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, length,
                                               CERT_STORE_ADD_REPLACE_EXISTING, &added);
    if (ok) {
        CRYPT_KEY_PROV_INFO info{};
        info.pwszContainerName = const_cast<wchar_t*>(container);
        info.pwszProvName = const_cast<wchar_t*>(provider);
        info.dwProvType = providerType;
        info.dwKeySpec = keySpec;
        ok = CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &info);
        DWORD error = GetLastError();
        if (!ok) CertDeleteCertificateFromStore(CertDuplicateCertificateContext(added));
        CertFreeCertificateContext(added);
        SetLastError(error);
    }
    DWORD error = GetLastError();
    CertCloseStore(store, 0);
    if (!ok) SetLastError(error);
    return ok;
}

// DPAPI protection of a private key at rest, for this account or (machine
// keys) for the machine; never with a prompt.
extern "C" BOOL TesseraCspProtect(BOOL machine, BOOL protect, const BYTE* in, DWORD length, BYTE** out,
                                  DWORD* outLength) {
    DATA_BLOB input{length, const_cast<BYTE*>(in)}, output{0, nullptr};
    DWORD flags = CRYPTPROTECT_UI_FORBIDDEN | (machine ? CRYPTPROTECT_LOCAL_MACHINE : 0);
    BOOL ok = protect ? CryptProtectData(&input, L"Tessera key", nullptr, nullptr, nullptr, flags, &output)
                      : CryptUnprotectData(&input, nullptr, nullptr, nullptr, nullptr, flags, &output);
    if (!ok) return FALSE;
    *out = output.pbData;
    *outLength = output.cbData;
    return TRUE;
}

extern "C" void TesseraCspFree(BYTE* bytes) {
    if (!bytes) return;
    SecureZeroMemory(bytes, LocalSize(bytes));
    LocalFree(bytes);
}

// The machine's key file: administrators and SYSTEM only, not inherited from
// the folder (which every user may read).
extern "C" DWORD TesseraCspCreateRestrictedFile(const char* utf8) {
    std::wstring path = Widen(utf8);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), nullptr, FALSE};
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;BA)(A;;FA;;;SY)", SDDL_REVISION_1,
                                                              &attributes.lpSecurityDescriptor, nullptr))
        return GetLastError();
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD error = file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    LocalFree(attributes.lpSecurityDescriptor);
    return error == ERROR_FILE_EXISTS ? ERROR_SUCCESS : error;
}
