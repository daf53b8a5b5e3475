// A photo's file name in the multipart body: whatever its bytes, a server
// reading the body finds the same parts, and the file part's filename
// parameter is the escaped name, whole, with no header line of its own.
#include "MultipartStreamParser.h"
#include "upload/MultipartBody.h"

#include <string>
#include <string_view>
#include <vector>

namespace {

// Undoes the three escapes; only meaningful for a name without '%' of its own.
std::string unescaped(std::string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const std::string_view rest = text.substr(i, 3);
        if (rest == "%22" || rest == "%0D" || rest == "%0A") {
            out += rest == "%22" ? '"' : rest == "%0D" ? '\r' : '\n';
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The reading server takes header blocks up to 16 KiB; a file name is far shorter.
    if (size > 4096)
        return 0;
    const std::string_view name(reinterpret_cast<const char*>(data), size);
    const std::string escaped = MultipartBody::escapedFileName(name);
    if (escaped.find_first_of("\"\r\n") != std::string::npos)
        __builtin_trap();
    if (name.find('%') == std::string_view::npos && unescaped(escaped) != name)
        __builtin_trap();

    MultipartBody body;
    body.addField("client", "Smith");
    body.addFilePartHeader("imgfile", name, "image/jpeg");
    body.addField("Submit", "Upload");
    body.close();
    std::string bytes(body.size(), '\0');
    size_t done = 0;
    while (size_t n = body.read(bytes.data() + done, bytes.size() - done))
        done += n;
    if (done != bytes.size() || body.readFailed())
        __builtin_trap();

    std::vector<MultipartStreamParser::PartHeader> parts;
    std::vector<std::string> contents;
    MultipartStreamParser parser(MultipartBody::kBoundary,
                                 {[&](const MultipartStreamParser::PartHeader& header) {
                                      parts.push_back(header);
                                      contents.emplace_back();
                                      return true;
                                  },
                                  [&](const char* part, size_t length) {
                                      contents.back().append(part, length);
                                      return true;
                                  },
                                  [] { return true; }});
    if (!parser.feed(bytes.data(), bytes.size()) || !parser.finish())
        __builtin_trap();
    if (parts.size() != 3 || parts[0].name != "client" || contents[0] != "Smith" || parts[1].name != "imgfile" ||
        parts[1].filename != escaped || parts[1].contentType != "image/jpeg" || parts[1].fields.size() != 2 ||
        !contents[1].empty() || parts[2].name != "Submit" || contents[2] != "Upload")
        __builtin_trap();
    return 0;
}
