#pragma once

#include "filing/PhotoRetryPauses.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct stat;

// The station's promise to itself: once the web service's answer has decided
// where a photo goes (the mirror folder after a success, the Problem Folder
// after a refusal), that decision is written here before the first move, and
// marked done once the photo and its movie are in place. A photo killed
// half-way is then filed as recorded at the next pass instead of being sent
// a second time.
//
// The journal is an append-only text file, one record a line, each line
// carrying a check sum so a line torn by a crash is recognised and dropped.
// It lies in the folder that holds the log root: the state folder
// ${XDG_STATE_HOME:-~/.local/state}/quon-uploader/, or the parent of
// $QUON_LOG_ROOT when that is set. Lines are written with a plain write,
// which survives a killed process; they are flushed to the disk in batches
// (every 32 lines or every second, and when the station goes idle), not once
// a photo. Opening the journal rewrites it with the records still pending.
// Thread-safe.
class AcceptanceJournal {
public:
    using Destination = PhotoRetryPauses::Destination;

    // One accepted photo: what identifies it in the source folder and where it goes.
    struct Record {
        std::string sourceRoot;
        std::string item; // relative to sourceRoot
        uint64_t size = 0;
        int64_t modifiedNs = 0;
        Destination destination = Destination::MirrorSiteFolder;
        std::string destRoot;
        std::string movie; // the movie filed with it, relative to sourceRoot; empty when none

        std::string photoPath() const;
        std::string moviePath() const;
        // The file st describes is still the photo this record was made for:
        // a regular file of the same size and modification time.
        bool isStill(const struct stat& st) const;
    };

    AcceptanceJournal() = default;
    ~AcceptanceJournal();
    AcceptanceJournal(const AcceptanceJournal&) = delete;
    AcceptanceJournal& operator=(const AcceptanceJournal&) = delete;

    static AcceptanceJournal& shared();
    // The file in the state folder.
    static std::string defaultPath();

    // Opens the journal (created when missing) and keeps the records still
    // pending. False, with the reason, when it cannot be written: the station
    // then files without it, as it did before it had one.
    bool open(const std::string& path, std::string* error = nullptr);
    // Flushes and closes; a later record opens the default journal again.
    void close();
    bool isOpen() const;
    // Opens the default journal unless one is open; false when it cannot.
    bool ensureOpen();
    std::string path() const;

    // The answer decided the photo's place. Written before anything moves.
    bool recordAcceptance(const Record& record);
    // The photo and its movie are in place: the record is dropped.
    void recordFiled(const Record& record);
    // Flushes the lines written so far to the disk.
    void flush();

    // The pending record of the photo at that path, when the file there is
    // still the photo it was made for (same size and modification time).
    std::optional<Record> pendingFor(const std::string& photoPath) const;
    std::vector<Record> pending() const;

    // The size and modification time of a regular file.
    static bool identify(const std::string& path, uint64_t& size, int64_t& modifiedNs);

    // The pending record kept under that photo path, whatever lies there now.
    std::optional<Record> pendingUnder(const std::string& photoPath) const;

    // Lines written and flushes done since the journal was opened.
    struct Counters {
        uint64_t lines = 0;
        uint64_t flushes = 0;
    };
    Counters counters() const;
    // How often the lines are flushed: after this many, or this long after the first unflushed one.
    void setFlushPolicy(int lines, std::chrono::milliseconds interval);

private:
    bool openLocked(const std::string& path, std::string* error);
    bool ensureOpenLocked();
    bool appendLocked(const std::string& line);
    void flushLocked();

    mutable std::mutex fMutex;
    std::string fPath;
    int fFd = -1;
    bool fTriedDefault = false;
    std::map<std::string, Record> fPending; // by photo path
    int fUnflushed = 0;
    std::chrono::steady_clock::time_point fFirstUnflushed;
    int fFlushLines = 32;
    std::chrono::milliseconds fFlushInterval{1000};
    Counters fCounters;
    uint64_t fLinesSinceCompaction = 0;
};
