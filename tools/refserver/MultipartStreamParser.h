#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Reads a multipart/form-data body as it arrives, in pieces of any size, and
// hands each part's header and bytes on without holding the part in memory.
// A body may start with the first delimiter or with CR LF before it.
class MultipartStreamParser {
public:
    struct PartHeader {
        std::string name;
        std::optional<std::string> filename;
        std::string contentType;
        std::vector<std::pair<std::string, std::string>> fields; // every header line, in order
    };
    struct Handler {
        std::function<bool(const PartHeader&)> onPartBegin;
        std::function<bool(const char* data, size_t size)> onPartData;
        std::function<bool()> onPartEnd;
    };

    MultipartStreamParser(std::string boundary, Handler handler);

    // False once the body is malformed or a handler said stop; error() tells why.
    bool feed(const char* data, size_t size);
    // True when the closing delimiter was read.
    bool finish();
    const std::string& error() const { return fError; }

    // The boundary parameter of a multipart/form-data content type.
    static std::optional<std::string> boundaryOf(std::string_view contentType);

private:
    enum class State { Preamble, AfterDelimiter, Headers, Body, Epilogue, Failed };
    bool fail(std::string why);
    bool parseHeaders(std::string_view block, PartHeader& header);

    std::string fDelimiter; // CR LF "--" boundary
    Handler fHandler;
    State fState = State::Preamble;
    std::string fBuffer;
    std::string fError;
};
