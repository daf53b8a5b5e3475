#include "remote/CommandSocketServer.h"
#include "RemoteTestSupport.h"
#include "platform/UserDefaults.h"
#include "remote/AppleEventHandler.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>

using nlohmann::json;
using RemoteTest::LineClient;
using RemoteTest::LogLines;
using RemoteTest::RecordingTarget;

namespace {

class CommandSocketServerTest : public RemoteTest::SettingsTest {
protected:
    void SetUp() override
    {
        SettingsTest::SetUp();
        ASSERT_TRUE(fHandler.setupForAppleEventsForThisApp(&fTarget));
        fPath = fSandbox.file("quon.sock");
    }

    void startServer()
    {
        std::string error;
        ASSERT_TRUE(fServer.start(fPath, &error)) << error;
    }

    static std::string setLine(const std::string& key, const std::string& value)
    {
        return json{{"class", "quon"}, {"id", "1234"}, {"directObject", {"setValue", key, value}}, {"wantsReply", true}}
                   .dump() +
            "\n";
    }

    static bool isError(const std::string& line)
    {
        const json reply = json::parse(line, nullptr, false);
        return reply.is_object() && reply.contains("error") && reply["error"].is_string() &&
            !reply.contains("directObject");
    }

    RecordingTarget fTarget;
    AppleEventHandler fHandler;
    CommandSocketServer fServer{fHandler};
    std::string fPath;
};

} // namespace

TEST_F(CommandSocketServerTest, SeveralCommandsOnOneConnectionAreAnsweredInOrder)
{
    startServer();
    LineClient client(fPath);
    ASSERT_TRUE(client.connected());
    // All three in one write: the server splits them into lines itself.
    ASSERT_TRUE(client.send(setLine("prefSecondsBetweenScans", "90") +
                            R"({"class":"quon","id":"1234","directObject":["getValue","prefSecondsBetweenScans","-"]})"
                            "\n"
                            R"({"class":"quon","id":"upnw","wantsReply":true})"
                            "\n"));
    EXPECT_EQ(client.readLine(), R"({"directObject":"COMMAND SUCCESS"})");
    EXPECT_EQ(client.readLine(),
              R"({"directObject":["COMMAND SUCCESS",["getValue","prefSecondsBetweenScans","90.00"]]})");
    EXPECT_EQ(client.readLine(), R"({"directObject":"ACCEPTED"})");
    EXPECT_EQ(fTarget.calls, std::vector<std::string>{"ibClickedOnSynchronizeAgain"});
    EXPECT_EQ(UserDefaults::standard().objectForKey("prefSecondsBetweenScans"), PlistValue::real(90.0));

    // Quit answers with an empty reply; a command sent without waiting for
    // an answer still gets its line, so replies stay paired with commands.
    ASSERT_TRUE(client.send("{\"class\":\"aevt\",\"id\":\"quit\"}\r\n"
                            "\n"
                            "{\"class\":\"quon\",\"id\":\"paus\",\"wantsReply\":false}\n"));
    EXPECT_EQ(client.readLine(), R"({"directObject":null})");
    EXPECT_EQ(client.readLine(), R"({"directObject":null})");
    EXPECT_EQ(fTarget.calls,
              (std::vector<std::string>{"ibClickedOnSynchronizeAgain", "ibClickedOnQuit", "forceProcessToPause"}));
}

TEST_F(CommandSocketServerTest, MalformedLinesGetAnErrorAndNeverReachTheHandler)
{
    startServer();
    LineClient client(fPath);
    ASSERT_TRUE(client.connected());
    const std::vector<std::string> malformed = {
        "upnw",
        "[\"quon\",\"upnw\"]",
        "{\"class\":\"quon\",\"id\":\"upnw\"",
        "{\"id\":\"upnw\"}",
        "{\"class\":\"quon\"}",
        "{\"class\":\"quon\",\"id\":\"upload\"}",
        "{\"class\":\"quon\",\"id\":42}",
        "{\"class\":\"quon\",\"id\":\"upnw\",\"wantsReply\":\"yes\"}",
        "{\"class\":\"quon\",\"id\":\"upnw\",\"directObject\":5}",
        "{\"class\":\"quon\",\"id\":\"upnw\",\"directObject\":{\"a\":\"b\"}}",
        "{\"class\":\"quon\",\"id\":\"upnw\",\"directObject\":[[[[[[[[[[\"deep\"]]]]]]]]]]}",
        "{\"class\":\"quon\",\"id\":\"1234\",\"directObject\":[\"setValue\",\"userLoginName\"]}",
        "{\"class\":\"quon\",\"id\":\"1234\",\"directObject\":[\"setValue\",\"userLoginName\",\"x\",\"y\"]}",
        "{\"class\":\"quon\",\"id\":\"1234\",\"directObject\":[\"setValue\",\"prefDaysOldBeforeDeleting\",7]}",
        "{\"class\":\"quon\",\"id\":\"1234\",\"directObject\":\"setValue userLoginName x\"}",
        "{\"class\":\"quon\",\"id\":\"1234\",\"directObject\":[\"setValue\",\"userLoginName\",\"a\\u0000b\"]}",
        // Well formed, but no handler is registered for these pairs.
        "{\"class\":\"quon\",\"id\":\"quit\"}",
        "{\"class\":\"aevt\",\"id\":\"upnw\"}",
    };
    for (const auto& line : malformed) {
        ASSERT_TRUE(client.send(line + "\n"));
        EXPECT_TRUE(isError(client.readLine())) << line;
    }
    EXPECT_TRUE(fTarget.calls.empty());
    EXPECT_TRUE(UserDefaults::standard().storedValues().empty());

    // The connection is still good for a proper command.
    ASSERT_TRUE(client.send(setLine("userLoginName", "station-7")));
    EXPECT_EQ(client.readLine(), R"({"directObject":"COMMAND SUCCESS"})");
}

TEST_F(CommandSocketServerTest, AnOverlongLineIsRefusedAndTheNextLineIsServed)
{
    startServer();
    LineClient client(fPath);
    ASSERT_TRUE(client.connected());
    // A valid command padded with blanks past the limit must not run.
    std::string longLine = setLine("userLoginName", "too-long");
    longLine.insert(longLine.size() - 2, 70 * 1024, ' ');
    ASSERT_TRUE(client.send(longLine + setLine("userLoginName", "station-7")));
    EXPECT_TRUE(isError(client.readLine()));
    EXPECT_EQ(client.readLine(), R"({"directObject":"COMMAND SUCCESS"})");
    EXPECT_EQ(UserDefaults::standard().stringForKey("userLoginName"), "station-7");
}

TEST_F(CommandSocketServerTest, ALastCommandWithoutLineBreakIsServedBeforeTheConnectionCloses)
{
    startServer();
    LineClient client(fPath);
    ASSERT_TRUE(client.connected());
    std::string line = setLine("userLoginName", "station-9");
    line.pop_back();
    ASSERT_TRUE(client.send(line));
    client.finishSending();
    EXPECT_EQ(client.readLine(), R"({"directObject":"COMMAND SUCCESS"})");
    EXPECT_TRUE(client.waitUntilClosed());
    EXPECT_TRUE(TestSupport::waitFor([&] { return fServer.connectionCount() == 0; }));
    EXPECT_EQ(UserDefaults::standard().stringForKey("userLoginName"), "station-9");
}

TEST_F(CommandSocketServerTest, ASilentClientDoesNotHoldUpAnother)
{
    startServer();
    LineClient silent(fPath);
    ASSERT_TRUE(silent.connected());
    // Half a command, then nothing.
    ASSERT_TRUE(silent.send("{\"class\":\"quon\","));
    ASSERT_TRUE(TestSupport::waitFor([&] { return fServer.connectionCount() == 1; }));

    LineClient other(fPath);
    ASSERT_TRUE(other.connected());
    ASSERT_TRUE(other.send("{\"class\":\"quon\",\"id\":\"upnw\"}\n"));
    EXPECT_EQ(other.readLine(), R"({"directObject":"ACCEPTED"})");
    EXPECT_EQ(fTarget.calls, std::vector<std::string>{"ibClickedOnSynchronizeAgain"});
    EXPECT_EQ(fServer.connectionCount(), 2u);
    EXPECT_TRUE(silent.unreadData().empty());
}

TEST_F(CommandSocketServerTest, IdleConnectionsAreClosed)
{
    fServer.setIdleTimeout(std::chrono::milliseconds(200));
    startServer();
    LogLines log;
    LineClient silent(fPath);
    ASSERT_TRUE(silent.connected());
    EXPECT_TRUE(silent.waitUntilClosed());
    EXPECT_TRUE(silent.unreadData().empty());
    EXPECT_TRUE(log.contains("closed (idle"));
    EXPECT_TRUE(TestSupport::waitFor([&] { return fServer.connectionCount() == 0; }));
}

TEST_F(CommandSocketServerTest, ConnectionsBeyondTheCapAreRefused)
{
    fServer.setMaxConnections(2);
    startServer();
    LineClient first(fPath);
    LineClient second(fPath);
    ASSERT_TRUE(TestSupport::waitFor([&] { return fServer.connectionCount() == 2; }));
    LineClient third(fPath);
    ASSERT_TRUE(third.connected());
    EXPECT_TRUE(isError(third.readLine()));
    EXPECT_TRUE(third.waitUntilClosed());

    // Once one leaves, a newcomer is served again.
    first.finishSending();
    ASSERT_TRUE(TestSupport::waitFor([&] { return fServer.connectionCount() == 1; }));
    LineClient fourth(fPath);
    ASSERT_TRUE(fourth.send("{\"class\":\"quon\",\"id\":\"paus\"}\n"));
    EXPECT_EQ(fourth.readLine(), R"({"directObject":"ACCEPTED"})");
}

TEST_F(CommandSocketServerTest, AnotherUsersConnectionIsClosedWithoutAReply)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to connect as another user";
    startServer();
    // Let the other user reach the socket: only the credentials check stands.
    ASSERT_EQ(::chmod(fSandbox.path().c_str(), 0711), 0);
    ASSERT_EQ(::chmod(fPath.c_str(), 0666), 0);
    LogLines log;

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Exit codes: 0 closed without a byte, 3 not connected, 4 got data, 5 no close in time.
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(6);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, fPath.c_str(), sizeof address.sun_path - 1);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            ::_exit(3);
        const char request[] = "{\"class\":\"quon\",\"id\":\"upnw\"}\n";
        [[maybe_unused]] const ssize_t sent = ::send(fd, request, sizeof request - 1, MSG_NOSIGNAL);
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 10000) <= 0)
            ::_exit(5);
        char byte;
        const ssize_t n = ::recv(fd, &byte, 1, 0);
        ::_exit(n > 0 ? 4 : 0);
    }
    int status = -1;
    ASSERT_TRUE(
        TestSupport::waitFor([&] { return ::waitpid(child, &status, WNOHANG) == child; }, std::chrono::seconds(20)));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(fTarget.calls.empty());
    EXPECT_TRUE(log.contains("refused a connection from uid 65534"));

    // Our own user is still served.
    LineClient own(fPath);
    ASSERT_TRUE(own.send("{\"class\":\"quon\",\"id\":\"upnw\"}\n"));
    EXPECT_EQ(own.readLine(), R"({"directObject":"ACCEPTED"})");
}

TEST_F(CommandSocketServerTest, TheSocketFileIsPrivateAndRemovedOnStop)
{
    startServer();
    struct stat info { };
    ASSERT_EQ(::lstat(fPath.c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    // The private folder it was made in is gone.
    for (const auto& entry : std::filesystem::directory_iterator(fSandbox.path()))
        EXPECT_EQ(entry.path().filename().string().rfind(".quon-sock", 0), std::string::npos) << entry.path();

    fServer.stop();
    EXPECT_FALSE(fServer.isListening());
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(fPath)));
    fServer.stop();
    LineClient late(fPath);
    EXPECT_FALSE(late.connected());
}

TEST_F(CommandSocketServerTest, ASecondUploaderDoesNotTakeOverALiveSocket)
{
    startServer();
    AppleEventHandler otherHandler;
    CommandSocketServer other(otherHandler);
    std::string error;
    EXPECT_FALSE(other.start(fPath, &error));
    EXPECT_NE(error.find("another uploader is already listening"), std::string::npos) << error;

    // The first one still answers, and the failed start did not remove its file.
    LineClient client(fPath);
    ASSERT_TRUE(client.send("{\"class\":\"quon\",\"id\":\"paus\"}\n"));
    EXPECT_EQ(client.readLine(), R"({"directObject":"ACCEPTED"})");
}

TEST_F(CommandSocketServerTest, AStaleSocketFileIsReplacedButOtherFilesAreLeftAlone)
{
    // A socket file whose owner is gone: bound, never listening.
    {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, fPath.c_str(), sizeof address.sun_path - 1);
        ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        ::close(fd);
    }
    startServer();
    LineClient client(fPath);
    ASSERT_TRUE(client.send("{\"class\":\"quon\",\"id\":\"upnw\"}\n"));
    EXPECT_EQ(client.readLine(), R"({"directObject":"ACCEPTED"})");
    fServer.stop();

    const std::string notASocket = fSandbox.file("settings.txt");
    TestSupport::createFileWithContents(notASocket, "keep me");
    AppleEventHandler otherHandler;
    CommandSocketServer other(otherHandler);
    std::string error;
    EXPECT_FALSE(other.start(notASocket, &error));
    EXPECT_NE(error.find("not a socket"), std::string::npos) << error;
    EXPECT_EQ(TestSupport::readWholeFile(notASocket), "keep me");
}

TEST_F(CommandSocketServerTest, ACommandMayStopTheServer)
{
    startServer();
    fTarget.onQuit = [this] { fServer.stop(); };
    LineClient client(fPath);
    ASSERT_TRUE(client.send("{\"class\":\"aevt\",\"id\":\"quit\"}\n{\"class\":\"quon\",\"id\":\"upnw\"}\n"));
    EXPECT_TRUE(client.waitUntilClosed());
    EXPECT_FALSE(fServer.isListening());
    // The command after quit was not carried out.
    EXPECT_EQ(fTarget.calls, std::vector<std::string>{"ibClickedOnQuit"});
}
