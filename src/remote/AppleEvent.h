#pragma once

#include "remote/AppleEventDescriptor.h"

#include <string>

// Four-character codes of the remote commands.
namespace AppleEventCode {
inline constexpr const char* kClassQuon = "quon";
inline constexpr const char* kClassCore = "aevt";
inline constexpr const char* kIdUploadNow = "upnw";
inline constexpr const char* kIdPause = "paus";
inline constexpr const char* kIdParameter = "1234";
inline constexpr const char* kIdQuit = "quit";
// The station's status as one JSON object (for scripts and supervisors).
inline constexpr const char* kIdStatus = "stat";
inline constexpr const char* kIdAnswer = "ansr";
} // namespace AppleEventCode

// One remote command as data: its class and id (four characters each), its
// direct object, and whether the sender waits for a reply. A reply is an event
// of the same shape (class "aevt", id "ansr") whose direct object the handler sets.
struct AppleEvent {
    std::string eventClass;
    std::string eventID;
    AppleEventDescriptor directObject;
    bool wantsReply = true;

    static AppleEvent replyEvent()
    {
        AppleEvent reply;
        reply.eventClass = AppleEventCode::kClassCore;
        reply.eventID = AppleEventCode::kIdAnswer;
        reply.wantsReply = false;
        return reply;
    }
};
