// Requests per second and bandwidth of tessera-host over pipes, each
// measured beside the same traffic through a minimal echo program in the
// same run. The summary at the end gives the host's share of the echo
// program's rate and the host's peak resident memory.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "HostProcess.h"

namespace {

const std::string kHost = TESSERA_HOST_PATH;
const std::string kEcho = TESSERA_ECHO_PATH;
constexpr size_t kLargeFrame = 1u << 20;

std::string LargeRequest() {
    // An unknown name comes back in the fallback response (56 bytes around
    // the name): the response is exactly 1 MiB, the request 27 bytes less.
    std::string head = R"({"function":")", tail = R"(","params":[]})";
    return head + std::string(kLargeFrame - 56, 'n') + tail;
}

const std::map<std::string, std::string>& Requests() {
    static const std::map<std::string, std::string> requests = {
        {"VELA_GetVersion", R"({"function":"VELA_GetVersion","params":[],"randomId":"bench-0001"})"},
        {"checkHost", R"({"function":"checkHost","params":[],"randomId":"bench-0001"})"},
        {"large", LargeRequest()},
    };
    return requests;
}

int64_t g_hostPeakBytes = 0;

void RoundTrips(benchmark::State& state, const std::string& program, const std::string& request) {
    HostProcess process;
    if (!process.Start(program, {})) {
        state.SkipWithError("cannot start the program");
        return;
    }
    const std::string frame = Frame(request);
    std::vector<char> response;
    int64_t bytes = 0;
    for (auto _ : state) {
        unsigned char prefix[4];
        if (!process.Write(frame) || !process.ReadExact(prefix, 4)) {
            state.SkipWithError("the program ended");
            break;
        }
        size_t n = size_t(prefix[0]) | size_t(prefix[1]) << 8 | size_t(prefix[2]) << 16 | size_t(prefix[3]) << 24;
        response.resize(n);
        if (n && !process.ReadExact(response.data(), n)) {
            state.SkipWithError("the response is cut short");
            break;
        }
        bytes += int64_t(frame.size() + 4 + n);
    }
    process.CloseStdin();
    process.Wait();
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(bytes);
    if (program == kHost && process.PeakResidentBytes() > g_hostPeakBytes) g_hostPeakBytes = process.PeakResidentBytes();
    state.counters["peak_rss_MiB"] = double(process.PeakResidentBytes()) / (1 << 20);
}

void BM_Host(benchmark::State& state, const char* request) { RoundTrips(state, kHost, Requests().at(request)); }
void BM_Echo(benchmark::State& state, const char* request) { RoundTrips(state, kEcho, Requests().at(request)); }

BENCHMARK_CAPTURE(BM_Echo, VELA_GetVersion, "VELA_GetVersion")->UseRealTime();
BENCHMARK_CAPTURE(BM_Host, VELA_GetVersion, "VELA_GetVersion")->UseRealTime();
BENCHMARK_CAPTURE(BM_Echo, checkHost, "checkHost")->UseRealTime();
BENCHMARK_CAPTURE(BM_Host, checkHost, "checkHost")->UseRealTime();
BENCHMARK_CAPTURE(BM_Echo, large_1MiB, "large")->UseRealTime();
BENCHMARK_CAPTURE(BM_Host, large_1MiB, "large")->UseRealTime();

// Peak memory of a conversation of one request of the given size (a
// checkHost request padded with an extra member) and its small answer.
int64_t PeakForOneRequest(size_t size) {
    std::string request = R"({"function":"checkHost","params":[],"pad":")";
    request += std::string(size - request.size() - 2, 'p') + "\"}";
    HostProcess process;
    if (!process.Start(kHost, {})) return -1;
    unsigned char prefix[4];
    bool ok = process.Write(Frame(request)) && process.ReadExact(prefix, 4);
    process.CloseStdin();
    process.ReadToEnd();
    process.Wait();
    return ok ? process.PeakResidentBytes() : -1;
}

// Keeps the console output and remembers each run's rates for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        // With repetitions the median stands for the benchmark, else its one run.
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            const std::string key = run.run_name.str();
            if (!median && (run.run_type != Run::RT_Iteration || m_fromMedian.count(key))) continue;
            if (median) m_fromMedian.insert(key);
            auto items = run.counters.find("items_per_second");
            auto bytes = run.counters.find("bytes_per_second");
            if (items != run.counters.end()) m_items[key] = items->second.value;
            if (bytes != run.counters.end()) m_bytes[key] = bytes->second.value;
        }
    }
    void Summarise() const {
        std::printf("\nhost / echo, same run:\n");
        for (const char* name : {"VELA_GetVersion", "checkHost"}) Ratio(m_items, name, "requests per second");
        Ratio(m_bytes, "large_1MiB", "MiB/s");
        std::printf("  host peak resident memory over the runs above: %.1f MiB (bound: 16 MiB + 2 x %.0f MiB)\n",
                    double(g_hostPeakBytes) / (1 << 20), double(kLargeFrame) / (1 << 20));
        for (size_t mib : {1, 16, 64}) {
            int64_t peak = PeakForOneRequest(mib << 20);
            std::printf("  host peak resident memory, one %2zu MiB request: %.1f MiB (bound: %zu MiB)\n", mib,
                        double(peak) / (1 << 20), 16 + 2 * mib);
        }
    }

private:
    static void Ratio(const std::map<std::string, double>& values, const std::string& name, const char* unit) {
        auto find = [&](const std::string& prefix) -> double {
            for (const auto& [key, value] : values)
                if (key.rfind(prefix + "/" + name, 0) == 0) return value;
            return 0;
        };
        double host = find("BM_Host"), echo = find("BM_Echo");
        double scale = std::string(unit) == "MiB/s" ? 1.0 / (1 << 20) : 1.0;
        if (host > 0 && echo > 0)
            std::printf("  %-16s host %10.1f  echo %10.1f  %s  ratio %.2f\n", name.c_str(), host * scale,
                        echo * scale, unit, host / echo);
    }
    std::map<std::string, double> m_items, m_bytes;
    std::set<std::string> m_fromMedian;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.Summarise();
    benchmark::Shutdown();
    return 0;
}
