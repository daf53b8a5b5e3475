#pragma once

#include "remote/AppleEvent.h"

#include <set>
#include <string>
#include <utility>

class AppleEventTarget;

// Carries out the remote commands: "upnw" (upload now), "paus" (pause),
// "quit", "1234", which reads or writes a fixed set of settings, and "stat",
// the station's status. It answers in the reply event's direct object with
// plain texts, for a read with the list ("COMMAND SUCCESS", (word, key,
// value)), and for "stat" with one text holding a JSON object.
//
// Threading: everything runs on the main thread (the commands arrive there
// from CommandSocketServer), one command at a time. The target's operations
// are called synchronously from inside handleTestAEHandler.
class AppleEventHandler {
public:
    AppleEventHandler() = default;
    AppleEventHandler(const AppleEventHandler&) = delete;
    AppleEventHandler& operator=(const AppleEventHandler&) = delete;

    // Registers the commands for the target (which must outlive this
    // object). With no target, logs "UNABLE setupForAppleEventsForThisApp" and
    // registers nothing: the application then runs without remote control.
    bool setupForAppleEventsForThisApp(AppleEventTarget* target);

    // True when a handler is registered for this (class, id) pair.
    bool isRegistered(const std::string& eventClass, const std::string& eventID) const;

    // Hands an event to its registered handler. Returns false, doing nothing,
    // when no handler is registered for its class and id. replyEvent is null
    // when the sender does not want a reply.
    bool dispatchAppleEvent(const AppleEvent& event, AppleEvent* replyEvent);

    // The registered handler: dispatches on the event id.
    void handleTestAEHandler(const AppleEvent* event, AppleEvent* replyEvent);

private:
    void handleParameterCommand(const AppleEvent& event, AppleEvent& replyEvent);
    void setValue(const std::string& key, const std::string& value, AppleEvent& replyEvent);
    void getValue(const std::string& word, const std::string& key, const std::string& value, AppleEvent& replyEvent);

    AppleEventTarget* fTarget = nullptr;
    std::set<std::pair<std::string, std::string>> fRegistered;
};
