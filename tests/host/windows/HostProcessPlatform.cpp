// Process creation and pipes with the Windows API.
#include "../HostProcess.h"

#include <windows.h>

#include <thread>

struct HostProcess::Impl {
    PROCESS_INFORMATION process = {};
    HANDLE in = nullptr;   // the child's standard input, our end
    HANDLE out = nullptr;  // the child's standard output, our end
    HANDLE err = nullptr;
    std::thread errReader;
    std::string errText;
    bool waited = false;
    int exitCode = 0;
};

namespace {

void CloseH(HANDLE& h) {
    if (h) CloseHandle(h);
    h = nullptr;
}

std::wstring Widen(const std::string& text) {
    if (text.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring wide(size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), wide.data(), n);
    return wide;
}

// A path as the build system names it; under Wine a POSIX path is reached
// through the drive that maps the root directory.
std::wstring ProgramPath(const std::string& program) {
    std::wstring path = Widen(program);
    if (!path.empty() && path[0] == L'/') path = L"Z:" + path;
    for (wchar_t& c : path)
        if (c == L'/') c = L'\\';
    return path;
}

// Quoting of one argument by the rules the C runtime uses to split the
// command line.
void AppendQuoted(std::wstring& line, const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line += L'"';
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') line.append(backslashes * 2 + 1, L'\\');
        else line.append(backslashes, L'\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

}  // namespace

HostProcess::HostProcess() : m_impl(new Impl) {}

HostProcess::~HostProcess() {
    CloseStdin();
    CloseStdout();
    if (m_impl->process.hProcess && !m_impl->waited) Wait();
    if (m_impl->errReader.joinable()) m_impl->errReader.join();
    CloseH(m_impl->err);
    CloseH(m_impl->process.hProcess);
    CloseH(m_impl->process.hThread);
}

bool HostProcess::Start(const std::string& program, const std::vector<std::string>& args, const Options& options) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE inRead = nullptr, inWrite = nullptr, outRead = nullptr, outWrite = nullptr, errRead = nullptr,
           errWrite = nullptr;
    if (!CreatePipe(&inRead, &inWrite, &inherit, 0) || !CreatePipe(&outRead, &outWrite, &inherit, 0) ||
        !CreatePipe(&errRead, &errWrite, &inherit, 0))
        return false;
    // The child inherits only its own ends (for an unreadable standard
    // input: the write end of that pipe).
    HANDLE childIn = options.unreadableStdin ? inWrite : inRead;
    SetHandleInformation(options.unreadableStdin ? inRead : inWrite, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);

    std::wstring path = ProgramPath(program);
    std::wstring line;
    AppendQuoted(line, path);
    for (const std::string& a : args) {
        line += L' ';
        AppendQuoted(line, Widen(a));
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childIn;
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    BOOL ok = CreateProcessW(path.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                             &startup, &m_impl->process);
    CloseHandle(childIn);
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    m_impl->in = options.unreadableStdin ? inRead : inWrite;
    if (options.unreadableStdin) CloseH(m_impl->in);
    m_impl->out = outRead;
    m_impl->err = errRead;
    if (!ok) {
        m_impl->process = PROCESS_INFORMATION{};
        return false;
    }
    Impl* impl = m_impl.get();
    impl->errReader = std::thread([impl] {
        char buffer[4096];
        DWORD n = 0;
        while (ReadFile(impl->err, buffer, sizeof buffer, &n, nullptr) && n) impl->errText.append(buffer, n);
    });
    return true;
}

bool HostProcess::Write(const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size && m_impl->in) {
        DWORD chunk = size > 0x100000 ? 0x100000 : DWORD(size);
        DWORD n = 0;
        if (!WriteFile(m_impl->in, p, chunk, &n, nullptr) || n == 0) return false;
        p += n;
        size -= n;
    }
    return size == 0;
}

bool HostProcess::ReadExact(void* data, size_t size) {
    char* p = static_cast<char*>(data);
    while (size && m_impl->out) {
        DWORD chunk = size > 0x100000 ? 0x100000 : DWORD(size);
        DWORD n = 0;
        if (!ReadFile(m_impl->out, p, chunk, &n, nullptr) || n == 0) return false;
        p += n;
        size -= n;
    }
    return size == 0;
}

std::string HostProcess::ReadToEnd() {
    std::string text;
    char buffer[65536];
    DWORD n = 0;
    while (m_impl->out && ReadFile(m_impl->out, buffer, sizeof buffer, &n, nullptr) && n) text.append(buffer, n);
    return text;
}

void HostProcess::CloseStdin() { CloseH(m_impl->in); }
void HostProcess::CloseStdout() { CloseH(m_impl->out); }

int HostProcess::Wait() {
    if (m_impl->waited || !m_impl->process.hProcess) return m_impl->exitCode;
    WaitForSingleObject(m_impl->process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(m_impl->process.hProcess, &code);
    m_impl->waited = true;
    m_impl->exitCode = int(static_cast<signed char>(code & 0xFF));
    if (m_impl->errReader.joinable()) m_impl->errReader.join();
    return m_impl->exitCode;
}

std::string HostProcess::Stderr() { return m_impl->errText; }

int64_t HostProcess::PeakResidentBytes() const { return -1; }
double HostProcess::CpuSeconds() const { return -1; }
