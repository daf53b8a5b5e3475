#pragma once

#include "RefOrder.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// How the reference service answers one request. The default answers 200
// with <reply><status>OK</status><message>...</message></reply>.
//
// As JSON (the admin request takes a list of these, one per request):
//   {"http": 500}                             HTTP status of the reply
//   {"status": "Warning", "message": "..."}   the reply's status and message
//   {"body": "text"} / {"bodyBase64": "..."}  the reply body, byte for byte
//   {"padTo": 17000000}                       the reply padded with spaces to that many bytes
//   {"delayMs": 2000}                         wait before answering
//   {"trickleMs": 100}                        send the reply in 16-byte pieces, pausing before each
//   {"hang": true}                            never answer; wait until the client gives up or the server stops
//   {"drop": true}                            close the connection without a reply
//   {"orderVersion": 4, "orders": [{...}]}    the order reply's version and orders
struct RefBehaviour {
    int http = 200;
    std::optional<std::string> status;
    std::optional<std::string> message;
    std::optional<std::string> body;
    size_t padTo = 0;
    int delayMs = 0;
    int trickleMs = 0;
    bool hang = false;
    bool drop = false;
    int orderVersion = 0; // 3 or 4; 0 lets the fuse action decide
    std::optional<std::vector<RefOrder>> orders;

    // A list of behaviours from JSON text; false and the reason when malformed.
    static bool parseList(std::string_view json, std::vector<RefBehaviour>& list, std::string* error);
    // An order list from JSON text (the --orders file).
    static bool parseOrders(std::string_view json, std::vector<RefOrder>& orders, std::string* error);
    // One line for the journal.
    std::string describe() const;
};
