#pragma once

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
    static int nextDelaySeconds();
    // The service answered.
    static void reset();
};
