#include "util/RevealFolder.h"

#include "platform/ConsoleLog.h"
#include "platform/FileUtil.h"
#include "util/ShellScript.h"

#include <vector>

bool revealItemInFinder(const std::string& path, const std::function<void()>& beep)
{
    const std::string folder = FileUtil::expandTilde(path);
    if (folder.empty() || !FileUtil::isDirectory(folder)) {
        if (beep)
            beep();
        ConsoleLog::write("User Needs to Select a Valid Existing Folder...");
        return false;
    }
    return runShellScript("reveal-folder.sh", std::vector<std::string>{folder});
}
