#include "hires/OrderCheck.h"

#include "platform/ConsoleLog.h"

void OrderCheck::doQueryAndUploadHiResProcess()
{
    logInside("OrderCheck", "doQueryAndUploadHiResProcess");
}
