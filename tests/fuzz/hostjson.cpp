// The host's request -> response path: every request text, however broken,
// gets exactly one response that is one JSON object (checked with another
// parser than the host's). An input holds up to four requests, one a line,
// served in order by one fresh agent, so settings reach key generation.
#include <nlohmann/json.hpp>

#include <cstring>

#include "FuzzSupport.h"
#include "TesseraHost.h"
#include "VelaTrace.h"

namespace {

constexpr size_t kMaxRequests = 4;
// Key generation stays reachable, but at lengths that finish well inside
// the per-input timeout under the sanitizers.
constexpr LONG kMaxKeyLength = 2048;

void CheckResponse(const JSONText& response) {
    FUZZ_CHECK(response != nullptr);
    nlohmann::json parsed = nlohmann::json::parse(response.get(), nullptr, false);
    FUZZ_CHECK(!parsed.is_discarded());
    FUZZ_CHECK(parsed.is_object() && parsed.contains("function") && parsed["function"].is_string());
    FUZZ_CHECK(parsed.contains("errorcode") && parsed["errorcode"].is_number_integer());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    UseScratchStores();
    // Every trace point formats the hostile texts too; the lines go nowhere.
    setenv("TESSERA_TRACE", "0xF,/dev/null", 1);
    SetupTracing();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CCryptoAgent agent;
    g_pobjCryptoAgent = &agent;
    const char* cursor = reinterpret_cast<const char*>(data);
    const char* end = cursor + size;
    for (size_t i = 0; i < kMaxRequests && cursor < end; ++i) {
        if (agent.KeyLength() < 0 || agent.KeyLength() > kMaxKeyLength) break;
        const char* newline = static_cast<const char*>(std::memchr(cursor, '\n', size_t(end - cursor)));
        const char* stop = newline ? newline : end;
        CharBuffer request = AllocZeroed<char>(size_t(stop - cursor) + 1);
        std::memcpy(request.get(), cursor, size_t(stop - cursor));
        JSONText response;
        ParseAndRespondRequest(request, &response);
        CheckResponse(response);
        cursor = newline ? newline + 1 : end;
    }
    g_pobjCryptoAgent = nullptr;
    return 0;
}
