#pragma once

#include <chrono>
#include <string>

// A note beside the settings store that the station ended because an upload
// hung and is to be started again (by quon-relaunch or by a service manager).
// The next station on that store reads and removes it, and then goes on
// uploading by itself even with the automatic start off: the restart was
// meant to recover the station, not to leave it idle.
namespace RestartMarker {

// The marker for a store path ("quon-uploader.restart" beside it).
std::string pathFor(const std::string& storePath);

// Leaves the marker; false (and the reason) when it cannot be written.
bool leave(const std::string& markerPath, std::string* error = nullptr);

// Removes the marker without reading it (a restart that did not happen).
void discard(const std::string& markerPath);

// True when a marker younger than maxAge was there; removes it either way,
// so an old one (a station stopped for good after the hang) starts nothing.
bool take(const std::string& markerPath, std::chrono::seconds maxAge = std::chrono::minutes(10));

} // namespace RestartMarker
