#include "scan/UploadItemInfo.h"

namespace {

void add(std::string& out, const char* key, const std::string& value)
{
    out += std::string(out.size() > 1 ? "; " : "") + key + " = \"" + value + "\"";
}

} // namespace

std::string UploadItemInfo::describe() const
{
    // The password never goes into a log line.
    std::string out = "{";
    add(out, "localRootFolder", localRootFolder);
    add(out, "localMirrorFolder", localMirrorFolder);
    add(out, "userEnteredEventName", userEnteredEventName);
    if (userEnteredClientName)
        add(out, "userEnteredClientName", *userEnteredClientName);
    add(out, "localItem", localItem);
    add(out, "edUser", edUser);
    add(out, "edPasswd", edPasswd.empty() ? "" : "********");
    add(out, "edFileName", edFileName);
    add(out, "edClientName", edClientName);
    add(out, "edEventName", edEventName);
    add(out, "edMetaData", edMetaData);
    add(out, "edCaptureTime", edCaptureTime);
    add(out, "edOrvFuseAction", edOrvFuseAction);
    if (edSittingInfoDictionary)
        out += "; edSittingInfoDictionary = " + edSittingInfoDictionary->describe();
    if (edEmails)
        add(out, "edEmails", *edEmails);
    if (edOriginalPath)
        add(out, "edOriginalPath", *edOriginalPath);
    if (edQuandroInfo)
        out += "; edQuandroInfo = " + edQuandroInfo->describe();
    if (edKioskStation)
        add(out, "edKioskStation", *edKioskStation);
    if (edMuxedMovieName)
        add(out, "edMuxedMovieName", *edMuxedMovieName);
    return out + "}";
}
