#include "upload/HttpController.h"

#include "app/Notifications.h"
#include "platform/AppPaths.h"
#include "platform/ConsoleLog.h"
#include "platform/FileUtil.h"
#include "platform/MacRoman.h"
#include "platform/MainThread.h"
#include "platform/NotificationCenter.h"
#include "platform/TextUtil.h"
#include "platform/UserDefaults.h"
#include "prefs/Preferences.h"
#include "scan/PathChecks.h"
#include "scan/UploadItemInfo.h"
#include "upload/HttpTransfer.h"
#include "upload/MultipartBody.h"
#include "upload/UploadProgressDelegate.h"
#include "upload/UploadProgressMeter.h"
#include "upload/UploadReply.h"
#include "upload/UploadResultInfo.h"
#include "upload/UploadWatchdog.h"

#include <QCoreApplication>
#include <QObject>
#include <QString>
#include <string_view>
#include <strings.h>
#include <utility>

namespace {

constexpr const char* kClass = "HttpController";
constexpr const char* kNoEmailWarning = "No Email Addresses Sent";

// The length of the white space or line break (Unicode ones included) that
// text holds at pos, or that ends just before pos when backwards; 0 when none.
size_t whiteSpaceLength(std::string_view text, size_t pos, bool backwards)
{
    static constexpr std::string_view kWide[] = {
        "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83",
        "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A",
        "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"};
    const std::string_view rest = backwards ? text.substr(0, pos) : text.substr(pos);
    if (rest.empty())
        return 0;
    const char c = backwards ? rest.back() : rest.front();
    if (c == ' ' || (c >= '\t' && c <= '\r'))
        return 1;
    for (const std::string_view wide : kWide) {
        const bool found = backwards ? rest.ends_with(wide) : rest.starts_with(wide);
        if (found)
            return wide.size();
    }
    return 0;
}

std::string trimmedOfWhiteSpace(const std::string& text)
{
    size_t begin = 0, end = text.size();
    while (begin < end)
        if (const size_t n = whiteSpaceLength(text, begin, false))
            begin += n;
        else
            break;
    while (end > begin)
        if (const size_t n = whiteSpaceLength(text, end, true))
            end -= n;
        else
            break;
    return text.substr(begin, end - begin);
}

std::string upperCased(const std::string& text) { return QString::fromStdString(text).toUpper().toStdString(); }

// Adds the fields of a contact or sitting dictionary, each when its key is there.
void addDictionaryFields(MultipartBody& body, const PlistValue& dictionary,
                         std::initializer_list<std::pair<const char*, const char*>> keysToFields, const char* what)
{
    if (!dictionary.isDictionary()) {
        ConsoleLog::writef("%s => %s...%s is not a dictionary; its fields are left out", kClass,
                           "doRunHttpUploaderWithInfo:", what);
        return;
    }
    for (const auto& [key, field] : keysToFields) {
        const PlistValue* value = dictionary.find(key);
        if (!value)
            continue;
        if (auto text = UserDefaults::stringValue(*value))
            body.addField(field, *text);
        else
            ConsoleLog::writef("%s => %s...%s[%s] holds no text; left out", kClass, "doRunHttpUploaderWithInfo:", what,
                               key);
    }
}

void logDumpError(const std::string& error)
{
    ConsoleLog::writef("%s => %s...no debug copy: %s", kClass, "doRunHttpUploaderWithInfo:", error.c_str());
}

// The debug copy of the body as it stands, to be written to the named file of the log folder.
RequestDumpWriter::Copy dumpOf(const MultipartBody& body, const char* name)
{
    return {body.snapshot(), AppPaths::logRoot() + "/" + name};
}

// An upload the service never saw: a refusal, so the photo is moved aside.
void refuse(UploadResultInfo& result, const std::string& message)
{
    result.httpOurCustomStatus = "Warning";
    result.httpOurCustomMessage = message;
}

} // namespace

HttpController::HttpController(NotificationCenter& center)
    : fCenter(center), fTimerContext(std::make_unique<QObject>()),
      fWatchdogTimer(std::make_unique<UploadWatchdogTimer>(fTimerContext.get()))
{
    if (auto* app = QCoreApplication::instance())
        fTimerContext->moveToThread(app->thread());
    fCenter.addObserver(this, cNotification_UploadStart,
                        [this](const Notification& n) { handleNotification_UploadStart(n); });
    fCenter.addObserver(this, cNotification_UploadDone,
                        [this](const Notification& n) { handleNotification_UploadDone(n); });
    fCenter.addObserver(this, cNotification_UploadSuccess,
                        [this](const Notification& n) { handleNotification_UploadSuccess(n); });
    fCenter.addObserver(this, cNotification_UploadFail,
                        [this](const Notification& n) { handleNotification_UploadFail(n); });
}

HttpController::~HttpController()
{
    fCenter.removeObserver(this);
    ConsoleLog::writef("%s->%s...", kClass, "dealloc");
}

void HttpController::handleNotification_UploadStart(const Notification& note)
{
    logInside(kClass, "handleNotification_UploadStart:");
    if (!note.userInfo) {
        ConsoleLog::writef("\n\nUnknown Notification Info inside %s::%s:\n%s\n\n", kClass,
                           "handleNotification_UploadStart:", note.name.c_str());
        return;
    }
    doRunHttpUploaderInThread(note);
}

void HttpController::doRunHttpUploaderInThread(const Notification& note)
{
    if (!note.userInfo) {
        ConsoleLog::writef("Passed NO Info to %s => %s...", kClass, "doRunHttpUploaderInThread:");
        return;
    }
    auto item = note.info<UploadItemInfo>();
    if (!item) {
        ConsoleLog::writef("Unknown Class Type Found: [%s] with the info:\n%s", note.name.c_str(),
                           note.userInfo->describe().c_str());
        return;
    }
    doRunHttpUploaderWithInfo(item);
}

bool HttpController::doRunHttpUploaderWithInfo(const std::shared_ptr<UploadItemInfo>& info)
{
    const char* op = "doRunHttpUploaderWithInfo:";
    logInside(kClass, op);
    if (!info) {
        ConsoleLog::writef("Passed NO Info to %s => %s...", kClass, op);
        return true;
    }
    const UploadItemInfo& item = *info;
    const std::string configuredFuseAction = Preferences::getOrvFuseAction().value_or("");

    MultipartBody body;
    body.addField("username", item.edUser);
    body.addField("password", item.edPasswd);
    body.addField("event", eventNameWithKioskStation(item));
    if (TextUtil::equalsIgnoringCase(configuredFuseAction, "upload.wr5")) {
        body.addField("account", item.edUser);
        body.addField("code", upperCased(item.edPasswd));
        body.addField("ids", item.edClientName);
    }
    body.addField("client", item.edClientName);
    body.addField("capturetime", item.edCaptureTime);
    body.addField("metadata", item.edMetaData);
    body.addField("fuseaction", item.edOrvFuseAction);
    if (item.edEmails)
        body.addField("emails", *item.edEmails);
    else
        ConsoleLog::writef("%s => %s...edEmails is NIL????", kClass, op);
    if (item.edOriginalPath)
        body.addField("localfilelocation", *item.edOriginalPath);
    else
        ConsoleLog::writef("%s => %s...edOriginalPath is NIL????", kClass, op);
    if (item.edQuandroInfo)
        addDictionaryFields(body, *item.edQuandroInfo, {{"email", "email"}, {"mobile", "phone"}}, "edQuandroInfo");
    if (item.edSittingInfoDictionary) {
        addDictionaryFields(body, *item.edSittingInfoDictionary,
                            {{"bgloc", "bglocation"},
                             {"firstname", "firstname"},
                             {"lastname", "lastname"},
                             {"zip", "zip"},
                             {"age", "age"},
                             {"email", "email"},
                             {"sittingid", "sittingid"}},
                            "edSittingInfoDictionary");
    } else if (TextUtil::equalsIgnoringCase(configuredFuseAction, "upload.fernbridle")) {
        ConsoleLog::writef("%s => %s...WARNING: fuse action [%s] expects sitting info, but [%s] has none", kClass, op,
                           configuredFuseAction.c_str(), item.edFileName.c_str());
    }
    body.addField("Submit", "Upload");
    body.addFilePartHeader("imgfile", FileUtil::lastPathComponent(item.edFileName),
                           contentTypeForPath(item.edFileName));
    // The debug copies: the text up to the photo's bytes, and everything but
    // the closing delimiter. Written while the request goes out.
    std::vector<RequestDumpWriter::Copy> dumps;
    dumps.push_back(dumpOf(body, "postBodyData.txt"));

    // A file that cannot be read is refused here: nothing is sent for it.
    std::optional<std::string> refusal;
    std::string error;
    if (!body.addFileContents(item.edFileName, &error)) {
        ConsoleLog::writef("Error in Reading the Contents of file at path:\n%s\n\n", item.edFileName.c_str());
        refusal = "Unable to read the photo " + item.edFileName + ": " + error;
    }
    if (const auto movie = chosenMovie(item)) {
        body.addFilePartHeader("vidfile", FileUtil::lastPathComponent(*movie), "video/quicktime");
        if (!body.addFileContents(*movie, &error)) {
            ConsoleLog::writef("Error in Reading the Contents of MOVIE file at path:\n%s\n\n", movie->c_str());
            if (!refusal)
                refusal = "Unable to read the movie " + *movie + ": " + error;
        }
    }
    dumps.push_back(dumpOf(body, "postBodyDataWithImage.txt"));
    if (std::string folderError; !FileUtil::makeFolders(AppPaths::logRoot(), 0700, &folderError)) {
        for (size_t i = 0; i < dumps.size(); ++i)
            logDumpError(folderError);
        dumps.clear();
    }

    auto result = std::make_shared<UploadResultInfo>(item);
    // Nothing to send, or another upload on this uploader has the writer: written here.
    if (refusal || dumps.empty() || !fDumpWriter.start(dumps)) {
        for (const auto& [snapshot, path] : dumps)
            if (std::string dumpError; !snapshot.writeTo(path, &dumpError))
                logDumpError(dumpError);
        dumps.clear();
    }
    if (!refusal) {
        body.close();
        const double timeOut = Preferences::getUploadTimeOut();
        auto watchdog =
            fWatchdogTimer->arm(timeOut, [this, photo = item.edFileName](UploadWatchdog& w) { uploadTimerFired(w, photo); });
        ConsoleLog::writef("Inside %s => %s... Start to sendSynchronousRequest", kClass, op);
        ConsoleLog::writef("Sending [%s] to the web service", item.edFileName.c_str());
        UploadProgressMeter meter(static_cast<int64_t>(body.size()), UploadProgressMeter::Clock::now());
        auto reportProgress = [this, &meter, &item](int64_t sent, int64_t) {
            if (const auto report = meter.update(sent, UploadProgressMeter::Clock::now()); report && fProgressDelegate)
                fProgressDelegate->uploadProgress(item.edFileName, report->sent, report->total, report->bytesPerSecond);
        };
        const HttpTransfer::Result reply = HttpTransfer::post(
            Preferences::getPrefOrvURL().value_or(""), body,
            [this, &watchdog] { return watchdog->isTransferAborted() || fAbortTransfers.load(); },
            stringWithFormat("The upload moved no data for longer than %g seconds and was stopped", timeOut),
            [&watchdog] { watchdog->noteProgress(); }, reportProgress);
        // Fired, or cancelled here: the send has returned either way.
        result->cutOffByWatchdog = !watchdog->cancel() && watchdog->hasFired();
        if (!dumps.empty())
            for (const std::string& error : fDumpWriter.finish())
                logDumpError(error);

        if (body.fileChanged()) {
            // Still being written: not refused, but left in the source folder for a later pass.
            ConsoleLog::writef("Inside %s => %s...not sent: %s", kClass, op, body.readError().c_str());
            result->httpOurCustomStatus = "FAIL";
            result->httpOurCustomMessage =
                "The photo changed while it was sent; it stays in the source folder until it is whole";
        } else if (body.readFailed()) {
            ConsoleLog::writef("Error in Reading the Contents of file while sending:\n%s\n\n",
                               body.readError().c_str());
            refusal = body.readError();
        } else {
            if (reply.body)
                ConsoleLog::writef("========== returnData May Contain Error: \n%s\n=========\n\n",
                                   MacRoman::toUtf8(*reply.body).c_str());
            else
                ConsoleLog::write("========== sendSynchronousRequest returned [<NIL>]\n\n");
            if (reply.response) {
                result->httpStatusCode = reply.response->statusCode;
                ConsoleLog::writef("====> ReturningResponse.statusCode:\n%li\n", reply.response->statusCode);
                std::string fields;
                for (const auto& [name, value] : reply.response->headerFields)
                    fields += "    " + name + " = " + value + ";\n";
                ConsoleLog::writef("====> ReturningResponse.allHeaderFields:\n{\n%s}\n", fields.c_str());
            } else {
                ConsoleLog::write("NO Response returned from sendSynchronousRequest???");
            }
            if (reply.error) {
                ConsoleLog::writef("====> the error is:\n%s\n\n", reply.error->localizedDescription.c_str());
                result->httpError = reply.error;
            }
            if (reply.response)
                result->httpResponse = reply.response;
            if (reply.body) {
                result->httpReturnData = reply.body;
                const UploadReply read = UploadReply::read(*reply.body);
                result->httpOurCustomStatus = read.status;
                result->httpOurCustomMessage = read.message;
            }
        }
    }
    if (refusal) {
        ConsoleLog::writef("Inside %s => %s...refused: %s", kClass, op, refusal->c_str());
        refuse(*result, *refusal);
    }

    fCenter.post(cNotification_UploadDone, this, result);
    info->clear();
    ConsoleLog::writef("EXITING  %s => %s...", kClass, op);
    return true;
}

bool HttpController::uploadDidFail(const UploadResultInfo& result)
{
    bool failed = false;
    if (result.httpError) {
        ConsoleLog::writef("cDictKeyHttpError = [%s]", result.httpError->userInfoDescription().c_str());
        failed = true;
    }
    if (result.httpOurCustomStatus) {
        const std::string& status = *result.httpOurCustomStatus;
        if (TextUtil::equalsIgnoringCase(status, "FAIL") || TextUtil::equalsIgnoringCase(status, "ERROR"))
            failed = true;
        else if (TextUtil::equalsIgnoringCase(status, "Warning"))
            failed = failed || !TextUtil::equalsIgnoringCase(result.httpOurCustomMessage.value_or(""), kNoEmailWarning);
    }
    if (result.httpStatusCode && *result.httpStatusCode != 200) {
        ConsoleLog::writef("HTTP Status Code is [%li]", *result.httpStatusCode);
        failed = true;
    }
    return failed;
}

void HttpController::handleNotification_UploadDone(const Notification& note)
{
    logInside(kClass, "handleNotification_UploadDone:");
    auto result = note.info<UploadResultInfo>();
    if (!result) {
        // No result, no photo to file: nothing to classify.
        ConsoleLog::writef(
            "\n\nUnknown Notification Info inside %s::%s:\n%s\n\n", kClass,
            "handleNotification_UploadDone:", note.userInfo ? note.userInfo->describe().c_str() : "(null)");
        return;
    }
    const bool failed = uploadDidFail(*result);
    ConsoleLog::writef("Inside %s => %s...classified as %s: %s", kClass,
                       "handleNotification_UploadDone:", failed ? "FAILURE" : "SUCCESS", result->edFileName.c_str());
    fCenter.post(failed ? cNotification_UploadFail : cNotification_UploadSuccess, this, note.userInfo);
}

void HttpController::handleNotification_UploadSuccess(const Notification&)
{
    logInside(kClass, "handleNotification_UploadSuccess:");
}

void HttpController::handleNotification_UploadFail(const Notification&)
{
    logInside(kClass, "handleNotification_UploadFail:");
}

void HttpController::uploadTimerFired(UploadWatchdog& timer, const std::string& photo)
{
    const char* op = "uploadTimerFired:";
    ConsoleLog::writef("Inside %s => %s...==================================================", kClass, op);
    ConsoleLog::writef("Inside %s => %s.....Taking too long to upload - need to relaunch....", kClass, op);
    ConsoleLog::writef("Inside %s => %s...==================================================", kClass, op);
    UploadProgressDelegate* delegate = fProgressDelegate;
    if (!delegate)
        return;
    // Remembered before anything else: the relaunch may end this process at any moment.
    if (!photo.empty())
        delegate->uploadCutOffByWatchdog(photo, timer.seconds());
    // The worker unwinds with a transport error while the application relaunches.
    timer.abortTransfer();
    RelaunchRequest request;
    request.LSLaunchFlags = delegate->isApplicationActive() ? RelaunchRequest::kLaunchFlagsActivate
                                                            : RelaunchRequest::kLaunchFlagsInBackground;
    request.sender = this;
    request.senderClass = kClass;
    MainThread::perform(fTimerContext.get(), [delegate, request] { delegate->relaunchApp(request); });
}

std::string HttpController::eventNameWithKioskStation(const UploadItemInfo& item)
{
    if (!item.edKioskStation)
        return item.edEventName;
    const std::string station = trimmedOfWhiteSpace(*item.edKioskStation);
    return station.empty() ? item.edEventName : item.edEventName + "_" + station;
}

std::optional<std::string> HttpController::chosenMovie(const UploadItemInfo& item)
{
    if (item.edMuxedMovieName) {
        if (FileUtil::exists(*item.edMuxedMovieName))
            return item.edMuxedMovieName;
        return std::nullopt;
    }
    if (Preferences::getPrefUploadMovie())
        return companionMovieFilePath(item.edFileName); // IMG_1.MOV is sent as IMG_1.MOV
    return std::nullopt;
}

std::string HttpController::contentTypeForPath(const std::string& path)
{
    const std::string extension = FileUtil::pathExtension(path);
    if (TextUtil::equalsIgnoringCase(extension, "png"))
        return "image/png";
    if (TextUtil::equalsIgnoringCase(extension, "mov"))
        return "video/quicktime";
    return "image/jpeg";
}
