#include "hires/HttpHiResController.h"

#include "app/MaintenanceProgress.h"
#include "filing/ZVI_FileManager.h"
#include "hires/HiResFileVetting.h"
#include "hires/OrderReplyXml.h"
#include "platform/AppPaths.h"
#include "platform/ConsoleLog.h"
#include "platform/FileUtil.h"
#include "platform/MacRoman.h"
#include "platform/PercentEscapes.h"
#include "platform/TextUtil.h"
#include "prefs/Preferences.h"
#include "upload/HttpTransfer.h"
#include "upload/MultipartBody.h"

#include <pugixml.hpp>

namespace {

constexpr const char* kClass = "HttpHiResController";

// The hi-res debug copies: "/Library/Logs/Quon" here.
std::string hiResLogFolder()
{
    const std::string folder = AppPaths::logRoot() + "/Quon";
    std::string error;
    if (!FileUtil::makeFolders(folder, 0700, &error))
        ConsoleLog::writef("%s => no debug copy: %s", kClass, error.c_str());
    return folder;
}

} // namespace

void HttpHiResController::updateLine2(const std::string& text)
{
    if (_progressDelegate)
        _progressDelegate->ibUpdateLine2TextField(text);
}

std::optional<std::vector<std::string>> HttpHiResController::searchRoots() const
{
    if (!Preferences::getPrefDoUseOrvHiResAlternatePath1())
        return std::nullopt;
    const auto alternate = Preferences::getPrefOrvHiResAlternatePath1();
    if (!alternate || alternate->empty())
        return std::nullopt;
    return std::vector<std::string>{*alternate};
}

bool HttpHiResController::doQueryAndUploadHiResWithInfo(OrderQueryInfo& info)
{
    const char* op = "doQueryAndUploadHiResWithInfo:";
    logInside(kClass, op);
    fOutcome = {};

    OrderQueryResult result;
    result.progressDelegate = _progressDelegate;
    result.edUser = info.edUser;
    result.edPasswd = info.edPasswd;

    const std::string fuseAction = Preferences::getPrefCheckHiResOrderFuseAction().value_or("");
    MultipartBody body;
    body.addField("fuseaction", fuseAction);
    body.addField("username", info.edUser.value_or(""));
    body.addField("password", info.edPasswd.value_or(""));
    std::string error;
    if (!body.writeTo(hiResLogFolder() + "/hiresPostBody.txt", &error))
        ConsoleLog::writef("%s => %s...no debug copy: %s", kClass, op, error.c_str());
    body.close();

    if (_progressDelegate)
        _progressDelegate->ibUpdateLine2TextField("Sending Query to " + fuseAction);
    const HttpTransfer::Result reply = HttpTransfer::post(Preferences::getPrefOrvURL().value_or(""), body, fShouldAbort,
                                                          "The order check was stopped: the application is quitting");

    if (reply.body) {
        ConsoleLog::writef("========== returnData May Contain Error11: \n%s\n=========\n\n",
                           OrderReplyXml::boundedForLog(MacRoman::toUtf8(*reply.body)).c_str());
        if (!FileUtil::writeFileAtomically(hiResLogFolder() + "/hiresOrderResponse.txt", *reply.body, 0600, &error))
            ConsoleLog::writef("%s => %s...no debug copy of the reply: %s", kClass, op, error.c_str());
    } else {
        ConsoleLog::write("========== sendSynchronousRequest returned [<NIL>]\n\n");
    }
    if (reply.response) {
        result.httpStatusCode = reply.response->statusCode;
        result.httpResponse = reply.response;
    } else {
        ConsoleLog::write("NO Response returned from sendSynchronousRequest???");
    }
    if (reply.error) {
        ConsoleLog::writef("====> the error is:\n%s\n\n", reply.error->localizedDescription.c_str());
        result.httpError = reply.error;
    }

    auto document = std::make_shared<pugi::xml_document>();
    if (!reply.body) {
        const std::string why = reply.error ? reply.error->localizedDescription : std::string("no reply");
        fOutcome.problem = reply.response ? "The web service's answer to the order check was not read: " + why
                                          : "The order check could not reach the web service: " + why;
    } else if (result.httpReturnData = reply.body; !OrderReplyXml::parse(*reply.body, *document, &error)) {
        ConsoleLog::writef("responseString converted to xmlDoc with Error: [%s]\n\n", error.c_str());
        fOutcome.problem = "The web service's answer to the order check could not be read: " + error;
    } else if (TextUtil::equalsIgnoringCase(fuseAction, "orders.v4check")) {
        Vers4Input input{&result, document};
        parseDataVers4(*reply.body, input);
    } else {
        runVers3(document->document_element(), result);
    }
    if (!fOutcome.problem.empty())
        updateLine2(fOutcome.problem);

    info.clear();
    ConsoleLog::writef("EXITING  %s => %s...", kClass, op);
    return true;
}

void HttpHiResController::takeStatusAndMessage(OrderReply& reply, OrderQueryResult& result)
{
    if (reply.status) {
        ConsoleLog::writef("httpOurCustomStatus = [%s]", OrderReplyXml::boundedForLog(*reply.status).c_str());
        result.httpOurCustomStatus = std::move(reply.status);
    }
    if (reply.message) {
        ConsoleLog::writef("httpOurCustomMessage = [%s]", OrderReplyXml::boundedForLog(*reply.message).c_str());
        result.httpOurCustomMessage = std::move(reply.message);
    }
}

void HttpHiResController::runVers3(const pugi::xml_node& root, OrderQueryResult& result)
{
    OrderReply reply = OrderReply::readVers3(root);
    if (!reply.images.empty()) {
        updateLine2(stringWithFormat("Found %i Orders...", static_cast<int>(reply.images.size())));
        for (const OrderReply::Image& image : reply.images)
            fulfil(image, result, false);
        ConsoleLog::write("Done With LOOP........");
    }
    takeStatusAndMessage(reply, result);
}

void HttpHiResController::fulfil(const OrderReply::Image& image, const OrderQueryResult& result, bool isVers4)
{
    ++fOutcome.requested;
    const char* what = isVers4 ? "image" : "order";
    if (!image.localfilelocation) {
        ConsoleLog::writef("WARNING => skipped an %s without localfilelocation (orderid [%s], imageid [%s])", what,
                           image.orderid.value_or("").c_str(), image.imageid.value_or("").c_str());
        ++fOutcome.refused;
        return;
    }
    const std::string location = PercentEscapes::decodeAsMacRoman(*image.localfilelocation);
    updateLine2("Looking for Hi Res Item: [" + location + "]");
    std::string foundUnder;
    std::optional<std::string> found =
        ZVI_FileManager::doResolveOriginalPathInArrayOfPaths(location, searchRoots(), &foundUnder);
    if (!found && isVers4 && image.filename && image.localfilelocation->empty()) {
        const std::string tryPath = fileNameFallbackTryPath(*image.filename);
        updateLine2("Looking for Hi Res Item: [" + tryPath + "]");
        found = ZVI_FileManager::doResolveOriginalPathInArrayOfPaths(tryPath, fileNameFallbackRoots(), &foundUnder);
    }
    if (!found) {
        ConsoleLog::writef("WARNING => Unable to find item = [%s]", location.c_str());
        ++fOutcome.notFound;
        return;
    }
    ConsoleLog::writef("!!!!!!! GREAT => FOUND the localFileItem = [%s]", found->c_str());
    std::string reason;
    if (!HiResFileVetting::isSendable(*found, foundUnder, &reason)) {
        ConsoleLog::writef("%s => %s: %s", kClass, found->c_str(), reason.c_str());
        ConsoleLog::writef("refused to upload %s: not an image file", found->c_str());
        ++fOutcome.refused;
        return;
    }
    if (!image.imageid) {
        ConsoleLog::writef("refused to upload %s: the %s has no imageid, which the hi-res upload needs", found->c_str(),
                           what);
        ++fOutcome.refused;
        return;
    }
    updateLine2("Uploading Hi Res Item: [" + *found + "]");
    HiResUploadInfo upload;
    upload.edUser = result.edUser;
    upload.edPasswd = result.edPasswd;
    upload.edFileName = *found;
    upload.edImageId = image.imageid;
    upload.edOrderId = image.orderid;
    upload.edPictureId = image.pictureid;
    doRunHttpUploaderHiResWithInfo(upload);
    if (fLastUploadAccepted)
        ++fOutcome.uploaded;
    else
        ++fOutcome.uploadFailed;
}
