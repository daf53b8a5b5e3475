#pragma once

#include <string>
#include <utility>
#include <vector>

// The status line and header fields of a reply that arrived.
struct HttpResponse {
    long statusCode = 0;
    std::vector<std::pair<std::string, std::string>> headerFields;
};
