#pragma once

#include <optional>
#include <string>

// Small tests on paths used by the scan, the filing and the preferences.

// True when the file's header is that of a raster image (JPEG, PNG, GIF,
// TIFF, BMP, WebP, HEIC/HEIF, camera raw); the image is not decoded.
bool IsValidImageObject(const std::string& path);

// The existing companion movie of a photo: IMG_7.mov, else IMG_7_muxed.mov,
// the extension in any letter case ("IMG_7.MOV"), under its real name. Only
// a regular file counts: a link is never a movie.
std::optional<std::string> getMatchingExistingMovieFilePath(const std::string& photoPath);

// The movie sent with a photo when movies are on: IMG_7.mov in any letter
// case of the extension, a regular file under its real name.
std::optional<std::string> companionMovieFilePath(const std::string& photoPath);

// The muxed movie a photo's block names: that file in the photo's own folder.
// Nothing when the name could lead elsewhere (empty, "." or "..", or with a "/").
std::optional<std::string> muxedMovieFilePath(const std::string& photoPath, const std::string& movieName);

// True for "/", a mount point, the volumes folder and a volume directly in it.
bool isRootVolume(const std::string& path);

// True for hidden items (a name beginning with ".") and the system's own
// folders that no operator means to pick.
bool isInvisibleFileAtPath2(const std::string& path);
