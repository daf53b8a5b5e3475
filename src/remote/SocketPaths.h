#pragma once

#include <string>
#include <sys/types.h>

// Where the uploader's command socket lives, shared by the uploader and quon-ctl.
namespace SocketPaths {

// $QUON_SOCKET, else $XDG_RUNTIME_DIR/quon-uploader.sock, else the socket in
// the user's private folder under /tmp (fallbackSocketPath).
std::string defaultSocketPath();

// /tmp/quon-uploader-<uid>: the folder that keeps the socket away from other
// users when there is no runtime folder. tmpRoot replaces /tmp in tests.
std::string fallbackFolder(uid_t uid, const std::string& tmpRoot = "/tmp");
std::string fallbackSocketPath(uid_t uid, const std::string& tmpRoot = "/tmp");

// Whether path lies in the fallback folder of this user.
bool isInFallbackFolder(const std::string& path);

// Checks that folder is a real folder (not a link) owned by uid with no
// rights for group or others. With create, a missing folder is made with
// mode 0700 first. False and the reason when it is not private.
bool checkPrivateFolder(const std::string& folder, uid_t uid, bool create, std::string* error);

} // namespace SocketPaths
