#pragma once

#include "TestSupport.h"
#include "app/Notifications.h"
#include "platform/NotificationCenter.h"
#include "platform/UserDefaults.h"
#include "prefs/PreferenceKeys.h"
#include "scan/UploadItemInfo.h"
#include "upload/HttpController.h"
#include "upload/UploadProgressDelegate.h"
#include "upload/UploadResultInfo.h"

#include "RefServer.h"

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace UploadTesting {

inline const std::string kBoundary = "0xKhTmLbOuNdArY";

// One text part as it goes on the wire.
inline std::string field(const std::string& name, const std::string& value)
{
    return "\r\n--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value;
}

// The two header lines of a file part.
inline std::string fileHeader(const std::string& name, const std::string& fileName, const std::string& type)
{
    return "\r\n--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"; filename=\"" + fileName +
        "\"\r\nContent-Type: " + type + "\r\n\r\n";
}

inline std::string closing() { return "\r\n--" + kBoundary + "--\r\n"; }

// The application controller's side of a relaunch, reduced to a record.
class RecordingDelegate : public UploadProgressDelegate {
public:
    void relaunchApp(const RelaunchRequest& request) override
    {
        std::lock_guard lock(fMutex);
        fRequests.push_back(request);
    }
    bool isApplicationActive() const override { return active; }

    std::vector<RelaunchRequest> requests() const
    {
        std::lock_guard lock(fMutex);
        return fRequests;
    }
    bool active = false;

private:
    mutable std::mutex fMutex;
    std::vector<RelaunchRequest> fRequests;
};

} // namespace UploadTesting

// An uploader on a private notification centre, sending to an in-process
// reference service on a free loopback port, with its settings store and
// its debug copies in the sandbox.
class UploadTest : public StoreSandboxTest {
protected:
    void SetUp() override
    {
        StoreSandboxTest::SetUp();
        if (const char* previous = std::getenv("QUON_LOG_ROOT"))
            fPreviousLogRoot = previous;
        ::setenv("QUON_LOG_ROOT", logRoot().c_str(), 1);
        RefServer::Options options;
        options.root = fSandbox.file("service");
        options.keepBodiesUpTo = 4 * 1024 * 1024;
        fServer = std::make_unique<RefServer>(options);
        std::string error;
        ASSERT_TRUE(fServer->start(&error)) << error;
        store().setString(PrefKey::OrvURL, fServer->url());
        store().setString(PrefKey::OrvFuseAction, "upload.upload");
        store().setBool(PrefKey::UploadMovie, false);

        // Registered before the uploader, as the application controller is.
        fCenter.addObserver(this, cNotification_UploadDone, [this](const Notification& n) {
            std::lock_guard lock(fMutex);
            fResult = n.info<UploadResultInfo>();
            fPosts.push_back(n.name);
        });
        for (const char* name : {cNotification_UploadSuccess, cNotification_UploadFail})
            fCenter.addObserver(this, name, [this](const Notification& n) {
                std::lock_guard lock(fMutex);
                fPosts.push_back(n.name);
            });
        fController = std::make_unique<HttpController>(fCenter);
    }
    void TearDown() override
    {
        fController.reset();
        if (fServer)
            fServer->stop();
        if (fPreviousLogRoot.empty())
            ::unsetenv("QUON_LOG_ROOT");
        else
            ::setenv("QUON_LOG_ROOT", fPreviousLogRoot.c_str(), 1);
        StoreSandboxTest::TearDown();
    }

    UserDefaults& store() { return UserDefaults::standard(); }
    std::string logRoot() const { return fSandbox.file("Logs"); }

    std::string photo(const std::string& name, const std::string& bytes)
    {
        const std::string path = fSandbox.file("Source/Smith/" + name);
        TestSupport::createFileWithContents(path, bytes);
        return path;
    }

    // An item as the scan builds it, for a photo in the sandbox.
    std::shared_ptr<UploadItemInfo> itemFor(const std::string& photoPath)
    {
        auto item = std::make_shared<UploadItemInfo>();
        item->localRootFolder = fSandbox.file("Source");
        item->localMirrorFolder = fSandbox.file("Mirror");
        item->userEnteredEventName = "Gala";
        item->localItem = "Smith/" + photoPath.substr(photoPath.rfind('/') + 1);
        item->edUser = "kiosk7";
        item->edPasswd = "s3cret";
        item->edFileName = photoPath;
        item->edClientName = "Smith";
        item->edEventName = "Gala";
        item->edMetaData = "<plist/>";
        item->edCaptureTime = "2010:09:12 14:33:10";
        item->edOrvFuseAction = "upload.upload";
        return item;
    }

    // Runs one upload on a worker thread, as the scan pass does, while the
    // main thread's event loop serves the time-out timer.
    std::shared_ptr<UploadResultInfo> upload(const std::shared_ptr<UploadItemInfo>& item)
    {
        {
            std::lock_guard lock(fMutex);
            fResult.reset();
            fPosts.clear();
        }
        std::atomic<bool> done{false};
        std::thread worker([&] {
            fController->doRunHttpUploaderWithInfo(item);
            done = true;
        });
        EXPECT_TRUE(TestSupport::waitFor([&] { return done.load(); }, std::chrono::seconds(30)));
        worker.join();
        std::lock_guard lock(fMutex);
        return fResult;
    }

    std::vector<std::string> posts() const
    {
        std::lock_guard lock(fMutex);
        return fPosts;
    }
    // The body of the only request the service received.
    std::string onlyBody() const
    {
        const auto requests = fServer->requests();
        EXPECT_EQ(requests.size(), 1u);
        return requests.empty() ? std::string() : requests.front().rawBody;
    }

    NotificationCenter fCenter;
    std::unique_ptr<RefServer> fServer;
    std::unique_ptr<HttpController> fController;
    mutable std::mutex fMutex;
    std::shared_ptr<UploadResultInfo> fResult;
    std::vector<std::string> fPosts;
    std::string fPreviousLogRoot;
};
