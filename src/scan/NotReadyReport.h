#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The photos a scan pass left in the source folder and why ("no embedded
// metadata", "waiting for its movie", …), for the operator's status and for
// `quon-ctl status`. A pass notes each photo it passes over; at its end the
// photos it did not see again (filed, removed) drop out. Thread-safe.
class NotReadyReport {
public:
    struct Entry {
        std::string path;
        std::string reason;
    };

    // Photos noted together that a later pass may pass over as a whole,
    // unchanged (a run of waiting photos in one folder).
    struct Group {
        uint64_t pass = 0;   // the pass that noted them again as a whole
        bool intact = true;  // none of them was forgotten since
    };

    // Starts a pass over the source folder.
    void beginPass();
    // Records a photo left behind; true when it is new or its reason changed,
    // so the operator is told once, not on every pass. group: the run it
    // belongs to, if any.
    bool note(const std::string& path, const std::string& reason, const std::shared_ptr<Group>& group = nullptr);
    // The pass passed over the group's photos unchanged: each counts as noted
    // again with its reason. False when one of them left the list since.
    bool noteAgain(Group& group);
    // The photo left the list (selected, filed or gone).
    void forget(const std::string& path);
    // Ends a pass that walked the whole folder: photos it did not note again drop out.
    void endCompletePass();

    // The first `limit` photos in path order, and how many there are in all.
    std::vector<Entry> entries(std::size_t limit) const;
    std::size_t count() const;
    // One line for the operator: how many photos wait and why, the most
    // common reason first ("3 photos wait in the source folder: 2 still being
    // written, 1 no embedded metadata"); empty when none waits.
    std::string summary() const;

private:
    struct Noted {
        std::string reason;
        uint64_t pass = 0; // the pass that noted it last
        std::shared_ptr<Group> group;
    };
    bool notedInThisPass(const Noted& noted) const;

    mutable std::mutex fMutex;
    std::map<std::string, Noted> fReasons;
    uint64_t fPass = 1;
};
