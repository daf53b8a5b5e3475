#pragma once

#include "TestSupport.h"
#include "app/MaintenanceProgress.h"
#include "mkphoto/PhotoWriter.h"
#include "platform/UserDefaults.h"
#include "prefs/PreferenceKeys.h"

#include "RefServer.h"

#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace HiResTesting {

inline const std::string kBoundary = "0xKhTmLbOuNdArY";

// A text part as the web service's framing writes it.
inline std::string field(const std::string& name, const std::string& value)
{
    return "\r\n--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value;
}

inline std::string filePart(const std::string& fileName, const std::string& type, const std::string& bytes)
{
    return "\r\n--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"imgfile\"; filename=\"" + fileName +
        "\"\r\nContent-Type: " + type + "\r\n\r\n" + bytes;
}

inline std::string closing() { return "\r\n--" + kBoundary + "--\r\n"; }

// Maintenance windows reduced to the lines they were given.
class RecordingProgress : public MaintenanceProgress {
public:
    std::unique_ptr<MaintenanceWindow> openMaintenanceWindow() override
    {
        std::lock_guard lock(fMutex);
        ++fOpened;
        if (!canOpen)
            return nullptr;
        return std::make_unique<Window>(*this);
    }
    std::vector<std::string> lines() const
    {
        std::lock_guard lock(fMutex);
        return fLines;
    }
    size_t count(const std::string& line) const
    {
        std::lock_guard lock(fMutex);
        size_t n = 0;
        for (const auto& l : fLines)
            n += l == line;
        return n;
    }
    int opened() const
    {
        std::lock_guard lock(fMutex);
        return fOpened;
    }
    bool canOpen = true;

private:
    class Window : public MaintenanceWindow {
    public:
        explicit Window(RecordingProgress& owner) : fOwner(owner) { }
        void ibSetWindowTitle(const std::string& t) override { fOwner.add("title: " + t); }
        void ibUpdateLine1TextField(const std::string& t) override { fOwner.add("line1: " + t); }
        void ibUpdateLine2TextField(const std::string& t) override { fOwner.add("line2: " + t); }
        void ibUpdateProgressBar(const std::string& t) override { fOwner.add("bar: " + t); }
        void close() override { fOwner.add("closed"); }

    private:
        RecordingProgress& fOwner;
    };
    void add(const std::string& line)
    {
        std::lock_guard lock(fMutex);
        fLines.push_back(line);
    }
    mutable std::mutex fMutex;
    std::vector<std::string> fLines;
    int fOpened = 0;
};

} // namespace HiResTesting

// A station with a login, a reference service on loopback holding the orders
// the test gives it, the alternate search folder Alt in the sandbox and the
// debug copies in the sandbox.
class HiResTest : public StoreSandboxTest {
protected:
    void SetUp() override
    {
        StoreSandboxTest::SetUp();
        if (const char* previous = std::getenv("QUON_LOG_ROOT"))
            fPreviousLogRoot = previous;
        ::setenv("QUON_LOG_ROOT", logRoot().c_str(), 1);
        startServer();
        UserDefaults& s = UserDefaults::standard();
        s.setString(PrefKey::OrvURL, fServer->url());
        s.setString(PrefKey::CheckHiResOrderFuseAction, "upload.checkHiResOrders");
        s.setString(PrefKey::UploadHiResOrderFuseAction, "upload.uploadHiRes");
        s.setObject(PrefKey::SearchPathMethodTag, PlistValue::integer(2));
        s.setString(PrefKey::OrvHiResAlternatePath1, altRoot());
        s.setString(PrefKey::UserLoginName, "kiosk7");
        s.setString(PrefKey::UserLoginPassword, "s3cret");
        std::filesystem::create_directories(altRoot());
    }
    void TearDown() override
    {
        if (fServer)
            fServer->stop();
        if (fPreviousLogRoot.empty())
            ::unsetenv("QUON_LOG_ROOT");
        else
            ::setenv("QUON_LOG_ROOT", fPreviousLogRoot.c_str(), 1);
        StoreSandboxTest::TearDown();
    }

    void startServer()
    {
        RefServer::Options options;
        options.root = fSandbox.file("service");
        options.keepBodiesUpTo = 4 * 1024 * 1024;
        fServer = std::make_unique<RefServer>(options);
        std::string error;
        ASSERT_TRUE(fServer->start(&error)) << error;
    }

    // The service's next answers to the order query (and to what follows).
    void serviceAnswers(int version, std::vector<RefOrder> orders)
    {
        RefBehaviour query;
        query.orderVersion = version;
        query.orders = std::move(orders);
        fServer->script({query});
    }

    std::string logRoot() const { return fSandbox.file("Logs"); }
    std::string altRoot() const { return fSandbox.file("Alt"); }

    // A small real JPEG (or PNG) at the path; returns its bytes.
    std::string writeImage(const std::string& path, bool png = false)
    {
        const std::string bytes = png ? PhotoWriter::plainPng() : PhotoWriter::plainJpeg();
        TestSupport::createFileWithContents(path, bytes);
        return bytes;
    }

    std::vector<RecordedRequest> hiResUploads() const
    {
        std::vector<RecordedRequest> found;
        for (const auto& r : fServer->requests())
            if (r.operation == "hi-res upload")
                found.push_back(r);
        return found;
    }

    std::unique_ptr<RefServer> fServer;
    std::string fPreviousLogRoot;
};
