#include "housekeeping/OldPhotoCleanup.h"

#include "platform/ConsoleLog.h"

void OldPhotoCleanup::doSetupDeleteOldPhotosThread()
{
    logInside("OldPhotoCleanup", "doSetupDeleteOldPhotosThread");
}
