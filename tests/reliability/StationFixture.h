#pragma once

// A whole station on an event loop against the reference web service on
// loopback, with real folders: what the reliability tests start from.

#include "app/AppController.h"
#include "app/Notifications.h"
#include "app/ProcessFlags.h"
#include "filing/AcceptanceJournal.h"
#include "filing/TransportBackoff.h"
#include "mkphoto/PhotoWriter.h"
#include "platform/UserDefaults.h"
#include "prefs/FactoryDefaults.h"
#include "prefs/PreferenceKeys.h"
#include "scan/ScanPass.h"
#include "scan/UploadItemInfo.h"

#include "../app/RecordingPresenter.h"
#include "../filing/ChainTestSupport.h"
#include "RefServer.h"
#include "TestSupport.h"

#include <atomic>
#include <dirent.h>
#include <filesystem>
#include <map>
#include <sys/mount.h>

// The station, except that the watchdog's relaunch is counted instead of
// replacing the test program.
class CountingStation : public AppController {
public:
    using AppController::AppController;
    // The workers call this station's overrides until they end: they stop
    // before its own part goes, not in the base's destructor after it.
    ~CountingStation() override { stopWorkerThreads(); }
    void relaunchApp(const RelaunchRequest&) override { ++relaunches; }
    std::atomic<int> relaunches{0};
};

class StationFixture : public StoreSandboxTest {
protected:
    void SetUp() override
    {
        StoreSandboxTest::SetUp();
        resetProcessFlags();
        ScanPass::resetDoQuarnel();
        TransportBackoff::reset();
        // Each test keeps its own journal.
        std::string error;
        ASSERT_TRUE(AcceptanceJournal::shared().open(journalPath(), &error)) << error;
        FactoryDefaults::setupFactoryDefaults(std::string(QUON_SOURCE_DIR) + "/resources/FactoryDefault.plist");
        RefServer::Options options;
        options.root = fSandbox.file("service");
        fServer = std::make_unique<RefServer>(options);
        std::string why;
        ASSERT_TRUE(fServer->start(&why)) << why;
        storeStation(source(), mirror());
        store().setString(PrefKey::OrvURL, fServer->url());
        store().setBool(PrefKey::UploadMovie, false);
        store().setBool(PrefKey::AutoSynchronize, false);
    }
    void TearDown() override
    {
        stopStation();
        if (fServer)
            fServer->stop();
        for (const std::string& point : fMounts)
            ::umount2(point.c_str(), MNT_DETACH);
        AcceptanceJournal::shared().close();
        resetProcessFlags();
        StoreSandboxTest::TearDown();
    }

    // Starts the station as the program does, up to the first pass.
    void startStation()
    {
        fStation = std::make_unique<CountingStation>(fPresenter, fCenter);
        fStation->setCommandSocketPath(fSandbox.file("ctl.sock"));
        fStation->setTerminateHandler([] {});
        fStation->awakeFromNib();
        fStation->applicationWillFinishLaunching();
    }
    void stopStation()
    {
        fStation.reset();
        resetProcessFlags();
    }
    void synchronize() { fStation->ibUserClickedOnSynchronize(nullptr); }

    std::string photo(const std::string& relative) { return ChainTestSupport::writeReadyPhoto(source(), relative); }
    // Photo uploads the service received, by the name of their photo.
    std::map<std::string, int> received() const { return ChainTestSupport::uploadsByName(*fServer); }
    bool idle() const { return !gStartedUploadProcess && !gIsScanning; }
    // Mounts a small file system of its own at the folder; false when this machine does not allow it.
    bool mountSmallFileSystem(const std::string& folder, const char* size)
    {
        std::filesystem::create_directories(folder);
        const std::string options = std::string("size=") + size + ",mode=0755";
        if (::mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) != 0)
            return false;
        fMounts.push_back(folder);
        return true;
    }
    // Files whose name begins with the text anywhere below the folder.
    static size_t filesNamed(const std::string& folder, const std::string& prefix)
    {
        size_t n = 0;
        std::error_code ec;
        for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
             it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
            n += it->path().filename().string().rfind(prefix, 0) == 0;
        return n;
    }

    UserDefaults& store() { return UserDefaults::standard(); }
    std::string source() const { return fSandbox.file("Source"); }
    std::string mirror() const { return fSandbox.file("Mirror"); }
    std::string problem(const std::string& relative) const { return fSandbox.file("Problem Folder/" + relative); }
    std::string journalPath() const { return fSandbox.file("state/acceptance-journal.txt"); }

    RecordingPresenter fPresenter;
    NotificationCenter fCenter;
    std::unique_ptr<RefServer> fServer;
    std::unique_ptr<CountingStation> fStation;
    TestSupport::LogCapture fLog;
    std::vector<std::string> fMounts;
};
