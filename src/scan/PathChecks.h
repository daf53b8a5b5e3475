#pragma once

#include <optional>
#include <string>

// Small tests on paths used by the scan, the filing and the preferences.

// True when the file's header is that of a raster image (JPEG, PNG, GIF,
// TIFF, BMP, WebP, HEIC/HEIF, camera raw); the image is not decoded.
bool IsValidImageObject(const std::string& path);

// The existing companion movie of a photo: IMG_7.mov, else IMG_7_muxed.mov.
std::optional<std::string> getMatchingExistingMovieFilePath(const std::string& photoPath);

// True for "/", a mount point, the volumes folder and a volume directly in it.
bool isRootVolume(const std::string& path);

// True for hidden items (a name beginning with ".") and the system's own
// folders that no operator means to pick.
bool isInvisibleFileAtPath2(const std::string& path);
