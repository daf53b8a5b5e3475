#pragma once

#include <string>

// What remote commands act on: the application controller's operator actions.
// Called on the main thread.
class AppleEventTarget {
public:
    virtual ~AppleEventTarget() = default;
    // "upnw": start processing as the Synchronize button does.
    virtual void ibClickedOnSynchronizeAgain(const void* sender) = 0;
    // "upnw" first: ends a pause (or withdraws one still waiting for its
    // photo) and goes on, whether or not the paused photo is still being
    // filed; false, doing nothing, when the process is not paused.
    virtual bool resumePausedProcess(const void* sender) = 0;
    // Asks for a pause when an upload is running.
    virtual void forceProcessToPause(const void* sender) = 0;
    // "paus": a pause when an upload is running; an idle process pauses at
    // once, so the next photo that arrives waits for "upnw".
    virtual void pauseFromAnotherProgram(const void* sender) { forceProcessToPause(sender); }
    // "quit": quit at once.
    virtual void ibClickedOnQuit(const void* sender) = 0;
    // "stat": the station's status as one line of JSON.
    virtual std::string stationStatusReport() const = 0;
};
