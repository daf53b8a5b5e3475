#include "MultipartStreamParser.h"

#include <algorithm>
#include <cctype>
#include <strings.h>

namespace {

constexpr size_t kLongestHeaderBlock = 16 * 1024;

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The parameters of a header value: "form-data; name="a"; filename="b;c"".
std::vector<std::pair<std::string, std::string>> parameters(std::string_view value)
{
    std::vector<std::pair<std::string, std::string>> out;
    size_t pos = value.find(';');
    while (pos != std::string_view::npos && pos < value.size()) {
        ++pos;
        const size_t eq = value.find('=', pos);
        if (eq == std::string_view::npos)
            break;
        const std::string key(trim(value.substr(pos, eq - pos)));
        size_t cursor = eq + 1;
        while (cursor < value.size() && value[cursor] == ' ')
            ++cursor;
        std::string parsed;
        if (cursor < value.size() && value[cursor] == '"') {
            // Quoted: taken as written up to the closing quote.
            const size_t close = value.find('"', cursor + 1);
            parsed = std::string(value.substr(
                cursor + 1, close == std::string_view::npos ? std::string_view::npos : close - cursor - 1));
            pos = close == std::string_view::npos ? close : value.find(';', close);
        } else {
            const size_t semi = value.find(';', cursor);
            parsed = std::string(
                trim(value.substr(cursor, semi == std::string_view::npos ? std::string_view::npos : semi - cursor)));
            pos = semi;
        }
        out.emplace_back(key, parsed);
    }
    return out;
}

} // namespace

MultipartStreamParser::MultipartStreamParser(std::string boundary, Handler handler)
    : fDelimiter("\r\n--" + boundary), fHandler(std::move(handler)), fBuffer("\r\n")
{
    // The leading CR LF lets a body that opens with "--boundary" match the delimiter.
}

std::optional<std::string> MultipartStreamParser::boundaryOf(std::string_view contentType)
{
    const size_t semi = contentType.find(';');
    if (!equalsIgnoringCase(trim(contentType.substr(0, semi)), "multipart/form-data"))
        return std::nullopt;
    for (const auto& [key, value] : parameters(contentType))
        if (equalsIgnoringCase(key, "boundary") && !value.empty())
            return value;
    return std::nullopt;
}

bool MultipartStreamParser::fail(std::string why)
{
    fState = State::Failed;
    fError = std::move(why);
    fBuffer.clear();
    return false;
}

bool MultipartStreamParser::parseHeaders(std::string_view block, PartHeader& header)
{
    while (!block.empty()) {
        const size_t end = block.find("\r\n");
        const std::string_view line = block.substr(0, end);
        block = end == std::string_view::npos ? std::string_view() : block.substr(end + 2);
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            return fail("a part header line without a colon");
        const std::string_view name = trim(line.substr(0, colon));
        const std::string_view value = trim(line.substr(colon + 1));
        header.fields.emplace_back(std::string(name), std::string(value));
        if (equalsIgnoringCase(name, "Content-Disposition")) {
            if (!equalsIgnoringCase(trim(value.substr(0, value.find(';'))), "form-data"))
                return fail("a part that is not form-data");
            for (const auto& [key, v] : parameters(value)) {
                if (equalsIgnoringCase(key, "name"))
                    header.name = v;
                else if (equalsIgnoringCase(key, "filename"))
                    header.filename = v;
            }
        } else if (equalsIgnoringCase(name, "Content-Type")) {
            header.contentType = std::string(value);
        }
    }
    return true;
}

bool MultipartStreamParser::feed(const char* data, size_t size)
{
    if (fState == State::Failed)
        return false;
    if (fState == State::Epilogue)
        return true;
    fBuffer.append(data, size);
    for (;;) {
        switch (fState) {
            case State::Preamble: {
                const size_t at = fBuffer.find(fDelimiter);
                if (at == std::string::npos) {
                    if (fBuffer.size() >= fDelimiter.size())
                        fBuffer.erase(0, fBuffer.size() - fDelimiter.size() + 1);
                    return true;
                }
                fBuffer.erase(0, at + fDelimiter.size());
                fState = State::AfterDelimiter;
                break;
            }
            case State::AfterDelimiter: {
                if (fBuffer.size() < 2)
                    return true;
                if (fBuffer.compare(0, 2, "--") == 0) {
                    fState = State::Epilogue;
                    fBuffer.clear();
                    return true;
                }
                const size_t eol = fBuffer.find("\r\n");
                if (eol == std::string::npos)
                    return fBuffer.size() > 256 ? fail("no line break after a delimiter") : true;
                if (!trim(std::string_view(fBuffer).substr(0, eol)).empty())
                    return fail("text after a delimiter");
                fBuffer.erase(0, eol + 2);
                fState = State::Headers;
                break;
            }
            case State::Headers: {
                size_t end = 0;
                std::string_view block;
                if (fBuffer.compare(0, 2, "\r\n") == 0) {
                    end = 2; // a part without header lines
                } else {
                    const size_t blank = fBuffer.find("\r\n\r\n");
                    if (blank == std::string::npos)
                        return fBuffer.size() > kLongestHeaderBlock ? fail("part headers too long") : true;
                    block = std::string_view(fBuffer).substr(0, blank);
                    end = blank + 4;
                }
                if (fBuffer.size() < end)
                    return true;
                PartHeader header;
                if (!parseHeaders(block, header))
                    return false;
                fBuffer.erase(0, end);
                if (fHandler.onPartBegin && !fHandler.onPartBegin(header))
                    return fail("the receiver refused a part");
                fState = State::Body;
                break;
            }
            case State::Body: {
                const size_t at = fBuffer.find(fDelimiter);
                if (at == std::string::npos) {
                    // Keep what could be the start of a delimiter split across pieces.
                    if (fBuffer.size() >= fDelimiter.size()) {
                        const size_t safe = fBuffer.size() - fDelimiter.size() + 1;
                        if (fHandler.onPartData && !fHandler.onPartData(fBuffer.data(), safe))
                            return fail("the receiver refused the data");
                        fBuffer.erase(0, safe);
                    }
                    return true;
                }
                if (at > 0 && fHandler.onPartData && !fHandler.onPartData(fBuffer.data(), at))
                    return fail("the receiver refused the data");
                if (fHandler.onPartEnd && !fHandler.onPartEnd())
                    return fail("the receiver refused a part");
                fBuffer.erase(0, at + fDelimiter.size());
                fState = State::AfterDelimiter;
                break;
            }
            case State::Epilogue: fBuffer.clear(); return true;
            case State::Failed: return false;
        }
    }
}

bool MultipartStreamParser::finish()
{
    if (fState == State::Failed)
        return false;
    if (fState != State::Epilogue)
        return fail("the body ended before its closing delimiter");
    return true;
}
