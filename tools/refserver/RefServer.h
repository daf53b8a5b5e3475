#pragma once

#include "RecordedRequest.h"
#include "RefBehaviour.h"
#include "RefOrder.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

// The reference web service: accepts the photo upload, the order query and
// the hi-res upload as multipart POSTs on any path, stores what it receives
// under the root folder (root/EVENT/CLIENT/ for photos and their movies,
// root/HiRes/ORDERID/ for hi-res files), appends a JSON line per request to
// root/journal.jsonl and answers OK unless told otherwise, by a scripted
// behaviour (POST /_admin/script with a JSON list, or script()) or by the
// default behaviour. The order query answers the standing orders (the
// options, or POST /_admin/orders); a hi-res file is stored with its ids
// beside it (FILE.ids.json). Uploads are streamed to disk, so a large movie costs
// no memory. Listens on loopback only.
class RefServer {
public:
    struct Options {
        std::string root;
        std::string host = "127.0.0.1";
        int port = 0;                  // 0 picks a free port
        std::vector<RefOrder> orders;  // what the order query answers
        RefBehaviour defaultBehaviour; // when no scripted behaviour is left
        // Every upload whose first file has the name answers so, whatever the script says.
        std::map<std::string, RefBehaviour> byFileName;
        size_t keepBodiesUpTo = 0; // raw bodies kept in memory up to this size (tests)
        bool logRequests = false;  // one line per request on standard error
    };

    explicit RefServer(Options options);
    ~RefServer();
    RefServer(const RefServer&) = delete;
    RefServer& operator=(const RefServer&) = delete;

    // Binds and serves on a thread of its own; false and the reason when it cannot.
    bool start(std::string* error = nullptr);
    // Ends every delay and hang, then stops serving. Safe to call twice.
    void stop();

    int port() const;
    std::string url(const std::string& path = "/upload") const;
    std::string journalPath() const;

    // Replaces the scripted behaviours; each request takes the next one.
    void script(std::vector<RefBehaviour> behaviours);
    std::vector<RecordedRequest> requests() const;
    size_t requestCount() const;
    // Requests whose handling has begun, answered or not (a hanging one is recorded only when it ends).
    size_t requestsBegun() const;

private:
    struct Impl;
    std::unique_ptr<Impl> fImpl;
};
