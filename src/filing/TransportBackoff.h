#pragma once

#include <chrono>
#include <optional>

// How long to wait before sending again while the web service cannot be
// reached: 1 s, doubling up to 60 s, back to 1 s at the first answer. A
// station left offline overnight then tries once a minute instead of
// filling its disk with attempts.
class TransportBackoff {
public:
    TransportBackoff() = delete;
    static constexpr int kFirstDelaySeconds = 1;
    static constexpr int kLongestDelaySeconds = 60;

    // The wait before the next attempt; each call doubles the following one.
    // The attempt is taken to be due once that wait has passed.
    static int nextDelaySeconds();
    // The service answered.
    static void reset();
    // When the attempt after the current wait is due; nothing when no wait
    // is pending (the service answered, or the wait has passed).
    static std::optional<std::chrono::system_clock::time_point> nextAttempt();
};
