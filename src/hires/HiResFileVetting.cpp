#include "hires/HiResFileVetting.h"

#include "scan/PathChecks.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

namespace HiResFileVetting {

namespace {

bool realPath(const std::string& path, std::string& resolved)
{
    char buffer[PATH_MAX];
    if (!::realpath(path.c_str(), buffer))
        return false;
    resolved = buffer;
    return true;
}

} // namespace

bool isSendable(const std::string& foundPath, const std::string& foundUnderRoot, std::string* reason)
{
    std::string real;
    if (!realPath(foundPath, real)) {
        *reason = std::string("it cannot be reached: ") + std::strerror(errno);
        return false;
    }
    struct stat st { };
    if (::stat(real.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        *reason = "it is not a regular file";
        return false;
    }
    if (!foundUnderRoot.empty()) {
        std::string root;
        if (!realPath(foundUnderRoot, root)) {
            *reason = "its search folder " + foundUnderRoot + " cannot be reached";
            return false;
        }
        const std::string prefix = root == "/" ? root : root + "/";
        if (real.compare(0, prefix.size(), prefix) != 0) {
            *reason = "it leads to " + real + ", outside the search folder " + foundUnderRoot;
            return false;
        }
    }
    if (!IsValidImageObject(real)) {
        *reason = "its contents are not those of an image";
        return false;
    }
    return true;
}

} // namespace HiResFileVetting
