#pragma once

#include <mutex>
#include <optional>
#include <string>

class UploadChainHost;

// The scan request's front door: `application:openFile:` checks that no other
// request or upload is under way, validates the folders, the event name and
// the login, remembers them as the current ones and posts
// "ScanFolderNotification". Called on the main thread or on a
// rescan-request thread; the current login is read by scan threads.
class OpenFileRequest {
public:
    explicit OpenFileRequest(UploadChainHost& host) : fHost(host) { }
    OpenFileRequest(const OpenFileRequest&) = delete;
    OpenFileRequest& operator=(const OpenFileRequest&) = delete;

    // True when the request was taken (or needs nothing); false when refused.
    bool application_openFile(const std::string& path);
    // The folders (sourceFolder, else the stored one), the event name and the
    // login; the first problem goes into the status line, with a beep.
    bool validateUserInfoBeforeUploading(const std::optional<std::string>& sourceFolder);
    // Reads the event name from the store, trimming it there too.
    void getUserEnteredEventName();
    // Reads the login from the store; missing parts keep their last value.
    void getCurrentLoginInfo();
    // The placeholder login used until the store holds one; clears the root folder.
    void resetLogin(const std::string& userName, const std::string& password);

    std::optional<std::string> currentEventName() const;
    std::string currentUserName() const;
    std::string currentPassword() const;
    std::string rootFolder() const;

private:
    UploadChainHost& fHost;
    mutable std::mutex fLoginMutex; // the login and event fields are read by scan threads
    std::string fCurUserName;
    std::string fCurPassword;
    std::optional<std::string> fCurEventName;
    std::string fRootFolder;
};
