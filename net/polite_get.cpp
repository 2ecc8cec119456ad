#include "net/polite_get.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <atomic>

#include "base/launcher_state.h"
#include "net/http.h"

namespace {

std::atomic<int> requestsMade{0};

// First retry after 2 s, then 4 s, 8 s: a server that fails for a moment gets a moment.
constexpr int64_t kFirstPauseMs = 2000;

uint32_t RandomBelow(uint32_t bound) {
    uint32_t value = 0;
    if (bound == 0) return 0;
    if (BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&value), sizeof(value),
                        BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0)
        value = static_cast<uint32_t>(GetTickCount64() * 2654435761u);
    return value % bound;
}

// Sleeps in short steps; false when the launcher is asked to stop meanwhile.
bool Pause(int64_t milliseconds) {
    const uint64_t end = GetTickCount64() + static_cast<uint64_t>(milliseconds);
    for (;;) {
        if (State().cancelRequested.load() || State().exiting.load()) return false;
        const uint64_t now = GetTickCount64();
        if (now >= end) return true;
        Sleep(static_cast<DWORD>(std::min<uint64_t>(end - now, 100)));
    }
}

} // namespace

int64_t PolitePauseMs(int32_t status, int64_t retryAfter, int attempt) {
    const bool busy = status == 429 || status == 503;
    if (busy && retryAfter >= 0) {
        if (retryAfter > kMaxRetryAfterSeconds) return -1;
        return retryAfter * 1000;
    }
    // No answer, or the server failed: worth a few more tries. Any other answer (404, 403, a
    // body too big) will be the same the next time.
    if (status != 0 && !busy && (status < 500 || status > 599)) return -1;
    return kFirstPauseMs << std::min(attempt - 1, 4);
}

std::string PoliteGetToString(const std::wstring& url, size_t maxBytes) {
    for (int attempt = 0; attempt < kMaxPoliteAttempts; ++attempt) {
        if (requestsMade.fetch_add(1) >= kMaxPoliteRequestsPerStart) return {};
        HttpResponse response;
        std::string body;
        bool tooBig = false;
        const bool complete = HttpGet(
            url, nullptr,
            [&](const char* data, size_t size) {
                tooBig = size > maxBytes - body.size();
                if (tooBig) return false;
                body.append(data, size);
                return true;
            },
            &response,
            [&](const HttpResponse& answer) {
                tooBig = answer.contentLength > maxBytes;
                return !tooBig;
            });
        if (complete) return body;
        // Too big stays too big; a body cut short is a failed transfer.
        if (tooBig) return {};
        const int32_t status = response.status == 200 ? 0 : response.status;
        const int64_t pause = PolitePauseMs(status, RetryAfterSeconds(response), attempt + 1);
        if (pause < 0 || attempt + 1 == kMaxPoliteAttempts) return {};
        // A random quarter on top: launchers sent away together spread out again.
        if (!Pause(pause + RandomBelow(static_cast<uint32_t>(pause / 4 + 250)))) return {};
    }
    return {};
}

int PoliteRequestsMade() {
    return std::min(requestsMade.load(), kMaxPoliteRequestsPerStart);
}

void ResetPoliteBudgetForTesting() {
    requestsMade.store(0);
}
