#include "scan/UserCommentText.h"

#include <cstdint>

namespace {

constexpr size_t kPrefixLength = 8;

void appendCodePoint(std::string& out, uint32_t cp)
{
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Decodes one well-formed UTF-8 sequence at text[i]; the caller has validated it.
uint32_t nextCodePoint(std::string_view text, size_t& i)
{
    const auto c = static_cast<unsigned char>(text[i]);
    size_t length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    uint32_t cp = length == 1 ? c : length == 2 ? (c & 0x1F) : length == 3 ? (c & 0x0F) : (c & 0x07);
    for (size_t k = 1; k < length; ++k)
        cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    i += length;
    return cp;
}

std::string singleByteText(std::string_view body)
{
    body = body.substr(0, body.find('\0'));
    if (UserCommentText::isValidUtf8(body))
        return std::string(body);
    std::string out;
    out.reserve(body.size() * 2);
    for (const char c : body)
        appendCodePoint(out, static_cast<unsigned char>(c));
    return out;
}

std::optional<std::string> utf16Text(std::string_view body, bool bigEndian)
{
    const size_t units = body.size() / 2;
    auto unit = [&](size_t k) -> uint32_t {
        const auto a = static_cast<unsigned char>(body[2 * k]);
        const auto b = static_cast<unsigned char>(body[2 * k + 1]);
        return bigEndian ? (a << 8) | b : (b << 8) | a;
    };
    size_t k = 0;
    if (units > 0 && (unit(0) == 0xFEFF || unit(0) == 0xFFFE)) {
        if (unit(0) == 0xFFFE)
            bigEndian = !bigEndian;
        k = 1;
    }
    std::string out;
    out.reserve(body.size());
    for (; k < units; ++k) {
        uint32_t u = unit(k);
        if (u == 0)
            break;
        if (u >= 0xDC00 && u <= 0xDFFF)
            return std::nullopt;
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (k + 1 >= units)
                return std::nullopt;
            const uint32_t low = unit(k + 1);
            if (low < 0xDC00 || low > 0xDFFF)
                return std::nullopt;
            u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
            ++k;
        }
        appendCodePoint(out, u);
    }
    return out;
}

} // namespace

namespace UserCommentText {

Charset charsetOf(std::string_view stored)
{
    if (stored.size() < kPrefixLength)
        return Charset::Unknown;
    const std::string_view prefix = stored.substr(0, kPrefixLength);
    if (prefix == std::string_view("ASCII\0\0\0", kPrefixLength))
        return Charset::Ascii;
    if (prefix == std::string_view("UNICODE\0", kPrefixLength))
        return Charset::Unicode;
    if (prefix == std::string_view("JIS\0\0\0\0\0", kPrefixLength))
        return Charset::Jis;
    if (prefix == std::string_view("\0\0\0\0\0\0\0\0", kPrefixLength))
        return Charset::Undefined;
    return Charset::Unknown;
}

std::optional<std::string> decode(std::string_view stored, bool bigEndian)
{
    const Charset charset = charsetOf(stored);
    if (charset == Charset::Jis || charset == Charset::Unknown)
        return std::nullopt;
    const std::string_view body = stored.substr(kPrefixLength);
    if (charset == Charset::Unicode)
        return utf16Text(body, bigEndian);
    return singleByteText(body);
}

std::string encode(std::string_view utf8, Charset charset, bool bigEndian)
{
    std::string out;
    switch (charset) {
        case Charset::Ascii:
            out.assign("ASCII\0\0\0", kPrefixLength);
            out.append(utf8);
            return out;
        case Charset::Unicode: break;
        default:
            out.assign(kPrefixLength, '\0');
            out.append(utf8);
            return out;
    }
    out.assign("UNICODE\0", kPrefixLength);
    auto putUnit = [&](uint32_t u) {
        const char high = static_cast<char>(u >> 8);
        const char low = static_cast<char>(u & 0xFF);
        out.push_back(bigEndian ? high : low);
        out.push_back(bigEndian ? low : high);
    };
    // Text that is not UTF-8 is taken as ISO 8859-1, as the reader does.
    const bool utf8Input = isValidUtf8(utf8);
    for (size_t i = 0; i < utf8.size();) {
        uint32_t cp = static_cast<unsigned char>(utf8[i]);
        if (utf8Input)
            cp = nextCodePoint(utf8, i);
        else
            ++i;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            putUnit(0xD800 + (cp >> 10));
            putUnit(0xDC00 + (cp & 0x3FF));
        } else {
            putUnit(cp);
        }
    }
    return out;
}

void appendUtf8(std::string& out, char32_t codePoint)
{
    appendCodePoint(out, codePoint > 0x10FFFF ? 0xFFFD : static_cast<uint32_t>(codePoint));
}

bool isValidUtf8(std::string_view bytes)
{
    size_t i = 0;
    const size_t n = bytes.size();
    while (i < n) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t length = 0;
        uint32_t cp = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (n - i < length)
            return false;
        for (size_t k = 1; k < length; ++k) {
            const auto d = static_cast<unsigned char>(bytes[i + k]);
            if ((d & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        if (length == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF)))
            return false;
        if (length == 4 && (cp < 0x10000 || cp > 0x10FFFF))
            return false;
        i += length;
    }
    return true;
}

} // namespace UserCommentText
