// quon-mkphoto: writes a sample photo carrying PhotoMetaData, for the demo
// and for trying the uploader by hand.
#include "mkphoto/PhotoWriter.h"

#include "platform/PropertyList.h"
#include "scan/PhotoMetaData.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char* const kUsage = "usage: quon-mkphoto [OPTIONS] --output FILE [KEY=VALUE ...]\n"
                           "\n"
                           "Writes a small JPEG or PNG photo with its PhotoMetaData embedded: in a JPEG\n"
                           "as the Exif user comment, in a PNG as the 2048-byte tail of the file.\n"
                           "\n"
                           "  --output FILE        the photo to write (replaced when present)\n"
                           "  --format jpeg|png    default: png for a .png name, else jpeg\n"
                           "  --plist FILE         take the metadata dictionary from a property-list file\n"
                           "  --no-metadata        write a photo without metadata (not ready for upload)\n"
                           "  --date TEXT          Exif DateTimeOriginal, \"YYYY:MM:DD HH:MM:SS\"\n"
                           "  --charset ascii|unicode|undefined\n"
                           "                       character code of the JPEG user comment (default ascii)\n"
                           "  --byte-order little|big\n"
                           "                       byte order of the Exif block (default little)\n"
                           "  --padding nul|space  what fills the PNG tail after the XML (default nul)\n"
                           "  --help               this text\n"
                           "\n"
                           "KEY=VALUE sets one entry of the metadata (after --plist, so it wins):\n"
                           "  Version=1.0                      OriginalPath=/Volumes/Station/Orig/IMG_1.jpg\n"
                           "  ZV_kioskStation=K12              ZV_muxedMovieName=IMG_1.mov\n"
                           "  ZV_emailsForUpload=a@x.org,b@y.org   (a list; repeat to add more)\n"
                           "  SittingInfoDictionary.firstname=Ann  (an entry of the sitting dictionary)\n"
                           "  ZV_quandroInfo.mobile=5551234        (an entry of the contact details)\n"
                           "Any other KEY sets a top-level text entry.\n";

int usageError(const std::string& message)
{
    std::fprintf(stderr, "quon-mkphoto: %s\n(see quon-mkphoto --help)\n", message.c_str());
    return 2;
}

PlistValue::Dictionary& subDictionary(PlistValue::Dictionary& root, const std::string& key)
{
    PlistValue& entry = root[key];
    if (!entry.isDictionary())
        entry = PlistValue::dictionary();
    return *entry.asDictionary();
}

void setEntry(PlistValue::Dictionary& root, const std::string& key, const std::string& value)
{
    const size_t dot = key.find('.');
    if (key == PhotoMetaDataKey::EmailsForUpload) {
        PlistValue& entry = root[key];
        if (!entry.isArray())
            entry = PlistValue::array();
        size_t start = 0;
        while (start <= value.size()) {
            const size_t comma = std::min(value.find(',', start), value.size());
            if (comma > start)
                entry.asArray()->push_back(PlistValue::string(value.substr(start, comma - start)));
            start = comma + 1;
        }
    } else if (dot != std::string::npos &&
               (key.compare(0, dot, PhotoMetaDataKey::SittingInfoDictionary) == 0 ||
                key.compare(0, dot, PhotoMetaDataKey::QuandroInfo) == 0)) {
        subDictionary(root, key.substr(0, dot))[key.substr(dot + 1)] = PlistValue::string(value);
    } else {
        root[key] = PlistValue::string(value);
    }
}

} // namespace

int main(int argc, char** argv)
{
    PhotoWriter::PhotoSpec recipe;
    std::string output;
    std::string format;
    std::string plistFile;
    bool noMetaData = false;
    std::vector<std::pair<std::string, std::string>> entries;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= argc)
                return false;
            into = argv[++i];
            return true;
        };
        std::string v;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--output" || arg == "-o") {
            if (!value(output))
                return usageError("--output needs a file");
        } else if (arg == "--format") {
            if (!value(format) || (format != "jpeg" && format != "jpg" && format != "png"))
                return usageError("--format is jpeg or png");
        } else if (arg == "--plist") {
            if (!value(plistFile))
                return usageError("--plist needs a file");
        } else if (arg == "--no-metadata") {
            noMetaData = true;
        } else if (arg == "--date") {
            if (!value(v))
                return usageError("--date needs \"YYYY:MM:DD HH:MM:SS\"");
            recipe.dateTimeOriginal = v;
        } else if (arg == "--charset") {
            if (!value(v) || (v != "ascii" && v != "unicode" && v != "undefined"))
                return usageError("--charset is ascii, unicode or undefined");
            recipe.charset = v == "ascii" ? PhotoWriter::CommentCharset::Ascii
                : v == "unicode"          ? PhotoWriter::CommentCharset::Unicode
                                          : PhotoWriter::CommentCharset::Undefined;
        } else if (arg == "--byte-order") {
            if (!value(v) || (v != "little" && v != "big"))
                return usageError("--byte-order is little or big");
            recipe.byteOrder = v == "big" ? PhotoWriter::ByteOrder::Big : PhotoWriter::ByteOrder::Little;
        } else if (arg == "--padding") {
            if (!value(v) || (v != "nul" && v != "space"))
                return usageError("--padding is nul or space");
            recipe.padding = v == "space" ? PhotoWriter::TailPadding::Space : PhotoWriter::TailPadding::Nul;
        } else if (arg.size() > 1 && arg[0] != '-' && arg.find('=') != std::string::npos && arg.find('=') > 0) {
            entries.emplace_back(arg.substr(0, arg.find('=')), arg.substr(arg.find('=') + 1));
        } else {
            return usageError("unknown argument: " + arg);
        }
    }
    if (output.empty())
        return usageError("no --output file given");
    if (noMetaData && (!plistFile.empty() || !entries.empty()))
        return usageError("--no-metadata cannot be combined with --plist or KEY=VALUE");

    if (format.empty()) {
        const size_t dot = output.find_last_of('.');
        std::string extension = dot == std::string::npos ? "" : output.substr(dot + 1);
        for (char& c : extension)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        format = extension == "png" ? "png" : "jpeg";
    }
    recipe.format = format == "png" ? PhotoWriter::Format::Png : PhotoWriter::Format::Jpeg;

    if (!noMetaData) {
        PlistValue metaData = PlistValue::dictionary();
        if (!plistFile.empty()) {
            std::string why;
            auto read = PropertyList::readFile(plistFile, &why);
            if (!read || !read->isDictionary())
                return usageError("cannot read a dictionary from " + plistFile + (why.empty() ? "" : ": " + why));
            metaData = *read;
        }
        for (const auto& [key, value] : entries)
            setEntry(*metaData.asDictionary(), key, value);
        recipe.metaData = metaData;
    }

    std::string error;
    if (!PhotoWriter::writePhoto(output, recipe, &error)) {
        std::fprintf(stderr, "quon-mkphoto: %s: %s\n", output.c_str(), error.c_str());
        return 1;
    }
    return 0;
}
