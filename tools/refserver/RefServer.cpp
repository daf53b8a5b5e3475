#include "RefServer.h"

#include "ConnectionServer.h"
#include "MultipartStreamParser.h"
#include "ReplyText.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using nlohmann::json;

using namespace ReplyText;

namespace {

constexpr size_t kLongestTextField = 1024 * 1024;
constexpr size_t kLongestAdminBody = 1024 * 1024;
constexpr const char* kContentTypeAside = "X-Quon-Content-Type";

} // namespace

struct RefServer::Impl {
    Options options;
    ConnectionServer server;
    std::thread thread;
    std::atomic<bool> listenEnded{false};
    int port = -1;

    mutable std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    bool started = false;
    std::deque<RefBehaviour> script;
    std::vector<RecordedRequest> requests;
    int nextSeq = 0;

    explicit Impl(Options o) : options(std::move(o)) { }

    RefBehaviour nextBehaviour()
    {
        std::lock_guard lock(mutex);
        if (script.empty())
            return options.defaultBehaviour;
        RefBehaviour b = std::move(script.front());
        script.pop_front();
        return b;
    }

    // Waits up to the time given, or until the server stops; false when it stops.
    bool pause(std::chrono::milliseconds length)
    {
        std::unique_lock lock(mutex);
        return !wake.wait_for(lock, length, [this] { return stopping; });
    }

    void hangUntilClientLeaves(int fd)
    {
        for (;;) {
            {
                std::lock_guard lock(mutex);
                if (stopping)
                    return;
            }
            if (fd < 0) {
                pause(std::chrono::milliseconds(100));
                continue;
            }
            pollfd watch{fd, POLLRDHUP, 0};
            if (::poll(&watch, 1, 100) > 0 && (watch.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)))
                return;
        }
    }

    void journal(const RecordedRequest& r)
    {
        json fields = json::array();
        for (const auto& [name, value] : r.fields) {
            // The journal is for reading; the login stays out of it.
            const bool secret = name == "password" || name == "code";
            fields.push_back(json::array({name, secret ? std::string("********") : value}));
        }
        json files = json::array();
        for (const auto& f : r.files)
            files.push_back({{"field", f.field},
                             {"filename", f.filename},
                             {"contentType", f.contentType},
                             {"bytes", f.size},
                             {"storedAs", f.storedPath}});
        json line = {{"seq", r.seq},
                     {"time", timestamp()},
                     {"method", r.method},
                     {"path", r.path},
                     {"operation", r.operation},
                     {"fuseaction", r.field("fuseaction")},
                     {"fields", fields},
                     {"files", files},
                     {"bodyBytes", r.bodySize},
                     {"behaviour", json::parse(r.behaviour, nullptr, false)},
                     {"http", r.httpStatus},
                     {"reply", r.replyStatus},
                     {"outcome", r.outcome}};
        if (!r.error.empty())
            line["error"] = r.error;
        const std::string text = line.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
        std::lock_guard lock(mutex);
        const int fd =
            ::open((options.root + "/journal.jsonl").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd >= 0) {
            [[maybe_unused]] const ssize_t n = ::write(fd, text.data(), text.size());
            ::close(fd);
        }
        if (options.logRequests)
            std::fprintf(stderr, "quon-refserver: #%d %s %s: %s, %s %d %s\n", r.seq, r.method.c_str(), r.path.c_str(),
                         r.operation.c_str(), r.outcome.c_str(), r.httpStatus, r.replyStatus.c_str());
        requests.push_back(r);
    }

    std::string orderReply(const RecordedRequest& r, const RefBehaviour& b)
    {
        std::unique_lock lock(mutex); // the admin request may replace the standing orders
        const std::vector<RefOrder> orders = b.orders ? *b.orders : options.orders;
        int version = b.orderVersion ? b.orderVersion : options.defaultBehaviour.orderVersion;
        lock.unlock();
        if (version == 0)
            version = equalsIgnoringCase(r.field("fuseaction"), "orders.v4check") ? 4 : 3;
        const std::string status = element("status", b.status.value_or("OK"));
        std::string items;
        for (const auto& o : orders) {
            if (version == 4)
                items += "<image>" + element("orderid", o.orderid) + element("imageid", o.imageid) +
                    element("pictureid", o.pictureid) + element("filename", o.filename) + "<localfilelocation>" +
                    o.localfilelocation + "</localfilelocation></image>";
            else
                items += "<order>" + element("orderid", o.orderid) + element("imageid", o.imageid) +
                    element("pictureid", o.pictureid) + "<localfilelocation>" + o.localfilelocation +
                    "</localfilelocation></order>";
        }
        const std::string count = std::to_string(orders.size()) + (version == 4 ? " images" : " orders");
        const std::string message = element("message", b.message.value_or(count));
        return version == 4 ? "<orders>" + status + message + items + "</orders>"
                            : "<orders>" + items + status + message + "</orders>";
    }

    static void storeIds(const RecordedRequest& r, const std::string& path) // beside a hi-res file
    {
        json ids = json::object();
        for (const auto& [name, value] : r.fields)
            if ((name == "orderid" || name == "imageid" || name == "pictureid") && !ids.contains(name))
                ids[name] = value;
        std::ofstream(path) << ids.dump(-1, ' ', false, json::error_handler_t::replace) << "\n";
    }

    void handle(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader);
    void handleOrders(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader);
    void handleScript(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader);
};

void RefServer::Impl::handle(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader)
{
    RecordedRequest r;
    {
        std::lock_guard lock(mutex);
        r.seq = ++nextSeq;
    }
    r.method = req.method;
    r.path = req.path;
    r.contentType = req.get_header_value(kContentTypeAside);
    RefBehaviour b = nextBehaviour();
    r.behaviour = b.describe();
    r.rawBodyComplete = options.keepBodiesUpTo > 0;

    // File parts go to numbered files under .incoming and are moved into place once the body is whole.
    const std::string incoming = options.root + "/.incoming";
    std::error_code ec;
    fs::create_directories(incoming, ec);
    std::vector<std::string> partFiles;
    std::FILE* file = nullptr;
    std::string text;
    std::string partName;
    bool textTooLong = false;
    MultipartStreamParser::Handler handler;
    handler.onPartBegin = [&](const MultipartStreamParser::PartHeader& h) {
        partName = h.name;
        text.clear();
        if (!h.filename)
            return true;
        const std::string path =
            incoming + "/" + std::to_string(r.seq) + "-" + std::to_string(partFiles.size()) + ".part";
        file = std::fopen(path.c_str(), "wbe");
        if (!file)
            return false;
        std::setvbuf(file, nullptr, _IOFBF, 1024 * 1024);
        partFiles.push_back(path);
        r.files.push_back({h.name, *h.filename, h.contentType, 0, {}});
        return true;
    };
    handler.onPartData = [&](const char* data, size_t size) {
        if (file) {
            r.files.back().size += size;
            return std::fwrite(data, 1, size, file) == size;
        }
        if (text.size() + size > kLongestTextField) {
            textTooLong = true;
            return false;
        }
        text.append(data, size);
        return true;
    };
    handler.onPartEnd = [&] {
        if (file) {
            const bool ok = std::fclose(file) == 0;
            file = nullptr;
            return ok;
        }
        r.fields.emplace_back(partName, text);
        return true;
    };
    const auto boundary = MultipartStreamParser::boundaryOf(r.contentType);
    MultipartStreamParser parser(boundary.value_or("-"), handler);
    bool parsed = boundary.has_value();
    // Keep reading after a malformed part, so the reply still reaches the client.
    const bool whole = reader([&](const char* data, size_t size) {
        r.bodySize += size;
        if (r.rawBodyComplete) {
            if (r.rawBody.size() + size <= options.keepBodiesUpTo)
                r.rawBody.append(data, size);
            else
                r.rawBodyComplete = false;
        }
        if (parsed)
            parsed = parser.feed(data, size);
        return true;
    });
    if (file)
        std::fclose(file);
    parsed = parsed && whole && parser.finish();

    auto discardParts = [&] {
        for (const auto& p : partFiles)
            fs::remove(p, ec);
    };
    if (!whole) {
        discardParts();
        r.operation = "malformed";
        r.outcome = "incomplete";
        r.error = "the client did not send the whole body";
        journal(r);
        res.status = 400;
        return;
    }
    if (!parsed) {
        discardParts();
        r.operation = "malformed";
        r.error = !boundary ? "not multipart/form-data" : textTooLong ? "a text field is too long" : parser.error();
        r.httpStatus = 400;
        r.replyStatus = "FAIL";
        r.outcome = "answered";
        res.status = 400;
        res.set_content(statusReply("FAIL", "Malformed request: " + r.error), "text/xml");
        journal(r);
        return;
    }

    // What the request is, by what it carries.
    std::string folder;
    std::string defaultMessage;
    if (r.files.empty()) {
        r.operation = "order query";
    } else if (std::any_of(r.fields.begin(), r.fields.end(), [](const auto& f) { return f.first == "imageid"; })) {
        r.operation = "hi-res upload";
        folder = options.root + "/HiRes/" + safeComponent(r.field("orderid").empty() ? "no-order" : r.field("orderid"));
        defaultMessage = "Hi-res file received: " + r.files.front().filename;
    } else {
        r.operation = "photo upload";
        folder = options.root + "/" + safeComponent(r.field("event")) + "/" + safeComponent(r.field("client"));
        defaultMessage = "Photo received: " + r.files.front().filename;
    }
    if (!folder.empty()) {
        fs::create_directories(folder, ec);
        for (size_t i = 0; i < partFiles.size(); ++i) {
            const std::string target =
                folder + "/" + safeComponent(r.files[i].filename.empty() ? r.files[i].field : r.files[i].filename);
            fs::rename(partFiles[i], target, ec);
            if (ec) {
                r.error = "cannot store " + target + ": " + ec.message();
                fs::remove(partFiles[i], ec);
            } else {
                r.files[i].storedPath = fs::relative(target, options.root, ec).string();
                if (r.operation == "hi-res upload")
                    storeIds(r, target + ".ids.json");
            }
        }
    } else {
        discardParts();
    }

    const auto named = r.files.empty() ? options.byFileName.end() : options.byFileName.find(r.files.front().filename);
    if (named != options.byFileName.end())
        r.behaviour = (b = named->second).describe();
    if (b.delayMs > 0 && !pause(std::chrono::milliseconds(b.delayMs)))
        r.outcome = "stopped";
    if (b.hang && r.outcome.empty()) {
        const int fd = ConnectionServer::currentConnection();
        hangUntilClientLeaves(fd);
        if (fd >= 0)
            ::shutdown(fd, SHUT_RDWR);
        r.outcome = "hung";
        journal(r);
        return;
    }
    if (b.drop || r.outcome == "stopped") {
        if (r.outcome.empty())
            r.outcome = "dropped";
        // Recorded before the client can see the connection go.
        journal(r);
        if (const int fd = ConnectionServer::currentConnection(); fd >= 0)
            ::shutdown(fd, SHUT_RDWR);
        return;
    }

    std::string reply;
    if (b.body) {
        reply = *b.body;
    } else if (r.operation == "order query") {
        reply = orderReply(r, b);
    } else {
        reply = statusReply(b.status.value_or("OK"), b.message.value_or(defaultMessage));
    }
    r.httpStatus = b.http;
    r.replyStatus = b.body ? std::string("(body)") : b.status.value_or("OK");
    r.outcome = "answered";
    res.status = b.http;
    if (b.padTo > reply.size() || b.trickleMs > 0) {
        // Padded with spaces after the document, streamed rather than built.
        const size_t total = std::max(b.padTo, reply.size());
        const int trickleMs = b.trickleMs;
        res.set_content_provider(
            total, "text/xml", [this, reply, total, trickleMs](size_t offset, size_t length, httplib::DataSink& sink) {
                if (trickleMs > 0 && !pause(std::chrono::milliseconds(trickleMs)))
                    return false;
                const size_t n = std::min<size_t>(length, trickleMs > 0 ? 16 : 64 * 1024);
                std::string chunk;
                if (offset < reply.size())
                    chunk = reply.substr(offset, n);
                chunk.resize(std::min(n, total - offset), ' ');
                return sink.write(chunk.data(), chunk.size());
            });
    } else {
        res.set_content(reply, "text/xml");
    }
    journal(r);
}

void RefServer::Impl::handleScript(const httplib::Request&, httplib::Response& res,
                                   const httplib::ContentReader& reader)
{
    std::string body;
    bool tooLong = false;
    reader([&](const char* data, size_t size) {
        if (body.size() + size > kLongestAdminBody)
            tooLong = true;
        else
            body.append(data, size);
        return true;
    });
    std::vector<RefBehaviour> list;
    std::string error = "the script is too long";
    if (tooLong || !RefBehaviour::parseList(body, list, &error)) {
        res.status = 400;
        res.set_content(json{{"error", error}}.dump(), "application/json");
        return;
    }
    const size_t count = list.size();
    {
        std::lock_guard lock(mutex);
        script.assign(std::make_move_iterator(list.begin()), std::make_move_iterator(list.end()));
    }
    res.set_content(json{{"queued", count}}.dump(), "application/json");
}

// The standing orders: a list of orders, or {"orderVersion": 3|4, "orders": [...]}.
void RefServer::Impl::handleOrders(const httplib::Request&, httplib::Response& res,
                                   const httplib::ContentReader& reader)
{
    std::string body, error;
    reader([&](const char* data, size_t size) {
        if (body.size() + size > kLongestAdminBody)
            error = "the orders are too long";
        else
            body.append(data, size);
        return true;
    });
    const json parsed = json::parse(body, nullptr, false);
    const bool wrapped = parsed.is_object();
    const json version = wrapped ? parsed.value("orderVersion", json(0)) : json(0);
    std::vector<RefOrder> orders;
    if (error.empty() && !(version == 0 || version == 3 || version == 4))
        error = "orderVersion must be 3 or 4";
    if (error.empty()) // sets the reason when the list is malformed
        RefBehaviour::parseOrders(wrapped ? parsed.value("orders", json::array()).dump() : body, orders, &error);
    if (!error.empty()) {
        res.status = 400;
        res.set_content(json{{"error", error}}.dump(), "application/json");
        return;
    }
    res.set_content(json{{"orders", orders.size()}}.dump(), "application/json");
    std::lock_guard lock(mutex);
    options.orders = std::move(orders);
    if (wrapped)
        options.defaultBehaviour.orderVersion = version.get<int>();
}

RefServer::RefServer(Options options) : fImpl(std::make_unique<Impl>(std::move(options))) { }

RefServer::~RefServer() { stop(); }

bool RefServer::start(std::string* error)
{
    Impl& d = *fImpl;
    std::error_code ec;
    if (d.options.root.empty() || (!fs::create_directories(d.options.root, ec) && !fs::is_directory(d.options.root))) {
        if (error)
            *error = "cannot use the root folder [" + d.options.root + "]";
        return false;
    }
    d.server.set_read_timeout(30);
    d.server.set_write_timeout(30);
    d.server.set_keep_alive_timeout(1);
    // Address reuse only: the library would also share the port, and a second
    // service on a port already taken must fail to start instead.
    d.server.set_socket_options([](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    // The HTTP library reads every multipart body through its own form parser,
    // which hides the bytes as sent. The service reads them itself: the header
    // is moved aside before routing (the request object is the library's own
    // mutable one, handed to this hook as const).
    d.server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response&) {
        auto& request = const_cast<httplib::Request&>(req);
        if (auto it = request.headers.find("Content-Type"); it != request.headers.end()) {
            request.headers.emplace(kContentTypeAside, it->second);
            request.headers.erase(it);
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    d.server.Post("/_admin/script",
                  [&d](const httplib::Request& q, httplib::Response& s, const httplib::ContentReader& c) {
                      d.handleScript(q, s, c);
                  });
    d.server.Post("/_admin/orders",
                  [&d](const httplib::Request& q, httplib::Response& s, const httplib::ContentReader& c) {
                      d.handleOrders(q, s, c);
                  });
    d.server.Post(".*", [&d](const httplib::Request& q, httplib::Response& s, const httplib::ContentReader& c) {
        d.handle(q, s, c);
    });
    d.server.set_exception_handler([](const httplib::Request&, httplib::Response& s, std::exception_ptr failure) {
        std::string what = "unknown failure";
        try {
            std::rethrow_exception(failure);
        } catch (const std::exception& e) {
            what = e.what();
        } catch (...) {
        }
        std::fprintf(stderr, "quon-refserver: a request failed: %s\n", what.c_str());
        s.status = 500;
        s.set_content(statusReply("ERROR", "The reference service failed on this request: " + what), "text/xml");
    });
    d.port = d.options.port == 0 ? d.server.bind_to_any_port(d.options.host)
                                 : (d.server.bind_to_port(d.options.host, d.options.port) ? d.options.port : -1);
    if (d.port <= 0) {
        if (error)
            *error = "cannot listen on " + d.options.host + ":" + std::to_string(d.options.port) +
                " (the port is taken or not allowed)";
        return false;
    }
    d.thread = std::thread([&d] {
        d.server.listen_after_bind();
        d.listenEnded = true;
    });
    // Requests are served once the server runs (stop() waits for that too).
    for (int i = 0; i < 5000 && !d.server.is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::lock_guard lock(d.mutex);
    d.started = true;
    return true;
}

void RefServer::stop()
{
    Impl& d = *fImpl;
    {
        std::lock_guard lock(d.mutex);
        if (!d.started || d.stopping)
            return;
        d.stopping = true;
    }
    d.wake.notify_all();
    // The library's stop() does nothing before its loop runs (start() may have given up waiting).
    while (!d.server.is_running() && !d.listenEnded)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    d.server.stop();
    if (d.thread.joinable())
        d.thread.join();
}

int RefServer::port() const { return fImpl->port; }

std::string RefServer::url(const std::string& path) const
{
    return "http://" + fImpl->options.host + ":" + std::to_string(fImpl->port) + path;
}

std::string RefServer::journalPath() const { return fImpl->options.root + "/journal.jsonl"; }

void RefServer::script(std::vector<RefBehaviour> behaviours)
{
    std::lock_guard lock(fImpl->mutex);
    fImpl->script.assign(std::make_move_iterator(behaviours.begin()), std::make_move_iterator(behaviours.end()));
}

std::vector<RecordedRequest> RefServer::requests() const
{
    std::lock_guard lock(fImpl->mutex);
    return fImpl->requests;
}

size_t RefServer::requestCount() const
{
    std::lock_guard lock(fImpl->mutex);
    return fImpl->requests.size();
}

size_t RefServer::requestsBegun() const
{
    std::lock_guard lock(fImpl->mutex);
    return static_cast<size_t>(fImpl->nextSeq);
}
