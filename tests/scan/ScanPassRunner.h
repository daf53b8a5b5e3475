#pragma once

// One scan pass over a station's source folder, run on the calling thread as
// the scan thread would run it; what it chose reaches the caller's observers.

#include "app/AppController.h"
#include "app/Notifications.h"
#include "app/ScanRequestInfo.h"
#include "platform/NotificationCenter.h"
#include "scan/ScanPass.h"

#include <memory>
#include <string>

namespace ScanPassRunner {

inline void runPass(AppController& controller, const std::string& source, const std::string& mirror)
{
    controller.getCurrentLoginInfo();
    auto request = std::make_shared<ScanRequestInfo>();
    request->localRootFolder = source;
    request->localMirrorFolder = mirror;
    request->userEnteredEventName = "Gala";
    ScanPass(controller).run(Notification{cNotification_ScanFolder, &controller, request});
}

} // namespace ScanPassRunner
