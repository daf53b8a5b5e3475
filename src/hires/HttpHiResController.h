#pragma once

#include "hires/OrderCheckOutcome.h"
#include "hires/OrderQueryInfo.h"
#include "hires/OrderReply.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pugi {
class xml_document;
class xml_node;
} // namespace pugi

class MaintenanceWindow;

// One order query and its hi-res uploads, synchronously on the calling thread
// (the order-check worker): asks the web service which ordered images need
// their full-resolution file, reads the reply (version 3, or version 4 when
// the check's fuse action is "orders.v4check"), finds each file on the local
// disks and sends it. A new controller is made for each query.
class HttpHiResController {
public:
    // The reply that the version-4 parser reads, besides the query's record.
    struct Vers4Input {
        OrderQueryResult* result = nullptr;
        std::shared_ptr<pugi::xml_document> myXmlDoc;
    };

    HttpHiResController() = default;

    // The window that receives the progress lines; not owned (the caller
    // keeps it alive until the query returns); may be none.
    MaintenanceWindow* progressDelegate() const { return _progressDelegate; }
    void setProgressDelegate(MaintenanceWindow* window) { _progressDelegate = window; }
    // Asked during every transfer; true stops it (the application is quitting).
    void setShouldAbort(std::function<bool()> shouldAbort) { fShouldAbort = std::move(shouldAbort); }

    // The query and every upload it leads to; always true. The info is emptied.
    bool doQueryAndUploadHiResWithInfo(OrderQueryInfo& info);
    // The version-4 reply: status and message first, then each image; false
    // when no document is given.
    bool parseDataVers4(const std::string& text, Vers4Input& input);
    // Sends one found file with its ids; always true. The info is emptied.
    bool doRunHttpUploaderHiResWithInfo(HiResUploadInfo& info);

    // What the last query came to.
    const OrderCheckOutcome& outcome() const { return fOutcome; }

    // The relative try path of the file-name fallback: "4711_2 copy" -> "4711/4711_2.jpg".
    static std::string fileNameFallbackTryPath(const std::string& fileName);
    // Its two fixed roots, in search order.
    static std::vector<std::string> fileNameFallbackRoots();

private:
    void runVers3(const pugi::xml_node& root, OrderQueryResult& result);
    void takeStatusAndMessage(OrderReply& reply, OrderQueryResult& result);
    void fulfil(const OrderReply::Image& image, const OrderQueryResult& result, bool isVers4);
    void updateLine2(const std::string& text);
    std::optional<std::vector<std::string>> searchRoots() const;

    MaintenanceWindow* _progressDelegate = nullptr;
    std::function<bool()> fShouldAbort;
    OrderCheckOutcome fOutcome;
    bool fLastUploadAccepted = false;
};
