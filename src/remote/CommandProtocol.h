#pragma once

#include "remote/AppleEvent.h"

#include <cstddef>
#include <string>
#include <string_view>

// The command socket's line format, shared by the uploader and quon-ctl:
// one JSON object per line.
//   request: {"class":"quon","id":"1234","directObject":["setValue","K","V"],"wantsReply":true}
//   reply:   {"directObject": <text, list or null>}
//   refusal: {"error":"..."}
// Every request line gets exactly one line back (null when no reply is wanted).
// None of these functions throws.
namespace CommandProtocol {

// Longest request line accepted, without its line break.
inline constexpr size_t kMaxLineBytes = 64 * 1024;
// Deepest nesting of lists accepted in a direct object.
inline constexpr int kMaxListDepth = 8;

// The request line for an event, ending in "\n".
std::string encodeRequest(const AppleEvent& event);

// Reads one request line (without its line break). On failure returns false
// and sets error to a short reason for the sender.
bool decodeRequest(std::string_view line, AppleEvent* event, std::string* error);

// Reply and refusal lines, ending in "\n".
std::string encodeReply(const AppleEventDescriptor& directObject);
std::string encodeError(const std::string& message);

struct DecodedReply {
    enum class Kind { Reply, Error, Malformed };
    Kind kind = Kind::Malformed;
    AppleEventDescriptor directObject; // Reply
    std::string message;               // Error: the uploader's reason; Malformed: ours
};

// Reads one reply line (without its line break).
DecodedReply decodeReply(std::string_view line);

// A descriptor as compact JSON text: ["COMMAND SUCCESS",["getValue","K","90.00"]].
std::string toJsonText(const AppleEventDescriptor& descriptor);

} // namespace CommandProtocol
