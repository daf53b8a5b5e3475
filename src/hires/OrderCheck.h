#pragma once

// The hi-res order checks: at launch and then on the configured interval.
class OrderCheck {
public:
    OrderCheck() = delete;
    // Entry point of the detached order-check thread started at launch.
    static void doQueryAndUploadHiResProcess();
};
