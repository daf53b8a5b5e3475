#include "filing/TransportBackoff.h"

#include <algorithm>
#include <atomic>

namespace {
std::atomic<int> gNextDelay{TransportBackoff::kFirstDelaySeconds};
// Milliseconds since the clock's epoch; 0 when none is due.
std::atomic<long long> gNextAttempt{0};

long long millisecondsSinceEpoch(std::chrono::system_clock::time_point when)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
}
} // namespace

int TransportBackoff::nextDelaySeconds()
{
    int delay = gNextDelay.load();
    while (!gNextDelay.compare_exchange_weak(delay, std::min(delay * 2, kLongestDelaySeconds))) { }
    gNextAttempt = millisecondsSinceEpoch(std::chrono::system_clock::now() + std::chrono::seconds(delay));
    return delay;
}

void TransportBackoff::reset()
{
    gNextDelay = kFirstDelaySeconds;
    gNextAttempt = 0;
}

std::optional<std::chrono::system_clock::time_point> TransportBackoff::nextAttempt()
{
    const long long when = gNextAttempt.load();
    const auto now = std::chrono::system_clock::now();
    if (when == 0 || when <= millisecondsSinceEpoch(now))
        return std::nullopt;
    return std::chrono::system_clock::time_point(std::chrono::milliseconds(when));
}
