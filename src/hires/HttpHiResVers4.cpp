#include "hires/HttpHiResController.h"

#include "platform/AppPaths.h"
#include "platform/ConsoleLog.h"
#include "platform/FileUtil.h"

#include <pugixml.hpp>

namespace {
constexpr const char* kClass = "HttpHiResController";
constexpr const char* kMainImagesFolder = "MAIN IMAGES FOLDER \xC6\x92"; // U+0192 at the end
} // namespace

bool HttpHiResController::parseDataVers4(const std::string&, Vers4Input& input)
{
    if (!input.result || !input.myXmlDoc) {
        ConsoleLog::writef("Inside %s => %s...NO myXmlDoc Found in dictionary...", kClass,
                           "parseDataVers4:withDictionary:");
        return false;
    }
    OrderQueryResult& result = *input.result;
    OrderReply reply = OrderReply::readVers4(input.myXmlDoc->document_element());
    takeStatusAndMessage(reply, result);
    if (reply.images.empty())
        return true;
    updateLine2(stringWithFormat("Found %i Orders...", static_cast<int>(reply.images.size())));
    for (const OrderReply::Image& image : reply.images)
        fulfil(image, result, true);
    ConsoleLog::write("Done With LOOP........");
    return true;
}

std::string HttpHiResController::fileNameFallbackTryPath(const std::string& fileName)
{
    size_t cut = fileName.find(' ');
    if (cut == std::string::npos)
        cut = fileName.find("copy");
    const std::string baseName = cut == std::string::npos ? fileName : fileName.substr(0, cut);
    const std::string withoutScore = baseName.substr(0, baseName.find('_'));
    const size_t first = withoutScore.find_first_of("0123456789");
    std::string digits;
    if (first != std::string::npos) {
        const size_t last = withoutScore.find_last_of("0123456789");
        digits = withoutScore.substr(first, last - first + 1);
    }
    const std::string folder = digits.substr(0, 8);
    return (folder.empty() ? std::string() : folder + "/") + baseName + ".jpg";
}

std::vector<std::string> HttpHiResController::fileNameFallbackRoots()
{
    return {std::string("/Applications/QUON OS X Folder v14/") + kMainImagesFolder,
            FileUtil::joinPath(FileUtil::parentFolder(AppPaths::executableFolder()), kMainImagesFolder)};
}
