#pragma once

#include <string>

// What one order check came to, for the operator's status.
struct OrderCheckOutcome {
    std::string problem;  // why the check or its reply failed; empty when the reply was read
    int requested = 0;    // images the reply asked for
    int uploaded = 0;     // sent and accepted by the service
    int uploadFailed = 0; // sent, or tried, and not accepted
    int notFound = 0;     // not found on the local disks
    int refused = 0;      // found, but not sent (not an image, no image id, no location)

    // One line: "2 orders: 1 uploaded, 1 not found" or the problem.
    std::string describe() const
    {
        if (!problem.empty())
            return problem;
        std::string text = std::to_string(requested) + (requested == 1 ? " order" : " orders");
        if (requested == 0)
            return text;
        std::string parts;
        auto add = [&parts](int n, const char* what) {
            if (n > 0)
                parts += (parts.empty() ? "" : ", ") + std::to_string(n) + " " + what;
        };
        add(uploaded, "uploaded");
        add(uploadFailed, "failed to upload");
        add(notFound, "not found");
        add(refused, "refused");
        return parts.empty() ? text : text + ": " + parts;
    }
};
