#include "LoopbackListener.h"
#include "upload/HttpTransfer.h"

#include "TestSupport.h"
#include "upload/MultipartBody.h"

#include <arpa/inet.h>
#include <atomic>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// A loopback HTTP/1.1 endpoint that serves any number of requests on each
// connection, one connection at a time, and keeps every body it read. It can
// be told to read one request in full and then hang up without a reply, as a
// service does that closes an idle connection while the next request arrives.
class KeepAliveServer {
public:
    KeepAliveServer()
    {
        fListener = listenOnLoopback(&fPort);
        fThread = std::thread([this] { serve(); });
    }
    ~KeepAliveServer()
    {
        // The client keeps its connection open: end it too.
        fStopping = true;
        if (const int connection = fConnection.load(); connection >= 0)
            ::shutdown(connection, SHUT_RDWR);
        ::shutdown(fListener, SHUT_RDWR);
        fThread.join();
        ::close(fListener);
    }

    std::string url() const { return "http://127.0.0.1:" + std::to_string(fPort) + "/upload"; }
    int connections() const { return fConnections.load(); }
    std::vector<std::string> bodies() const
    {
        std::lock_guard lock(fMutex);
        return fBodies;
    }
    // The request with this number (counted from 1) is read and not answered.
    void hangUpOnRequest(int number) { fHangUpOn = number; }

private:
    void serve()
    {
        for (;;) {
            const int connection = ::accept4(fListener, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0)
                return;
            ++fConnections;
            fConnection = connection;
            std::string pending;
            while (!fStopping && serveOne(connection, pending)) { }
            fConnection = -1;
            ::close(connection);
        }
    }

    // False when the connection ends.
    bool serveOne(int connection, std::string& pending)
    {
        size_t headEnd;
        while ((headEnd = pending.find("\r\n\r\n")) == std::string::npos)
            if (!receive(connection, pending))
                return false;
        const std::string head = pending.substr(0, headEnd);
        size_t length = 0;
        if (const auto at = head.find("Content-Length: "); at != std::string::npos)
            length = std::stoul(head.substr(at + 16));
        while (pending.size() < headEnd + 4 + length)
            if (!receive(connection, pending))
                return false;
        const std::string body = pending.substr(headEnd + 4, length);
        pending.erase(0, headEnd + 4 + length);
        if (++fRequests == fHangUpOn)
            return false;
        {
            std::lock_guard lock(fMutex);
            fBodies.push_back(body);
        }
        const std::string reply = "<reply><status>OK</status><message>Stored</message></reply>";
        const std::string response =
            "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: " + std::to_string(reply.size()) +
            "\r\n\r\n" + reply;
        return ::send(connection, response.data(), response.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(response.size());
    }

    static bool receive(int connection, std::string& into)
    {
        char buffer[64 * 1024];
        const ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
        if (n <= 0)
            return false;
        into.append(buffer, static_cast<size_t>(n));
        return true;
    }

    int fListener = -1;
    uint16_t fPort = 0;
    std::thread fThread;
    std::atomic<int> fConnections{0};
    std::atomic<int> fConnection{-1};
    std::atomic<bool> fStopping{false};
    std::atomic<int> fRequests{0};
    std::atomic<int> fHangUpOn{0};
    mutable std::mutex fMutex;
    std::vector<std::string> fBodies;
};

class HttpKeepAliveTest : public ::testing::Test {
protected:
    HttpTransfer::Result send(const std::string& client, const std::string& photoPath, std::string* sent = nullptr)
    {
        MultipartBody body;
        body.addField("client", client);
        body.addFilePartHeader("imgfile", "IMG_1.jpg", "image/jpeg");
        std::string error;
        EXPECT_TRUE(body.addFileContents(photoPath, &error)) << error;
        body.close();
        if (sent) {
            std::string bytes(body.size(), '\0');
            bytes.resize(body.read(bytes.data(), bytes.size()));
            while (bytes.size() < body.size()) {
                char more[65536];
                const size_t n = body.read(more, sizeof more);
                if (n == 0)
                    break;
                bytes.append(more, n);
            }
            *sent = bytes;
            EXPECT_TRUE(body.rewind());
        }
        return HttpTransfer::post(
            fServer.url(), body, [] { return false; }, "stopped");
    }

    TestSupport::TempDir fDir;
    KeepAliveServer fServer;
};

} // namespace

TEST_F(HttpKeepAliveTest, PhotosAfterTheFirstGoOutOnTheSameConnection)
{
    const std::string photo = fDir.file("IMG_1.jpg");
    TestSupport::createFileWithContents(photo, std::string(300 * 1024, 'x'));
    for (int i = 0; i < 5; ++i) {
        const auto result = send("Smith" + std::to_string(i), photo);
        ASSERT_FALSE(result.error) << result.error->localizedDescription;
        ASSERT_TRUE(result.response);
        EXPECT_EQ(result.response->statusCode, 200);
    }
    EXPECT_EQ(fServer.connections(), 1);
    ASSERT_EQ(fServer.bodies().size(), 5u);
    EXPECT_NE(fServer.bodies()[4].find("Smith4"), std::string::npos);
}

TEST_F(HttpKeepAliveTest, AConnectionTheServiceClosedIsReplacedAndTheBodySentWholeAgain)
{
    const std::string photo = fDir.file("IMG_1.jpg");
    std::string bytes;
    for (int i = 0; i < 200 * 1024; ++i)
        bytes.push_back(static_cast<char>(i * 7));
    TestSupport::createFileWithContents(photo, bytes);
    ASSERT_FALSE(send("first", photo).error);
    fServer.hangUpOnRequest(2);
    std::string sent;
    const auto result = send("second", photo, &sent);
    ASSERT_FALSE(result.error) << result.error->localizedDescription;
    ASSERT_TRUE(result.response);
    EXPECT_EQ(result.response->statusCode, 200);
    EXPECT_EQ(fServer.connections(), 2);
    ASSERT_EQ(fServer.bodies().size(), 2u);
    EXPECT_EQ(fServer.bodies()[1], sent) << "the body went out again from its first byte";
}
