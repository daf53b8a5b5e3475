// quon-refserver: the reference web service, for the demo, the tests and the benchmarks.

#include "RefServer.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <pthread.h>
#include <sstream>
#include <string>

namespace {

const char* kUsage = "usage: quon-refserver --root DIR [--port N] [--orders FILE] [behaviour options]\n"
                     "\n"
                     "Listens on 127.0.0.1 (port 0 or none picks a free one) and prints \"listening on PORT\".\n"
                     "Photos and movies are stored under DIR/EVENT/CLIENT/, hi-res files under\n"
                     "DIR/HiRes/ORDERID/, and every request is a JSON line in DIR/journal.jsonl.\n"
                     "\n"
                     "  --orders FILE          JSON list of orders answered to the order query:\n"
                     "                         "
                     "[{\"orderid\":..,\"imageid\":..,\"pictureid\":..,\"localfilelocation\":..,\"filename\":..}]\n"
                     "Behaviour options (for every request that no scripted behaviour covers):\n"
                     "  --http-status N        answer with this HTTP status\n"
                     "  --reply-status TEXT    the reply's <status> (default OK)\n"
                     "  --reply-message TEXT   the reply's <message>\n"
                     "  --delay-ms N           wait before answering\n"
                     "  --hang                 never answer (until the client gives up or the server stops)\n"
                     "  --drop                 close the connection without a reply\n"
                     "  --order-version 3|4    the order reply's version (default: 4 for orders.v4check, else 3)\n"
                     "  --quiet                no line per request on standard error\n"
                     "\n"
                     "POST /_admin/orders with such a list, or {\"orderVersion\":3|4,\"orders\":[...]}, replaces the\n"
                     "standing orders. Each hi-res file is stored with its ids beside it (FILE.ids.json).\n"
                     "POST /_admin/script with a JSON list of behaviours, consumed one per request:\n"
                     "  [{\"http\":500}, {\"status\":\"Warning\",\"message\":\"No Email Addresses Sent\"},\n"
                     "   {\"body\":\"not xml\"}, {\"bodyBase64\":\"...\"}, {\"padTo\":17000000}, {\"delayMs\":2000}, "
                     "{\"trickleMs\":100},\n"
                     "   {\"hang\":true}, {\"drop\":true}, {\"orderVersion\":4, \"orders\":[...]}]\n";

bool parseInt(const char* text, int& value)
{
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (!end || *end || end == text || v < 0 || v > 1000000000)
        return false;
    value = static_cast<int>(v);
    return true;
}

int fail(const std::string& message)
{
    std::fprintf(stderr, "quon-refserver: %s\n%s", message.c_str(), kUsage);
    return 64;
}

} // namespace

int main(int argc, char** argv)
{
    RefServer::Options options;
    options.logRequests = true;
    std::string ordersFile;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
        auto needValue = [&]() -> const char* {
            if (!next)
                return nullptr;
            ++i;
            return next;
        };
        int number = 0;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--root") {
            const char* v = needValue();
            if (!v)
                return fail("--root needs a folder");
            options.root = v;
        } else if (arg == "--port") {
            const char* v = needValue();
            if (!v || !parseInt(v, number) || number > 65535)
                return fail("--port needs a port number");
            options.port = number;
        } else if (arg == "--orders") {
            const char* v = needValue();
            if (!v)
                return fail("--orders needs a file");
            ordersFile = v;
        } else if (arg == "--http-status") {
            const char* v = needValue();
            if (!v || !parseInt(v, number) || number < 100 || number > 599)
                return fail("--http-status needs a status code");
            options.defaultBehaviour.http = number;
        } else if (arg == "--reply-status") {
            const char* v = needValue();
            if (!v)
                return fail("--reply-status needs a text");
            options.defaultBehaviour.status = v;
        } else if (arg == "--reply-message") {
            const char* v = needValue();
            if (!v)
                return fail("--reply-message needs a text");
            options.defaultBehaviour.message = v;
        } else if (arg == "--delay-ms") {
            const char* v = needValue();
            if (!v || !parseInt(v, number))
                return fail("--delay-ms needs milliseconds");
            options.defaultBehaviour.delayMs = number;
        } else if (arg == "--hang") {
            options.defaultBehaviour.hang = true;
        } else if (arg == "--drop") {
            options.defaultBehaviour.drop = true;
        } else if (arg == "--order-version") {
            const char* v = needValue();
            if (!v || !parseInt(v, number) || (number != 3 && number != 4))
                return fail("--order-version needs 3 or 4");
            options.defaultBehaviour.orderVersion = number;
        } else if (arg == "--quiet") {
            options.logRequests = false;
        } else {
            return fail("unknown option " + arg);
        }
    }
    if (options.root.empty())
        return fail("--root is required");
    if (!ordersFile.empty()) {
        std::ifstream in(ordersFile);
        std::stringstream text;
        text << in.rdbuf();
        std::string error;
        if (!in || !RefBehaviour::parseOrders(text.str(), options.orders, &error))
            return fail("cannot read the orders in " + ordersFile + (error.empty() ? "" : ": " + error));
    }

    // Signals are taken by sigwait below, not by the server's threads.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    RefServer server(options);
    std::string error;
    if (!server.start(&error)) {
        std::fprintf(stderr, "quon-refserver: %s\n", error.c_str());
        return 69;
    }
    std::printf("listening on %d\n", server.port());
    std::fflush(stdout);
    int received = 0;
    sigwait(&signals, &received);
    server.stop();
    return 0;
}
