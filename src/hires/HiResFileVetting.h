#pragma once

#include <string>

// The service names the files the station sends, so a found file is sent
// only when it is an image that lies where it was looked for: a regular file
// (links followed) still below the search root it was found under (or, found
// at the recorded path itself, anywhere) whose header is that of an image.
namespace HiResFileVetting {

// True when the file may be sent; otherwise false and why.
bool isSendable(const std::string& foundPath, const std::string& foundUnderRoot, std::string* reason);

} // namespace HiResFileVetting
