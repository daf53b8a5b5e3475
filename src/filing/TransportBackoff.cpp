#include "filing/TransportBackoff.h"

#include <algorithm>
#include <atomic>

namespace {
std::atomic<int> gNextDelay{TransportBackoff::kFirstDelaySeconds};
}

int TransportBackoff::nextDelaySeconds()
{
    int delay = gNextDelay.load();
    while (!gNextDelay.compare_exchange_weak(delay, std::min(delay * 2, kLongestDelaySeconds))) { }
    return delay;
}

void TransportBackoff::reset() { gNextDelay = kFirstDelaySeconds; }
