#pragma once

#include <ctime>
#include <string>
#include <vector>

// Temporary files of ours that a kill left behind: a request dump or a
// settings write cut short leaves "<name>.XXXXXX" beside the file it was to
// replace (with the password inside), a move cut short leaves
// ".quon-moving-XXXXXX" in the destination folder. Only files of those exact
// names, in the folders where we make them, last changed before the given
// time (the start of this process), are removed: a copy that a running
// process is still writing is younger.
namespace LeftoverCleanup {

// Whether name is base followed by six characters as mkstemp makes them
// (letters and digits, of at least two kinds: upper case, lower case, digit).
bool isTemporaryName(const std::string& name, const std::string& base);

// Removes the regular files in folder (not below it) named after one of
// the bases. Returns how many were removed; each is logged.
size_t removeInFolder(const std::string& folder, const std::vector<std::string>& bases, std::time_t changedBefore);

// The same for one base through the whole tree under root; links are not followed.
size_t removeInTree(const std::string& root, const std::string& base, std::time_t changedBefore);

// Request dumps (log root and its "Quon" folder) and settings-store
// temporaries (beside storePath): the ones that can hold the password.
// Small folders: quick enough for start-up.
size_t removeSecretLeftovers(const std::string& storePath, std::time_t changedBefore);

// Move temporaries in the mirror folder, the Problem Folder and the Trash.
// These trees can be large: run it off the main thread.
size_t removeMoveLeftovers(std::time_t changedBefore);

} // namespace LeftoverCleanup
