// Faults of the service, the network and the disks, end to end: the station
// against the reference service with real folders. Each case ends with every
// photo in exactly one place and nothing sent twice after an answer that
// filed it.

#include "StationFixture.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

using TestSupport::createFileWithContents;
using TestSupport::readWholeFile;
using TestSupport::waitFor;
namespace fs = std::filesystem;
using Field = StatusPresenter::Field;
using namespace std::chrono_literals;

namespace {

// A loopback port nobody listens on.
int closedPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

RefBehaviour withBody(const std::string& body)
{
    RefBehaviour b;
    b.body = body;
    return b;
}

} // namespace

class FaultEndToEndTest : public StationFixture {
protected:
    // The photo lies in exactly one of the three folders.
    int placesOf(const std::string& relative) const
    {
        return fs::exists(source() + "/" + relative) + fs::exists(mirror() + "/" + relative) +
            fs::exists(problem(relative));
    }
    void sendOne(std::vector<RefBehaviour> script, const std::function<bool()>& done,
                 std::chrono::seconds deadline = 30s)
    {
        photo("Adams/IMG_1.jpg");
        fServer->script(std::move(script));
        startStation();
        synchronize();
        ASSERT_TRUE(waitFor([&] { return done() && idle(); }, deadline));
        EXPECT_EQ(placesOf("Adams/IMG_1.jpg"), 1);
    }
    bool inMirror() const { return fs::exists(mirror() + "/Adams/IMG_1.jpg"); }
    bool inProblemFolder() const { return fs::exists(problem("Adams/IMG_1.jpg")); }
};

TEST_F(FaultEndToEndTest, RefusedConnectionsKeepThePhotoUntilTheServiceIsBack)
{
    store().setString(PrefKey::OrvURL, "http://127.0.0.1:" + std::to_string(closedPort()) + "/upload");
    photo("Adams/IMG_1.jpg");
    startStation();
    synchronize();
    ASSERT_TRUE(waitFor([&] { return fLog.count("The web service cannot be reached") >= 2; }, 20s));
    EXPECT_TRUE(fs::exists(source() + "/Adams/IMG_1.jpg"));
    store().setString(PrefKey::OrvURL, fServer->url());
    ASSERT_TRUE(waitFor([&] { return inMirror() && idle(); }, 30s));
    EXPECT_EQ(placesOf("Adams/IMG_1.jpg"), 1);
    EXPECT_EQ(received()["IMG_1.jpg"], 1);
}

TEST_F(FaultEndToEndTest, AConnectionDroppedMidUploadIsSentAgain)
{
    RefBehaviour drop;
    drop.drop = true;
    sendOne({drop}, [&] { return inMirror(); });
    EXPECT_EQ(received()["IMG_1.jpg"], 2) << "the dropped attempt had no answer";
}

TEST_F(FaultEndToEndTest, AStallBelowTheWatchdogTimeOutIsWaitedFor)
{
    store().setObject(PrefKey::UploadTimeOut, PlistValue::real(5));
    RefBehaviour slow;
    slow.delayMs = 1500;
    sendOne({slow}, [&] { return inMirror(); });
    EXPECT_EQ(fStation->relaunches.load(), 0);
    EXPECT_EQ(received()["IMG_1.jpg"], 1);
}

TEST_F(FaultEndToEndTest, AStallAboveTheWatchdogTimeOutIsCutOffAndThePhotoKept)
{
    store().setObject(PrefKey::UploadTimeOut, PlistValue::real(1));
    RefBehaviour hang;
    hang.hang = true;
    sendOne({hang}, [&] { return inMirror(); });
    EXPECT_GE(fStation->relaunches.load(), 1);
    EXPECT_EQ(received()["IMG_1.jpg"], 2) << "the hung attempt had no answer";
}

TEST_F(FaultEndToEndTest, AServerErrorFilesThePhotoIntoTheProblemFolderOnce)
{
    RefBehaviour error;
    error.http = 500;
    sendOne({error}, [&] { return inProblemFolder(); });
    EXPECT_EQ(received()["IMG_1.jpg"], 1);
    EXPECT_TRUE(waitFor([&] { return fLog.contains("HTTP Status Code is [500]"); }));
}

TEST_F(FaultEndToEndTest, GarbageAndEmptyRepliesLeaveThePhotoToBeTriedAgain)
{
    photo("Adams/IMG_2.jpg");
    sendOne({withBody("\x01\x02 not a reply <<<"), withBody("")},
            [&] { return inMirror() && fs::exists(mirror() + "/Adams/IMG_2.jpg"); });
    EXPECT_EQ(placesOf("Adams/IMG_1.jpg"), 1);
    EXPECT_EQ(placesOf("Adams/IMG_2.jpg"), 1);
    // Each unreadable answer leaves its photo to wait its own pause while
    // the other is sent: two unreadable answers, then one OK for each photo.
    EXPECT_EQ(received()["IMG_1.jpg"] + received()["IMG_2.jpg"], 4);
    EXPECT_GE(received()["IMG_1.jpg"], 2) << "the first unreadable answer was for the first photo";
    EXPECT_LE(received()["IMG_2.jpg"], 2);
}

TEST_F(FaultEndToEndTest, AHundredMegabyteReplyIsNotReadAndNothingIsLost)
{
    RefBehaviour huge;
    huge.padTo = 100u * 1024 * 1024;
    photo("Adams/IMG_2.jpg");
    sendOne({huge}, [&] { return fs::exists(mirror() + "/Adams/IMG_2.jpg"); }, 60s);
    EXPECT_EQ(placesOf("Adams/IMG_2.jpg"), 1);
    EXPECT_TRUE(fLog.contains("MiB and was not read"));
    EXPECT_EQ(received()["IMG_2.jpg"], 1);
}

TEST_F(FaultEndToEndTest, AnEntityExpansionBombIsNotExpanded)
{
    std::string bomb = "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY a \"aaaaaaaaaa\">";
    for (char c = 'b'; c <= 'j'; ++c) {
        bomb += std::string("<!ENTITY ") + c + " \"";
        for (int i = 0; i < 10; ++i)
            bomb += std::string("&") + static_cast<char>(c - 1) + ";";
        bomb += "\">";
    }
    bomb += "]><reply><status>&j;</status><message>&j;</message></reply>";
    sendOne({withBody(bomb)}, [&] { return inMirror() || inProblemFolder() || fServer->requestCount() >= 2; });
    EXPECT_LE(fLog.lines().size(), 20000u) << "the reply was not expanded into the log";
}

TEST_F(FaultEndToEndTest, APhotoDeletedBetweenSelectionAndUploadIsNotSentAndTheChainGoesOn)
{
    photo("Adams/IMG_2.jpg");
    // Runs before the uploader's handler: the photo goes after it was chosen.
    std::atomic<bool> deleted{false};
    fCenter.addObserver(this, cNotification_UploadStart, [&](const Notification& note) {
        auto item = note.info<UploadItemInfo>();
        if (item && item->localItem == "Adams/IMG_1.jpg" && !deleted.exchange(true))
            fs::remove(item->edFileName);
    });
    photo("Adams/IMG_1.jpg");
    startStation();
    synchronize();
    ASSERT_TRUE(waitFor([&] { return deleted && fs::exists(mirror() + "/Adams/IMG_2.jpg") && idle(); }, 30s));
    fCenter.removeObserver(this);
    EXPECT_EQ(placesOf("Adams/IMG_1.jpg"), 0) << "the operator's deletion stands";
    EXPECT_EQ(received().count("IMG_1.jpg"), 0u);
    EXPECT_EQ(received()["IMG_2.jpg"], 1);
}

TEST_F(FaultEndToEndTest, AMirrorFolderOnAnotherFileSystemGetsWholePhotos)
{
    if (!mountSmallFileSystem(mirror(), "16m"))
        GTEST_SKIP() << "no tmpfs mount here (needs root and a mount namespace that allows it)";
    const std::string bytes = readWholeFile(photo("Adams/IMG_1.jpg"));
    createFileWithContents(source() + "/Adams/IMG_1.mov", std::string(300000, 'm'));
    startStation();
    synchronize();
    ASSERT_TRUE(waitFor([&] { return fs::exists(mirror() + "/Adams/IMG_1.mov") && idle(); }, 30s));
    EXPECT_EQ(readWholeFile(mirror() + "/Adams/IMG_1.jpg"), bytes);
    EXPECT_EQ(readWholeFile(mirror() + "/Adams/IMG_1.mov"), std::string(300000, 'm'));
    EXPECT_EQ(placesOf("Adams/IMG_1.jpg"), 1);
    EXPECT_FALSE(fs::exists(source() + "/Adams/IMG_1.mov"));
    EXPECT_EQ(filesNamed(mirror(), ".quon-moving-"), 0u);
}

TEST_F(FaultEndToEndTest, AMirrorFolderThatCannotBeWrittenNeverMakesThePhotoGoTwice)
{
    // A file where the client's folder should be: no move can succeed, even as root.
    fs::create_directories(mirror());
    createFileWithContents(mirror() + "/Adams", "not a folder");
    photo("Adams/IMG_1.jpg");
    startStation();
    synchronize();
    ASSERT_TRUE(waitFor([&] { return fServer->requestCount() == 1 && idle(); }, 20s));
    EXPECT_TRUE(fs::exists(source() + "/Adams/IMG_1.jpg"));
    synchronize();
    ASSERT_TRUE(waitFor([&] { return fPresenter.field(Field::ProcessLine).find("uploaded but cannot be filed") !=
                                 std::string::npos; },
                        20s));
    ASSERT_TRUE(waitFor([&] { return idle(); }));
    EXPECT_EQ(fServer->requestCount(), 1u) << "answered once: not sent again";

    fs::remove(mirror() + "/Adams");
    synchronize();
    ASSERT_TRUE(waitFor([&] { return inMirror() && idle(); }, 20s));
    EXPECT_EQ(placesOf("Adams/IMG_1.jpg"), 1);
    EXPECT_EQ(fServer->requestCount(), 1u);
}

TEST_F(FaultEndToEndTest, ADiskThatFillsUpDuringAMoveLosesNothing)
{
    if (!mountSmallFileSystem(mirror(), "1m"))
        GTEST_SKIP() << "no tmpfs mount here (needs root and a mount namespace that allows it)";
    const std::string bytes = readWholeFile(photo("Adams/IMG_1.jpg"));
    // The movie does not fit: the photo is filed, its movie waits in the source folder.
    createFileWithContents(source() + "/Adams/IMG_1.mov", std::string(2 * 1024 * 1024, 'm'));
    startStation();
    synchronize();
    ASSERT_TRUE(waitFor([&] { return inMirror() && idle(); }, 30s));
    EXPECT_EQ(readWholeFile(mirror() + "/Adams/IMG_1.jpg"), bytes);
    EXPECT_TRUE(fs::exists(source() + "/Adams/IMG_1.mov"));
    EXPECT_EQ(filesNamed(mirror(), ".quon-moving-"), 0u) << "the partial copy is removed";
    EXPECT_TRUE(fLog.contains("No space left on device"));

    // Space again (a bigger disk): the next pass brings the movie, nothing is sent again.
    ASSERT_EQ(::mount("tmpfs", mirror().c_str(), "tmpfs", MS_REMOUNT, "size=8m"), 0);
    synchronize();
    ASSERT_TRUE(waitFor([&] { return fs::exists(mirror() + "/Adams/IMG_1.mov") && idle(); }, 30s));
    EXPECT_FALSE(fs::exists(source() + "/Adams/IMG_1.mov"));
    EXPECT_EQ(fServer->requestCount(), 1u);
    // The filing worker drops the record just after the movie lands.
    EXPECT_TRUE(waitFor([&] { return AcceptanceJournal::shared().pending().empty(); }, 10s));
}
