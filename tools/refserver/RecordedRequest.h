#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// One request the reference service received, as the journal records it.
struct RecordedRequest {
    struct File {
        std::string field;
        std::string filename;
        std::string contentType;
        uint64_t size = 0;
        std::string storedPath; // empty when it was not kept
    };

    int seq = 0;
    std::string method;
    std::string path;
    std::string contentType;
    std::string operation; // "photo upload", "order query", "hi-res upload" or "malformed"
    std::vector<std::pair<std::string, std::string>> fields; // text parts in order; a name may repeat
    std::vector<File> files;
    uint64_t bodySize = 0;
    std::string rawBody; // kept only when the server was asked to
    bool rawBodyComplete = false;
    std::string behaviour; // the behaviour applied, as JSON
    int httpStatus = 0;    // 0 when no reply was sent
    std::string replyStatus;
    std::string outcome; // "answered", "dropped", "hung", "incomplete"
    std::string error;

    // The first text field of that name, or empty.
    std::string field(const std::string& name) const
    {
        for (const auto& [key, value] : fields)
            if (key == name)
                return value;
        return {};
    }
};
