#pragma once

#include "filing/AcceptanceJournal.h"
#include "filing/PhotoFiling.h"

#include <optional>
#include <string>

class UploadItemInfo;

// Files a photo whose place the web service's answer has decided, through
// the acceptance journal: the decision is recorded first, then the photo and
// its movie are moved, then the record is dropped. The same steps finish
// what a killed station left half done: a photo still in the source folder
// is moved (or, when a whole copy of it already lies at its destination,
// only removed from the source), and a movie left behind follows its photo.
namespace AcceptedPhotoFiling {

// The record for the item as it lies in the source folder now; none when the
// photo is not a regular file there any more.
std::optional<AcceptanceJournal::Record> recordFor(const UploadItemInfo& item,
                                                   AcceptanceJournal::Destination destination,
                                                   const std::string& destRoot);

// Writes the record to the journal before anything moves.
void recordAcceptance(const AcceptanceJournal::Record& record);

// Puts the photo and its movie where the record says, as one pair; once both
// are in place (or the photo there is another one now) the record is dropped.
// justMade: the record was made from the source folder a moment ago (recordFor),
// so the photo and its movie are taken as it found them.
PhotoFiling::Outcome file(const AcceptanceJournal::Record& record, bool justMade = false);

} // namespace AcceptedPhotoFiling
