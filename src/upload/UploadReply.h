#pragma once

#include <optional>
#include <string>
#include <string_view>

// What the web service answered to an upload: its body, decoded as Mac OS
// Roman, is an XML document whose root element holds the status as its first
// child and a message as its second, whatever their names.
struct UploadReply {
    static constexpr const char* kNotEnoughData = "Not enough data returned...";

    std::optional<std::string> status;  // "FAIL" when the body is no usable reply
    std::optional<std::string> message; // the parser's complaint, or kNotEnoughData, then

    // Reads a reply body, writing what it finds to the log.
    static UploadReply read(std::string_view body);
};
