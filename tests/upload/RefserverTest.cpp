#include "TestSupport.h"
#include "upload/HttpTransfer.h"
#include "upload/MultipartBody.h"

#include "MultipartStreamParser.h"
#include "RefServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using TestSupport::readWholeFile;
using TestSupport::waitFor;
using namespace std::chrono_literals;

namespace {

// One HTTP/1.1 exchange over a plain socket; the whole reply as text.
std::string rawExchange(int port, const std::string& request)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval limit{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return {};
    }
    [[maybe_unused]] const ssize_t sent = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string reply;
    char buffer[4096];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
        reply.append(buffer, static_cast<size_t>(n));
    ::close(fd);
    return reply;
}

std::string post(int port, const std::string& path, const std::string& contentType, const std::string& body)
{
    return rawExchange(port,
                       "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Type: " +
                           contentType + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
}

} // namespace

// The reference service as the uploader, the demo and the benchmarks meet it.
class RefserverTest : public SandboxedTest {
protected:
    void start(RefServer::Options options = {})
    {
        options.root = root();
        if (options.keepBodiesUpTo == 0)
            options.keepBodiesUpTo = 1 << 20;
        fServer = std::make_unique<RefServer>(options);
        std::string error;
        ASSERT_TRUE(fServer->start(&error)) << error;
    }
    std::string root() const { return fSandbox.file("root"); }

    // Sends the fields and files the way the uploader frames them.
    HttpTransfer::Result send(const std::vector<std::pair<std::string, std::string>>& fields,
                              const std::vector<std::pair<std::string, std::string>>& files = {})
    {
        MultipartBody body;
        for (const auto& [name, value] : fields)
            body.addField(name, value);
        for (const auto& [name, path] : files) {
            body.addFilePartHeader(name, path.substr(path.rfind('/') + 1), "image/jpeg");
            std::string error;
            EXPECT_TRUE(body.addFileContents(path, &error)) << error;
        }
        body.close();
        return HttpTransfer::post(
            fServer->url(), body, [] { return false; }, "stopped");
    }

    std::unique_ptr<RefServer> fServer;
};

TEST_F(RefserverTest, APhotoAndItsMovieAreStoredPerEventAndClientAndJournaled)
{
    start();
    std::string movie(300000, '\0');
    for (size_t i = 0; i < movie.size(); ++i)
        movie[i] = static_cast<char>(i * 7);
    TestSupport::createFileWithContents(fSandbox.file("in/a.jpg"), "photo\r\n--0xKhTmLbOuNdAr");
    TestSupport::createFileWithContents(fSandbox.file("in/a.mov"), movie);
    const auto reply = send({{"username", "kiosk7"},
                             {"password", "s3cret"},
                             {"event", "Gala_K2"},
                             {"client", "../Smith"},
                             {"fuseaction", "upload.upload"},
                             {"email", "one"},
                             {"email", "two"}},
                            {{"imgfile", fSandbox.file("in/a.jpg")}, {"vidfile", fSandbox.file("in/a.mov")}});
    ASSERT_FALSE(reply.error) << reply.error->localizedDescription;
    EXPECT_EQ(reply.response->statusCode, 200);
    EXPECT_EQ(reply.body, "<reply><status>OK</status><message>Photo received: a.jpg</message></reply>");
    EXPECT_EQ(readWholeFile(root() + "/Gala_K2/.._Smith/a.jpg"), "photo\r\n--0xKhTmLbOuNdAr");
    EXPECT_EQ(readWholeFile(root() + "/Gala_K2/.._Smith/a.mov"), movie);

    const auto request = fServer->requests().at(0);
    EXPECT_EQ(request.operation, "photo upload");
    EXPECT_EQ(request.fields.size(), 7u) << "both email fields are kept";
    ASSERT_EQ(request.files.size(), 2u);
    EXPECT_EQ(request.files[1].size, movie.size());

    const auto line = nlohmann::json::parse(readWholeFile(fServer->journalPath()));
    EXPECT_EQ(line["operation"], "photo upload");
    EXPECT_EQ(line["fuseaction"], "upload.upload");
    EXPECT_EQ(line["fields"][1], nlohmann::json::array({"password", "********"}));
    EXPECT_EQ(line["files"][0]["storedAs"], "Gala_K2/.._Smith/a.jpg");
    EXPECT_EQ(line["http"], 200);
    EXPECT_EQ(line["outcome"], "answered");
}

TEST_F(RefserverTest, TheOrderQueryAnswersVersionThreeOrFour)
{
    RefServer::Options options;
    options.orders = {{"O1", "I1", "P1", "/Photos/a%20b.jpg", "a b.jpg"}};
    start(options);
    auto reply = send({{"fuseaction", "upload.checkHiResOrders"}, {"username", "u"}, {"password", "p"}});
    EXPECT_EQ(reply.body,
              "<orders><order><orderid>O1</orderid><imageid>I1</imageid><pictureid>P1</pictureid>"
              "<localfilelocation>/Photos/a%20b.jpg</localfilelocation></order>"
              "<status>OK</status><message>1 orders</message></orders>");
    reply = send({{"fuseaction", "ORDERS.V4CHECK"}, {"username", "u"}, {"password", "p"}});
    EXPECT_EQ(reply.body,
              "<orders><status>OK</status><message>1 images</message><image><orderid>O1</orderid>"
              "<imageid>I1</imageid><pictureid>P1</pictureid><filename>a b.jpg</filename>"
              "<localfilelocation>/Photos/a%20b.jpg</localfilelocation></image></orders>");
    RefBehaviour forced;
    forced.orderVersion = 4;
    forced.orders = std::vector<RefOrder>{};
    forced.status = "Warning";
    forced.message = "none today";
    fServer->script({forced});
    reply = send({{"fuseaction", "upload.checkHiResOrders"}});
    EXPECT_EQ(reply.body, "<orders><status>Warning</status><message>none today</message></orders>");
    EXPECT_EQ(fServer->requests().back().operation, "order query");
}

TEST_F(RefserverTest, AHiResUploadIsStoredUnderItsOrder)
{
    start();
    TestSupport::createFileWithContents(fSandbox.file("in/big.jpg"), "hi-res");
    const auto reply = send({{"fuseaction", "upload.uploadHiRes"},
                             {"username", "u"},
                             {"password", "p"},
                             {"orderid", "O7"},
                             {"imageid", "I7"}},
                            {{"imgfile", fSandbox.file("in/big.jpg")}});
    EXPECT_EQ(reply.body, "<reply><status>OK</status><message>Hi-res file received: big.jpg</message></reply>");
    EXPECT_EQ(readWholeFile(root() + "/HiRes/O7/big.jpg"), "hi-res");
    EXPECT_EQ(fServer->requests().at(0).operation, "hi-res upload");
}

TEST_F(RefserverTest, AnAdminScriptIsConsumedOnePerRequestThenTheDefaultAnswers)
{
    RefServer::Options options;
    options.defaultBehaviour.message = "default";
    start(options);
    const std::string script =
        R"([{"http":503,"status":"ERROR","message":"busy"},{"bodyBase64":"PHI+jjwvcj4="},{"status":"Warning"}])";
    const std::string answer = post(fServer->port(), "/_admin/script", "application/json", script);
    EXPECT_NE(answer.find("200 OK"), std::string::npos) << answer;
    EXPECT_NE(answer.find(R"({"queued":3})"), std::string::npos) << answer;

    auto reply = send({{"fuseaction", "upload.upload"}});
    EXPECT_EQ(reply.response->statusCode, 503);
    EXPECT_EQ(reply.body, "<orders><status>ERROR</status><message>busy</message></orders>");
    reply = send({{"fuseaction", "upload.upload"}});
    EXPECT_EQ(reply.body, std::string("<r>\x8E</r>"));
    reply = send({{"fuseaction", "upload.upload"}});
    EXPECT_EQ(reply.body, "<orders><status>Warning</status><message>0 orders</message></orders>")
        << "a scripted behaviour without a message keeps the reply's own";
    reply = send({{"fuseaction", "upload.upload"}});
    EXPECT_EQ(reply.body, "<orders><status>OK</status><message>default</message></orders>");

    const std::string bad = post(fServer->port(), "/_admin/script", "application/json", R"([{"hang":"yes"}])");
    EXPECT_NE(bad.find("400 Bad Request"), std::string::npos) << bad;
    EXPECT_EQ(fServer->requestCount(), 4u) << "admin requests are not journaled";
}

TEST_F(RefserverTest, AMalformedBodyIsAnsweredWithFail)
{
    start();
    const std::string answer = post(fServer->port(), "/upload", "multipart/form-data; boundary=XYZ",
                                    "--XYZ\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nvalue-without-end");
    EXPECT_NE(answer.find("400 Bad Request"), std::string::npos) << answer;
    EXPECT_NE(answer.find("<status>FAIL</status>"), std::string::npos) << answer;
    const std::string notMultipart = post(fServer->port(), "/upload", "text/plain", "hello");
    EXPECT_NE(notMultipart.find("not multipart/form-data"), std::string::npos) << notMultipart;
    EXPECT_EQ(fServer->requests().at(0).operation, "malformed");
}

TEST_F(RefserverTest, StoppingEndsAHangingRequest)
{
    start();
    RefBehaviour hang;
    hang.hang = true;
    fServer->script({hang});
    std::atomic<bool> done{false};
    HttpTransfer::Result reply;
    std::thread client([&] {
        reply = send({{"fuseaction", "upload.upload"}});
        done = true;
    });
    ASSERT_TRUE(waitFor([&] { return fServer->requestsBegun() == 1; }, 10s));
    EXPECT_FALSE(done.load()) << "the request hangs";
    fServer->stop();
    ASSERT_TRUE(waitFor([&] { return done.load(); }, 10s));
    client.join();
    EXPECT_TRUE(reply.error) << "no reply was sent";
    EXPECT_EQ(fServer->requests().at(0).outcome, "hung");
}

TEST(RefserverParserTest, PartsSurviveBeingSplitAtEveryByte)
{
    const std::string body = "\r\n--B\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\none\r\n-"
                             "\r\n--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"x;y.jpg\"\r\n"
                             "Content-Type: image/jpeg\r\n\r\n\r\n--\r\n-B\r\n-\r\n--B--\r\n";
    auto parse = [&](size_t piece) {
        std::vector<std::string> parts;
        MultipartStreamParser::Handler handler;
        handler.onPartBegin = [&](const MultipartStreamParser::PartHeader& h) {
            parts.push_back(h.name + "|" + h.filename.value_or("-") + "|" + h.contentType + "|");
            return true;
        };
        handler.onPartData = [&](const char* data, size_t size) {
            parts.back().append(data, size);
            return true;
        };
        MultipartStreamParser parser("B", handler);
        for (size_t i = 0; i < body.size(); i += piece)
            EXPECT_TRUE(parser.feed(body.data() + i, std::min(piece, body.size() - i)));
        EXPECT_TRUE(parser.finish()) << parser.error();
        return parts;
    };
    const std::vector<std::string> expected = {"a|-||one\r\n-", "f|x;y.jpg|image/jpeg|\r\n--\r\n-B\r\n-"};
    for (const size_t piece : {size_t(1), size_t(2), size_t(5), size_t(1000)})
        EXPECT_EQ(parse(piece), expected) << "pieces of " << piece;

    MultipartStreamParser unfinished("B", {});
    EXPECT_TRUE(unfinished.feed("--B\r\n\r\nno end", 14));
    EXPECT_FALSE(unfinished.finish());
    EXPECT_EQ(MultipartStreamParser::boundaryOf("multipart/form-data; boundary=0xKhTmLbOuNdArY"), "0xKhTmLbOuNdArY");
    EXPECT_EQ(MultipartStreamParser::boundaryOf("multipart/form-data; boundary=\"a b\""), "a b");
    EXPECT_FALSE(MultipartStreamParser::boundaryOf("text/plain; boundary=x"));
}

TEST(RefserverProgramTest, TheProgramListensOnAFreePortUntilTerminated)
{
    TestSupport::TempDir dir;
    const std::string program = std::string(QUON_BIN_DIR) + "/quon-refserver";
    int out[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const std::string rootArg = dir.file("root");
    std::vector<char*> argv = {
        const_cast<char*>(program.c_str()), const_cast<char*>("--root"), const_cast<char*>(rootArg.c_str()),
        const_cast<char*>("--port"),        const_cast<char*>("0"),      nullptr};
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    std::string line;
    char c;
    while (line.find('\n') == std::string::npos && ::read(out[0], &c, 1) == 1)
        line += c;
    ::close(out[0]);
    int port = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "listening on %d", &port), 1) << line;
    EXPECT_GT(port, 0);

    const std::string answer = post(port, "/upload", "multipart/form-data; boundary=B",
                                    "--B\r\nContent-Disposition: form-data; name=\"fuseaction\"\r\n\r\nx\r\n--B--\r\n");
    EXPECT_NE(answer.find("<status>OK</status>"), std::string::npos) << answer;
    EXPECT_TRUE(std::filesystem::exists(dir.file("root/journal.jsonl")));

    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

namespace {

sockaddr_in loopbackAddress(const char* address, int port)
{
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, address, &at.sin_addr);
    return at;
}

bool bindTo(int fd, const char* address, int port)
{
    const sockaddr_in at = loopbackAddress(address, port);
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0;
}

bool connectTo(int fd, const char* address, int port)
{
    const sockaddr_in at = loopbackAddress(address, port);
    return ::connect(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0;
}

void limitReceiving(int fd)
{
    timeval limit{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

} // namespace

// A dropped request ends the service's own connection and no other socket of
// the process, even one that shares both of its port numbers.
TEST_F(RefserverTest, ADroppedRequestEndsItsOwnConnectionAndNoOther)
{
    start();
    const int port = fServer->port();
    // A connection of this process between 127.0.0.2:PORT and 127.0.0.2:C ...
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_TRUE(bindTo(listener, "127.0.0.2", port)) << std::strerror(errno);
    ASSERT_EQ(::listen(listener, 1), 0);
    const int peer = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_TRUE(bindTo(peer, "127.0.0.2", 0));
    ASSERT_TRUE(connectTo(peer, "127.0.0.2", port)) << std::strerror(errno);
    const int mine = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(mine, 0);
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ASSERT_EQ(::getsockname(peer, reinterpret_cast<sockaddr*>(&bound), &length), 0);
    const int clientPort = ntohs(bound.sin_port);

    // ... and a request to the service from 127.0.0.1:C.
    RefBehaviour drop;
    drop.drop = true;
    fServer->script({drop});
    const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_TRUE(bindTo(client, "127.0.0.1", clientPort)) << std::strerror(errno);
    ASSERT_TRUE(connectTo(client, "127.0.0.1", port)) << std::strerror(errno);
    limitReceiving(client);
    const std::string body = "--B\r\nContent-Disposition: form-data; name=\"fuseaction\"\r\n\r\nx\r\n--B--\r\n";
    const std::string request = "POST /upload HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                                "Content-Type: multipart/form-data; boundary=B\r\nContent-Length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body;
    ASSERT_EQ(::send(client, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    std::string reply;
    char buffer[4096];
    ssize_t n;
    while ((n = ::recv(client, buffer, sizeof buffer, 0)) > 0)
        reply.append(buffer, static_cast<size_t>(n));
    EXPECT_EQ(n, 0) << "the service closed the connection";
    EXPECT_EQ(reply, "") << "without a reply";
    EXPECT_EQ(fServer->requests().at(0).outcome, "dropped");

    // The other connection still carries bytes both ways.
    limitReceiving(peer);
    limitReceiving(mine);
    EXPECT_EQ(::send(mine, "ping", 4, MSG_NOSIGNAL), 4);
    EXPECT_EQ(::recv(peer, buffer, sizeof buffer, 0), 4);
    EXPECT_EQ(::send(peer, "pong", 4, MSG_NOSIGNAL), 4);
    EXPECT_EQ(::recv(mine, buffer, sizeof buffer, 0), 4);
    for (const int fd : {client, mine, peer, listener})
        ::close(fd);
}

// One service per port: a second one on a taken port fails to start rather
// than sharing the port and taking some of the first one's requests.
TEST_F(RefserverTest, AServiceOnATakenPortFailsToStart)
{
    start();
    RefServer::Options options;
    options.root = fSandbox.file("second");
    options.port = fServer->port();
    RefServer second(options);
    std::string error;
    EXPECT_FALSE(second.start(&error));
    EXPECT_NE(error.find("cannot listen on 127.0.0.1:" + std::to_string(fServer->port())), std::string::npos) << error;
    for (int i = 0; i < 4; ++i)
        EXPECT_FALSE(send({{"fuseaction", "upload.upload"}}).error);
    EXPECT_EQ(fServer->requestCount(), 4u) << "every request reached the first service";
}

TEST(RefserverProgramTest, TheProgramRefusesAPortThatIsTaken)
{
    TestSupport::TempDir dir;
    RefServer::Options options;
    options.root = dir.file("first");
    RefServer first(options);
    std::string error;
    ASSERT_TRUE(first.start(&error)) << error;

    const std::string program = std::string(QUON_BIN_DIR) + "/quon-refserver";
    const std::string rootArg = dir.file("root");
    const std::string portArg = std::to_string(first.port());
    const std::string errorFile = dir.file("stderr.txt");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> argv = {const_cast<char*>(program.c_str()), const_cast<char*>("--root"),
                               const_cast<char*>(rootArg.c_str()), const_cast<char*>("--port"),
                               const_cast<char*>(portArg.c_str()), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    const bool ended = waitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 10s);
    if (!ended) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    ASSERT_TRUE(ended) << "the second service kept running on a taken port";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << status;
    const std::string message = readWholeFile(errorFile);
    EXPECT_NE(message.find("quon-refserver: cannot listen on 127.0.0.1:" + portArg), std::string::npos) << message;
}
