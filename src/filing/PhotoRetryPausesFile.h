#pragma once

#include <mutex>
#include <string>

class PhotoRetryPauses;

// The photos' pauses and watchdog cut-offs on disk, so that they outlive the
// process: a station relaunched after a hung upload must not send the photo
// that hung again at once. The file ("photo-retry-pauses.plist", an XML
// property list) lies beside the acceptance journal in the state folder. It
// is replaced whole (temporary file, then rename) after each change, so a
// crash leaves the old or the new list, never half of one. Thread-safe.
class PhotoRetryPausesFile {
public:
    static constexpr const char* kFileName = "photo-retry-pauses.plist";

    // The file beside the journal at journalPath; in the state folder when
    // there is no journal.
    static std::string pathBeside(const std::string& journalPath);

    explicit PhotoRetryPausesFile(std::string path = {}) : fPath(std::move(path)) { }
    void setPath(std::string path);
    std::string path() const;

    // Writes the pauses out; false (logged, with the reason) when it cannot.
    bool save(const PhotoRetryPauses& pauses, std::string* error = nullptr);

    // Replaces the pauses with those of the file, dropping the photos that
    // are gone. A missing file leaves none; a torn or garbage file is
    // ignored with a log line. Returns the number of photos read.
    size_t load(PhotoRetryPauses& pauses);

private:
    mutable std::mutex fMutex; // one writer at a time, so the last change is the one on disk
    std::string fPath;
};
