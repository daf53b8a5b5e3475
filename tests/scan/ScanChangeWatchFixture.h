#pragma once

#include "ScanPassRunner.h"
#include "scan/ScanChangeWatch.h"

#include "app/AppController.h"
#include "app/Notifications.h"
#include "app/ProcessFlags.h"
#include "app/ScanRequestInfo.h"
#include "mkphoto/PhotoWriter.h"
#include "platform/UserDefaults.h"
#include "prefs/PreferenceKeys.h"
#include "scan/ScanPass.h"
#include "scan/ScanVerdictCache.h"
#include "scan/UploadItemInfo.h"

#include "../app/RecordingPresenter.h"
#include "TestSupport.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/mman.h>


namespace scanwatch {

using TestSupport::createFileWithContents;
namespace fs = std::filesystem;

inline bool holds(const std::vector<std::string>& list, const std::string& item)
{
    return std::find(list.begin(), list.end(), item) != list.end();
}

inline std::string jpegBytes(std::optional<PlistValue> meta)
{
    TestSupport::TempDir dir;
    PhotoWriter::PhotoSpec recipe;
    recipe.metaData = std::move(meta);
    const std::string path = dir.file("recipe.jpg");
    EXPECT_TRUE(PhotoWriter::writePhoto(path, recipe));
    return TestSupport::readWholeFile(path);
}

// A photo whose block does not parse: not ready, and as long as the good one.
inline std::string spoiled(std::string photo)
{
    const size_t at = photo.find("<plist");
    EXPECT_NE(at, std::string::npos);
    photo[at + 1] = 'q';
    return photo;
}

inline PlistValue simpleMeta()
{
    return PlistValue::dictionary({{"OriginalPath", PlistValue::string("/Volumes/Station/IMG_1.JPG")}});
}


} // namespace scanwatch

using namespace scanwatch;

// Passes over a folder of waiting photos, with the cache's clock in the
// test's hands so the once-a-second full check comes only when told.
class ScanChangeWatchPassTest : public StoreSandboxTest {
protected:
    void SetUp() override
    {
        StoreSandboxTest::SetUp();
        if (!ScanChangeWatch::isLocalFileSystem(fSandbox.path()))
            GTEST_SKIP() << "the temporary folder is not on a local file system";
        resetProcessFlags();
        ScanPass::resetDoQuarnel();
        storeStation(source(), mirror());
        store().setString(PrefKey::OrvFuseAction, "upload.upload");
        store().setBool(PrefKey::UploadMovie, false);
        store().setBool(PrefKey::AutoSynchronize, false);
        fController = std::make_unique<AppController>(fPresenter, fCenter);
        // Written files look old to the cache: their reads are kept at once.
        fController->scanVerdictCache().setClock([this] { return fWallNs; });
        fCenter.addObserver(this, cNotification_PrepareUploadStart,
                            [this](const Notification& n) { fItems.push_back(*n.info<UploadItemInfo>()); });
        fs::create_directories(source() + "/Smith");
    }
    void TearDown() override
    {
        fController.reset();
        resetProcessFlags();
        StoreSandboxTest::TearDown();
    }

    std::string chosen()
    {
        fItems.clear();
        ScanPassRunner::runPass(*fController, source(), mirror());
        resetProcessFlags();
        return fItems.empty() ? std::string("(none)") : fItems.front().localItem;
    }
    std::string file(const std::string& relative) const { return source() + "/" + relative; }
    void write(const std::string& relative, const std::string& bytes) { createFileWithContents(file(relative), bytes); }
    ScanVerdictCache& cache() { return fController->scanVerdictCache(); }
    // Past the file system's clock tick and the cache's full-check interval.
    void aSecondLater() { fWallNs += std::chrono::nanoseconds(ScanVerdictCache::kFullCheckEvery).count(); }

    UserDefaults& store() { return UserDefaults::standard(); }
    std::string source() const { return fSource.empty() ? fSandbox.file("Source") : fSource; }
    std::string mirror() const { return fSandbox.file("Mirror"); }

    std::string fSource; // empty: Source in the sandbox
    RecordingPresenter fPresenter;
    NotificationCenter fCenter;
    std::unique_ptr<AppController> fController;
    std::vector<UploadItemInfo> fItems;
    int64_t fWallNs = ScanVerdictCache::systemNowNs() + std::chrono::nanoseconds(std::chrono::hours(1)).count();
    TestSupport::LogCapture fLog;
};

