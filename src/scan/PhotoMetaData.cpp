#include "scan/PhotoMetaData.h"

#include "platform/ConsoleLog.h"
#include "platform/MacRoman.h"
#include "platform/PropertyList.h"
#include "platform/TextUtil.h"
#include "scan/ExifImage.h"
#include "scan/ExifProbe.h"
#include "scan/RegularFile.h"
#include "scan/UserCommentText.h"

#include <cctype>
#include <cstdint>
#include <string_view>

namespace {

// Percent escapes replaced by the Mac OS Roman characters they stand for;
// nothing when an escape is malformed.
std::optional<std::string> percentDecodedMacRoman(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size())
            return std::nullopt;
        const int high = TextUtil::hexDigitValue(text[i + 1]);
        const int low = TextUtil::hexDigitValue(text[i + 2]);
        if (high < 0 || low < 0)
            return std::nullopt;
        const auto byte = static_cast<unsigned>(high * 16 + low);
        UserCommentText::appendUtf8(out, MacRoman::codePointForHighByte(static_cast<unsigned char>(byte)));
        i += 2;
    }
    return out;
}

std::string textOf(const PlistValue* value)
{
    if (!value)
        return "(null)";
    if (const std::string* s = value->asString())
        return *s;
    return value->describe();
}

void logVersionAndPath(const PlistValue& dictionary)
{
    const PlistValue* version = dictionary.find(PhotoMetaDataKey::Version);
    if (!version) {
        ConsoleLog::writef("Dictionary does NOT include versionString");
        ConsoleLog::writef("Dictionary does NOT include pathString");
        return;
    }
    ConsoleLog::writef("Found versionString = [%s]", textOf(version).c_str());
    const PlistValue* path = dictionary.find(PhotoMetaDataKey::OriginalPath);
    ConsoleLog::writef("Found pathString = [%s]", textOf(path).c_str());
    std::optional<std::string> decoded;
    if (path && path->asString())
        decoded = percentDecodedMacRoman(*path->asString());
    ConsoleLog::writef("Found pathString = [%s]", decoded ? decoded->c_str() : "(null)");
}

// The block's XML property list, when it is one and its root is a dictionary.
std::optional<PlistValue> parseMetaDataXml(std::string_view text)
{
    // The block is XML by definition; a binary list here is foreign data.
    if (text.substr(0, 6) == "bplist")
        return std::nullopt;
    auto value = PropertyList::parse(text);
    if (!value || !value->isDictionary())
        return std::nullopt;
    return value;
}

bool hasPngExtension(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    const std::string_view name = std::string_view(path).substr(slash == std::string::npos ? 0 : slash + 1);
    const size_t dot = name.find_last_of('.');
    if (dot == std::string_view::npos || dot == 0)
        return false;
    const std::string_view extension = name.substr(dot + 1);
    return extension.size() == 3 && std::tolower(static_cast<unsigned char>(extension[0])) == 'p' &&
        std::tolower(static_cast<unsigned char>(extension[1])) == 'n' &&
        std::tolower(static_cast<unsigned char>(extension[2])) == 'g';
}

} // namespace

std::optional<PlistValue> getQuonMetaDataFromPng(const std::string& path)
{
    try {
        if (!hasPngExtension(path)) {
            ConsoleLog::writef("getQuonMetaDataFromPng found that [%s] is NOT a png file...", path.c_str());
            return std::nullopt;
        }
        const RegularFile file = RegularFile::open(path);
        if (!file.isOpen()) {
            ConsoleLog::writef("getQuonMetaDataFromPng cannot open filename: [%s]", path.c_str());
            return std::nullopt;
        }
        ConsoleLog::writef("getQuonMetaDataFromPng => File Length = [%llu]",
                           static_cast<unsigned long long>(file.fileSize()));
        if (file.fileSize() <= kQuonPngMetaDataLength) {
            ConsoleLog::writef(
                "getQuonMetaDataFromPng => File Length is smaller than kQuonPngMetaDataLength = [%i]?????",
                static_cast<int>(kQuonPngMetaDataLength));
            return std::nullopt;
        }
        const std::string text = file.readTail(kQuonPngMetaDataLength);
        if (text.size() != kQuonPngMetaDataLength) {
            // The file shrank since it was opened: it is being rewritten.
            ConsoleLog::writef("getQuonMetaDataFromPng => CANNOT create userdata to plistObj???");
            return std::nullopt;
        }
        if (!UserCommentText::isValidUtf8(text)) {
            ConsoleLog::writef("getQuonMetaDataFromPng => CANNOT create userdata to plistObj???");
            return std::nullopt;
        }
        ConsoleLog::writef("quonMetaData as NSString is:\n%s", text.c_str());
        auto dictionary = parseMetaDataXml(text);
        if (!dictionary) {
            ConsoleLog::writef("getQuonMetaDataFromPng => CANNOT create userdata to plistObj???");
            return std::nullopt;
        }
        logVersionAndPath(*dictionary);
        return dictionary;
    } catch (...) {
        // Only memory exhaustion can get here; the photo then has no block.
        return std::nullopt;
    }
}

std::optional<PlistValue> getQuonMetaDataFromJpeg(const std::string& path)
{
    try {
        return getQuonMetaDataFromJpeg(ExifImage(path), path);
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<PlistValue> getQuonMetaDataFromJpeg(const ExifImage& image, const std::string& path)
{
    try {
        if (image.status() == ExifImage::Status::CannotOpen) {
            ConsoleLog::writef("getQuonMetaDataFromJpeg cannot open filename: [%s]", path.c_str());
            return std::nullopt;
        }
        if (image.status() != ExifImage::Status::Read || image.exifData().empty()) {
            ConsoleLog::writef("getQuonMetaDataFromJpeg => could NOT Find EXIF Data jpgFile = [%s]", path.c_str());
            return std::nullopt;
        }
        const auto stored = image.rawValue("Exif.Photo.UserComment");
        // Shorter than its character-code prefix: no comment text at all.
        if (!stored || stored->size() < 8) {
            ConsoleLog::writef("getQuonMetaDataFromJpeg => could FIND userComment in EXIF Data = [%s]", path.c_str());
            return std::nullopt;
        }
        const auto text = UserCommentText::decode(*stored, image.isBigEndian());
        if (!text) {
            ConsoleLog::writef(
                "getQuonMetaDataFromJpeg => could NOT convert userComment to NSData with NSUTF8StringEncoding?????");
            return std::nullopt;
        }
        auto dictionary = parseMetaDataXml(*text);
        if (!dictionary) {
            ConsoleLog::writef("getQuonMetaDataFromJpeg => CANNOT create userdata to plistObj???");
            return std::nullopt;
        }
        ConsoleLog::writef("getQuonMetaDataFromJpeg => PhotoMetaData = %s", dictionary->describe().c_str());
        if (const PlistValue* emails = dictionary->find(PhotoMetaDataKey::EmailsForUpload))
            ConsoleLog::writef("Found EmailArray = [%s]", emails->describe().c_str());
        else
            ConsoleLog::writef("Dictionary does NOT include ZV_emailsForUpload");
        logVersionAndPath(*dictionary);
        return dictionary;
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<PlistValue> getQuonMetaDataFromJpeg(const std::string& path, const RegularFile& opened)
{
    ExifProbe::Answer answer = ExifProbe::Answer::AskTheLibrary;
    try {
        answer = ExifProbe::jpegUserComment(opened);
    } catch (...) {
    }
    switch (answer) {
        case ExifProbe::Answer::NoExif:
            ConsoleLog::writef("getQuonMetaDataFromJpeg => could NOT Find EXIF Data jpgFile = [%s]", path.c_str());
            return std::nullopt;
        case ExifProbe::Answer::NoUserComment:
            ConsoleLog::writef("getQuonMetaDataFromJpeg => could FIND userComment in EXIF Data = [%s]", path.c_str());
            return std::nullopt;
        case ExifProbe::Answer::AskTheLibrary: break;
    }
    return getQuonMetaDataFromJpeg(path);
}
