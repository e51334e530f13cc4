// Starts a program the way a browser starts a native-messaging host: its
// standard input, output and error are pipes held by the caller. The
// platform part (process creation, pipe I/O) lives in one source file per
// platform; the rest is shared.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class HostProcess {
public:
    struct Options {
        // The child's standard input is a descriptor it cannot read from.
        bool unreadableStdin = false;
    };

    HostProcess();
    ~HostProcess();
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    // Starts program with the arguments (argv[1..]). False when it cannot start.
    bool Start(const std::string& program, const std::vector<std::string>& args, const Options& options);
    bool Start(const std::string& program, const std::vector<std::string>& args) {
        return Start(program, args, Options());
    }

    // Writes all bytes to the child's standard input; false once it is gone.
    bool Write(const void* data, size_t size);
    bool Write(const std::string& data) { return Write(data.data(), data.size()); }
    // Reads exactly size bytes from the child's standard output; false at end.
    bool ReadExact(void* data, size_t size);
    // Reads the child's standard output up to its end.
    std::string ReadToEnd();
    void CloseStdin();
    void CloseStdout();

    // Waits for the child to end. The exit code is reduced to its low eight
    // bits taken as a signed value, so -1 reads as -1 on every platform.
    int Wait();
    // What the child wrote to standard error (complete after Wait).
    std::string Stderr();
    // The child's peak resident memory in bytes after Wait, -1 where unknown.
    int64_t PeakResidentBytes() const;
    // The child's processor time (user and system) in seconds after Wait, -1 where unknown.
    double CpuSeconds() const;

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

// The outcome of one conversation: all of input is written (each piece in
// one write, with a short pause between pieces), standard input is closed
// and the output is collected until the program ends.
struct HostRun {
    bool started = false;
    std::string out;
    std::string err;
    int exitCode = 0;
};
HostRun RunConversation(const std::string& program, const std::vector<std::string>& args,
                        const std::vector<std::string>& pieces, const HostProcess::Options& options = {});

// One frame: the length in four bytes, least significant first, then the body.
std::string Frame(const std::string& body);
// Splits a stream of frames. False when the stream does not consist of
// whole frames only.
bool SplitFrames(const std::string& stream, std::vector<std::string>& bodies);
