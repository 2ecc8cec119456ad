// Small documents from a server that may be overloaded (release day: the whole crowd asks in
// the same minute). An answer 429 or 503 is asked again after the Retry-After it names, up to a
// bound; a failed transfer or another 5xx after a growing pause. Every pause gets a random
// share on top, so that launchers turned away together do not come back together, and a start
// makes no more than a fixed number of these requests in all.
#pragma once

#include <cstdint>
#include <string>

// The most requests of this kind one process makes, retries included.
constexpr int kMaxPoliteRequestsPerStart = 8;
// Attempts for one document at most.
constexpr int kMaxPoliteAttempts = 4;
// A Retry-After beyond this many seconds is not waited for: the start gives up.
constexpr int64_t kMaxRetryAfterSeconds = 120;

// The body of a 200 answer of at most maxBytes, asked for again as above; "" when every
// attempt failed, the server refused it for good (404, another 4xx) or the budget is spent.
// A cancel ends the waits at once.
std::string PoliteGetToString(const std::wstring& url, size_t maxBytes);

// The pause before attempt number attempt (1 for the first retry) after an answer of status
// that named retryAfter seconds (-1: none), in milliseconds before jitter; -1 when the answer
// is not worth another attempt.
int64_t PolitePauseMs(int32_t status, int64_t retryAfter, int attempt);

// Requests made so far by this process; tests and the bench read it.
int PoliteRequestsMade();
// A fresh budget, for tests that make many starts in one process.
void ResetPoliteBudgetForTesting();
