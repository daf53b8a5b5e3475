#pragma once

#include <functional>
#include <string>

// Shows a folder in the desktop's file browser through the packaged script
// reveal-folder.sh. A path that is empty or, after "~" expansion, names no
// existing folder is refused: logged, beep() called, false returned.
bool revealItemInFinder(const std::string& path, const std::function<void()>& beep = {});
