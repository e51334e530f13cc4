// Process creation and pipes with POSIX calls.
#include "../HostProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

extern char** environ;

struct HostProcess::Impl {
    pid_t pid = -1;
    int in = -1;   // the child's standard input, our end
    int out = -1;  // the child's standard output, our end
    int err = -1;
    std::thread errReader;
    std::string errText;
    bool waited = false;
    int exitCode = 0;
    int64_t peakBytes = -1;
    double cpuSeconds = -1;
};

namespace {
void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}
}  // namespace

HostProcess::HostProcess() : m_impl(new Impl) {
    // A child that has gone away must show up as a failed write, not end us.
    ::signal(SIGPIPE, SIG_IGN);
}

HostProcess::~HostProcess() {
    CloseStdin();
    CloseStdout();
    if (m_impl->pid > 0 && !m_impl->waited) Wait();
    if (m_impl->errReader.joinable()) m_impl->errReader.join();
    CloseFd(m_impl->err);
}

bool HostProcess::Start(const std::string& program, const std::vector<std::string>& args, const Options& options) {
    int inPipe[2], outPipe[2], errPipe[2];
    if (::pipe2(inPipe, O_CLOEXEC) != 0) return false;
    if (::pipe2(outPipe, O_CLOEXEC) != 0) return false;
    if (::pipe2(errPipe, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // An unreadable standard input: the write end of its own pipe.
    posix_spawn_file_actions_adddup2(&actions, options.unreadableStdin ? inPipe[1] : inPipe[0], 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int rc = posix_spawn(&m_impl->pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(inPipe[0]);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    m_impl->in = inPipe[1];
    m_impl->out = outPipe[0];
    m_impl->err = errPipe[0];
    if (rc != 0) {
        m_impl->pid = -1;
        return false;
    }
    Impl* impl = m_impl.get();
    impl->errReader = std::thread([impl] {
        char buffer[4096];
        for (;;) {
            ssize_t n = ::read(impl->err, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            impl->errText.append(buffer, size_t(n));
        }
    });
    return true;
}

bool HostProcess::Write(const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size && m_impl->in >= 0) {
        ssize_t n = ::write(m_impl->in, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= size_t(n);
    }
    return size == 0;
}

bool HostProcess::ReadExact(void* data, size_t size) {
    char* p = static_cast<char*>(data);
    while (size && m_impl->out >= 0) {
        ssize_t n = ::read(m_impl->out, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= size_t(n);
    }
    return size == 0;
}

std::string HostProcess::ReadToEnd() {
    std::string text;
    char buffer[65536];
    while (m_impl->out >= 0) {
        ssize_t n = ::read(m_impl->out, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buffer, size_t(n));
    }
    return text;
}

void HostProcess::CloseStdin() { CloseFd(m_impl->in); }
void HostProcess::CloseStdout() { CloseFd(m_impl->out); }

int HostProcess::Wait() {
    if (m_impl->waited || m_impl->pid <= 0) return m_impl->exitCode;
    int status = 0;
    struct rusage usage = {};
    while (::wait4(m_impl->pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    m_impl->waited = true;
    m_impl->peakBytes = int64_t(usage.ru_maxrss) * 1024;
    m_impl->cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    // A child killed by a signal reads as 128 + the signal number.
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    m_impl->exitCode = int(static_cast<signed char>(code & 0xFF));
    if (m_impl->errReader.joinable()) m_impl->errReader.join();
    return m_impl->exitCode;
}

std::string HostProcess::Stderr() { return m_impl->errText; }

int64_t HostProcess::PeakResidentBytes() const { return m_impl->peakBytes; }
double HostProcess::CpuSeconds() const { return m_impl->cpuSeconds; }
