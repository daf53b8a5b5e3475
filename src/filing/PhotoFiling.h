#pragma once

#include "filing/PhotoRetryPauses.h"

#include <optional>
#include <string>

// Carries a photo and the movie that belongs to it out of the source folder
// into the mirror folder or the Problem Folder, under the same relative path,
// as one pair:
//  - in the mirror folder a same-named photo with the same bytes is replaced;
//    one with other bytes (a camera whose counter started again) is kept
//    under its name with " %Y%m%d_%H%M%S" (its modification time) before the
//    extension, and its movie under the same stamp;
//  - in the Problem Folder a name already taken stays, and the newcomer gets
//    the time stamp of now; its movie takes the photo's new name.
// When the photo cannot be moved its movie stays with it. Runs on the
// caller's thread.
namespace PhotoFiling {

struct Outcome {
    bool filed = true;       // everything that was in the source folder arrived
    std::string problem;     // why not, in the system's words
    std::string destination; // where the photo arrived
};

// What the caller looked up just before, so the filing does not look again.
// A photo or movie that goes or changes after that is handled as the moves
// find it: a photo gone is not filed twice, a movie gone is not waited for.
struct Known {
    bool lookedUp = false;            // the fields below were just taken
    std::optional<std::string> movie; // the photo's movie, full path; none when it has none
    bool destinationFree = false;     // nothing lay at the photo's destination
};

Outcome filePhotoAndMovie(const std::string& sourceRoot, const std::string& localItem, const std::string& destRoot,
                          PhotoRetryPauses::Destination destination, const Known& known = {});

} // namespace PhotoFiling
