#include "hires/HttpHiResController.h"

#include "hires/OrderReplyXml.h"
#include "platform/ConsoleLog.h"
#include "platform/FileUtil.h"
#include "platform/MacRoman.h"
#include "platform/TextUtil.h"
#include "prefs/Preferences.h"
#include "upload/HttpTransfer.h"
#include "upload/MultipartBody.h"

#include <pugixml.hpp>

namespace {
constexpr const char* kClass = "HttpHiResController";
constexpr int kLongestLoggedChildList = 32;
} // namespace

bool HttpHiResController::doRunHttpUploaderHiResWithInfo(HiResUploadInfo& info)
{
    const char* op = "doRunHttpUploaderHiResWithInfo:";
    logInside(kClass, op);
    fLastUploadAccepted = false;
    auto finish = [&] {
        info.clear();
        ConsoleLog::writef("EXITING  %s => %s...", kClass, op);
        return true;
    };
    if (!info.edUser || !info.edPasswd || info.edFileName.empty() || !info.edImageId) {
        ConsoleLog::writef("refused to upload %s: the upload needs the login, the file and the imageid",
                           info.edFileName.c_str());
        return finish();
    }

    MultipartBody body;
    body.addField("fuseaction", Preferences::getPrefUploadHiResOrderFuseAction().value_or(""));
    body.addField("username", *info.edUser);
    body.addField("password", *info.edPasswd);
    if (info.edOrderId)
        body.addField("orderid", *info.edOrderId);
    body.addField("imageid", *info.edImageId);
    if (info.edPictureId)
        body.addField("pictureid", *info.edPictureId);
    const bool isPng = TextUtil::equalsIgnoringCase(FileUtil::pathExtension(info.edFileName), "PNG");
    body.addFilePartHeader("imgfile", FileUtil::lastPathComponent(info.edFileName), isPng ? "image/png" : "image/jpeg");
    std::string error;
    if (!body.addFileContents(info.edFileName, &error)) {
        ConsoleLog::writef("Error in Reading the Contents of file at path:\n%s\n\n", info.edFileName.c_str());
        return finish();
    }
    body.close();

    OrderQueryResult result;
    result.edUser = info.edUser;
    result.edPasswd = info.edPasswd;
    ConsoleLog::writef("Inside %s => %s... Start to sendSynchronousRequest", kClass, op);
    const HttpTransfer::Result reply = HttpTransfer::post(Preferences::getPrefOrvURL().value_or(""), body, fShouldAbort,
                                                          "The hi-res upload was stopped: the application is quitting");
    if (reply.body)
        ConsoleLog::writef("========== returnData May Contain Error22: \n%s\n=========\n\n",
                           OrderReplyXml::boundedForLog(MacRoman::toUtf8(*reply.body)).c_str());
    else
        ConsoleLog::write("========== sendSynchronousRequest returned [<NIL>]\n\n");
    if (reply.response) {
        result.httpStatusCode = reply.response->statusCode;
        ConsoleLog::writef("====> ReturningResponse.statusCode:\n%li\n", reply.response->statusCode);
        result.httpResponse = reply.response;
    } else {
        ConsoleLog::write("NO Response returned from sendSynchronousRequest???");
    }
    if (reply.error) {
        ConsoleLog::writef("====> the error is:\n%s\n\n", reply.error->localizedDescription.c_str());
        result.httpError = reply.error;
    }
    if (body.readFailed())
        ConsoleLog::writef("Error in Reading the Contents of file while sending:\n%s\n\n", body.readError().c_str());

    pugi::xml_document document;
    if (reply.body) {
        result.httpReturnData = reply.body;
        if (!OrderReplyXml::parse(*reply.body, document, &error)) {
            ConsoleLog::writef("responseString converted to xmlDoc with Error: [%s]\n\n", error.c_str());
        } else {
            const pugi::xml_node root = document.document_element();
            int index = 0;
            std::optional<std::string> first, second;
            for (const pugi::xml_node& child : root.children()) {
                const std::string text = OrderReplyXml::stringValue(child);
                if (index < kLongestLoggedChildList) {
                    ConsoleLog::writef("===> NSXMLNode child[%i] = [%s]", index, child.name());
                    ConsoleLog::writef("===> attribute at child[%i] = [%s]", index, child.name());
                    ConsoleLog::writef("===> info at child[%i] = [%s]", index,
                                       OrderReplyXml::boundedForLog(text).c_str());
                }
                if (index == 0)
                    first = text;
                else if (index == 1)
                    second = text;
                ++index;
            }
            if (index > 1) {
                result.httpOurCustomStatus = first;
                result.httpOurCustomMessage = second;
            } else {
                ConsoleLog::write("NOT GETTING Enough data back from Response??????");
            }
        }
    }
    fLastUploadAccepted = !result.httpError && result.httpStatusCode == 200L &&
        TextUtil::equalsIgnoringCase(result.httpOurCustomStatus.value_or(""), "OK");
    ConsoleLog::writef("%s => hi-res file %s for imageid [%s]: %s", kClass, info.edFileName.c_str(),
                       info.edImageId->c_str(),
                       fLastUploadAccepted ? "accepted"
                                           : ("not accepted (" + result.httpOurCustomStatus.value_or("no reply") + " " +
                                              result.httpOurCustomMessage.value_or("") + ")")
                                                 .c_str());
    return finish();
}
