// quon-ctl hands the password to the listener at the socket path: it must
// only ever be our own user's uploader, and the /tmp fallback must lie in a
// folder nobody else can put a listener in.

#include "TestSupport.h"
#include "remote/PeerCredentials.h"
#include "remote/SocketPaths.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <filesystem>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// A user id no account on a test machine has.
constexpr uid_t kOtherUid = 54321;

struct CtlResult {
    int exitCode = -1;
    std::string err;
};

// Runs quon-ctl as another user.
CtlResult ctlAs(uid_t uid, const QStringList& arguments, const QProcessEnvironment& env)
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.setChildProcessModifier([uid] {
        if (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0)
            ::_exit(99);
    });
    process.start(QStringLiteral(QUON_BIN_DIR "/quon-ctl"), arguments);
    process.waitForFinished(20000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardError().toStdString()};
}

int listenAt(const std::string& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 4) != 0)
        return -1;
    return fd;
}

} // namespace

class SocketTrustTest : public SandboxedTest {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root to act as another user";
        // Other users may pass through the sandbox.
        ::chmod(fSandbox.path().c_str(), 0755);
    }
};

TEST_F(SocketTrustTest, QuonCtlRefusesAListenerOfAnotherUserBeforeSendingAnything)
{
    const std::string path = fSandbox.file("open.sock");
    const int listener = listenAt(path);
    ASSERT_GE(listener, 0);
    ::chmod(path.c_str(), 0666); // anyone may connect: only the peer check stands in the way

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const CtlResult r =
        ctlAs(kOtherUid, {"--socket", QString::fromStdString(path), "set", "userLoginPassword", "s3cret"}, env);
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_NE(r.err.find("runs as uid 0"), std::string::npos) << r.err;

    // It connected, saw who listens, and left without a word.
    const int accepted = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    ASSERT_GE(accepted, 0) << "quon-ctl did connect";
    PeerCredentials peer;
    std::string why;
    ASSERT_TRUE(PeerCredentials::ofSocket(accepted, &peer, &why)) << why;
    EXPECT_EQ(peer.uid, kOtherUid);
    char byte = 0;
    EXPECT_EQ(::recv(accepted, &byte, 1, 0), 0) << "no request was sent";
    ::close(accepted);
    ::close(listener);
}

TEST_F(SocketTrustTest, TheTmpFallbackMustBeAPrivateFolderOfTheUser)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("QUON_SOCKET");
    env.remove("XDG_RUNTIME_DIR");
    const std::string folder = SocketPaths::fallbackFolder(kOtherUid);
    EXPECT_EQ(SocketPaths::fallbackSocketPath(kOtherUid), folder + "/quon-uploader.sock");
    std::error_code ec;
    fs::remove_all(folder, ec);
    struct Cleanup {
        std::string folder;
        ~Cleanup()
        {
            std::error_code ec;
            fs::remove_all(folder, ec);
        }
    } cleanup{folder};

    // Nothing there: nobody answers.
    CtlResult r = ctlAs(kOtherUid, {"upnw"}, env);
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_NE(r.err.find("no uploader answers at " + folder + "/quon-uploader.sock"), std::string::npos) << r.err;

    // Made by someone else (here root), even with the right mode.
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    r = ctlAs(kOtherUid, {"upnw"}, env);
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_NE(r.err.find("belongs to uid 0"), std::string::npos) << r.err;

    // The user's own, but open to others.
    ASSERT_EQ(::chown(folder.c_str(), kOtherUid, kOtherUid), 0);
    ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
    r = ctlAs(kOtherUid, {"upnw"}, env);
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_NE(r.err.find("mode 0755"), std::string::npos) << r.err;

    // Private: quon-ctl goes on to look for a listener.
    ASSERT_EQ(::chmod(folder.c_str(), 0700), 0);
    r = ctlAs(kOtherUid, {"upnw"}, env);
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_NE(r.err.find("no uploader answers"), std::string::npos) << r.err;

    // A path given in $QUON_SOCKET is used as given, folder or not.
    ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
    env.insert("QUON_SOCKET", QString::fromStdString(folder + "/quon-uploader.sock"));
    r = ctlAs(kOtherUid, {"upnw"}, env);
    EXPECT_EQ(r.err.find("mode 0777"), std::string::npos) << r.err;
}

TEST_F(SocketTrustTest, TheUploaderMakesItsFallbackFolderPrivateAndRefusesAnotherOne)
{
    const std::string folder = fSandbox.file("quon-uploader-" + std::to_string(::geteuid()));
    std::string why;
    ASSERT_TRUE(SocketPaths::checkPrivateFolder(folder, ::geteuid(), true, &why)) << why;
    EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_TRUE(SocketPaths::checkPrivateFolder(folder, ::geteuid(), false, &why)) << why;

    ::chmod(folder.c_str(), 0701);
    EXPECT_FALSE(SocketPaths::checkPrivateFolder(folder, ::geteuid(), true, &why));
    EXPECT_NE(why.find("0701"), std::string::npos) << why;
    ::chmod(folder.c_str(), 0700);
    ::chown(folder.c_str(), kOtherUid, kOtherUid);
    EXPECT_FALSE(SocketPaths::checkPrivateFolder(folder, ::geteuid(), true, &why));

    // A link to a private folder is not one.
    const std::string mine = fSandbox.file("mine");
    ASSERT_TRUE(SocketPaths::checkPrivateFolder(mine, ::geteuid(), true, &why)) << why;
    fs::create_directory_symlink(mine, fSandbox.file("link"));
    EXPECT_FALSE(SocketPaths::checkPrivateFolder(fSandbox.file("link"), ::geteuid(), true, &why));
    EXPECT_NE(why.find("not a folder"), std::string::npos) << why;
    TestSupport::createFileWithContents(fSandbox.file("file"), "x");
    EXPECT_FALSE(SocketPaths::checkPrivateFolder(fSandbox.file("file"), ::geteuid(), true, &why));
}
