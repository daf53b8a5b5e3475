#pragma once

#include <string>

// One ordered image the service wants the hi-res file of. The location is
// written into the reply as given (the service sends it percent-escaped).
struct RefOrder {
    std::string orderid;
    std::string imageid;
    std::string pictureid;
    std::string localfilelocation;
    std::string filename; // version-4 replies only
};
