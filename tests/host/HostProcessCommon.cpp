#include "HostProcess.h"

#include <chrono>
#include <thread>

HostRun RunConversation(const std::string& program, const std::vector<std::string>& args,
                        const std::vector<std::string>& pieces, const HostProcess::Options& options) {
    HostRun run;
    HostProcess process;
    if (!process.Start(program, args, options)) return run;
    run.started = true;
    // The writer runs beside the reader so that neither pipe can fill up
    // while the other side waits.
    std::thread writer([&] {
        for (size_t i = 0; i < pieces.size(); ++i) {
            if (i) std::this_thread::sleep_for(std::chrono::milliseconds(30));
            if (!process.Write(pieces[i])) break;
        }
        process.CloseStdin();
    });
    run.out = process.ReadToEnd();
    writer.join();
    run.exitCode = process.Wait();
    run.err = process.Stderr();
    return run;
}

std::string Frame(const std::string& body) {
    const size_t n = body.size();
    std::string frame;
    frame.reserve(n + 4);
    frame.push_back(char(n & 0xFF));
    frame.push_back(char((n >> 8) & 0xFF));
    frame.push_back(char((n >> 16) & 0xFF));
    frame.push_back(char((n >> 24) & 0xFF));
    frame += body;
    return frame;
}

bool SplitFrames(const std::string& stream, std::vector<std::string>& bodies) {
    size_t offset = 0;
    while (offset < stream.size()) {
        if (stream.size() - offset < 4) return false;
        const unsigned char* p = reinterpret_cast<const unsigned char*>(stream.data() + offset);
        uint32_t n = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
        offset += 4;
        if (stream.size() - offset < n) return false;
        bodies.push_back(stream.substr(offset, n));
        offset += n;
    }
    return true;
}
