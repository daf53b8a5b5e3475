#pragma once

#include <string>
#include <string_view>
#include <sys/types.h>

// Small file helpers shared by the store, the logs and the movers.
namespace FileUtil {

// Reads a whole file; false and the reason when it cannot.
bool readFile(const std::string& path, std::string& contents, std::string* error = nullptr);

// Replaces the file at path with the bytes: written to a temporary file in
// the same folder with the given mode, flushed to disk, then renamed over the
// old one, so a crash leaves either the old or the new file whole.
bool writeFileAtomically(const std::string& path, std::string_view bytes, mode_t mode, std::string* error = nullptr);

// mkstemp, close-on-exec: the trailing "XXXXXX" of pattern is replaced by the
// name of a new file (mode 0600). Returns its descriptor, or -1 with errno set.
int makeTemporaryFile(std::string& pattern);

// Creates the folder and its missing parents (new folders get the mode).
bool makeFolders(const std::string& path, mode_t mode, std::string* error = nullptr);

bool exists(const std::string& path);
bool isDirectory(const std::string& path);

// The folder part of a path ("/a/b/c" -> "/a/b"; "c" -> ".").
std::string parentFolder(const std::string& path);

// The last component of a path ("/a/b.jpg" -> "b.jpg"; trailing slashes ignored).
std::string lastPathComponent(const std::string& path);

// The extension of the last component without its dot; empty when none.
std::string pathExtension(const std::string& path);

// The path with the extension of its last component removed ("/a.b/c.jpg" -> "/a.b/c").
std::string pathWithoutExtension(const std::string& path);

// root joined with a relative path by one slash.
std::string joinPath(const std::string& root, const std::string& relative);

// A leading "~" replaced by the home folder.
std::string expandTilde(const std::string& path);

// The home folder ($HOME, else the password database).
std::string homeFolder();

} // namespace FileUtil
