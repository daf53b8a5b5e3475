#include "scan/ExifImage.h"

#include "scan/RegularFile.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

namespace {

std::mutex gXmpToolkitMutex;

void lockXmpToolkit(void*, bool lock)
{
    if (lock)
        gXmpToolkitMutex.lock();
    else
        gXmpToolkitMutex.unlock();
}

// Exiv2 maps some formats (TIFF and the raws built on it) into memory. A
// mapped file that shrinks under the reader raises a bus error, so the map is
// replaced by a copy made with ordinary reads.
class CopyingFileIo : public Exiv2::FileIo {
public:
    using Exiv2::FileIo::FileIo;

    Exiv2::byte* mmap(bool isWriteable) override
    {
        if (isWriteable)
            throw Exiv2::Error(Exiv2::kerCallFailed, path(), "writing", "the photo is opened read-only");
        const long position = tell();
        const long length = static_cast<long>(size());
        fCopy.assign(static_cast<size_t>(std::max(0L, length)), 0);
        if (length > 0 && seek(0, Exiv2::BasicIo::beg) == 0)
            read(fCopy.data(), length);
        seek(position, Exiv2::BasicIo::beg);
        return fCopy.data();
    }
    int munmap() override
    {
        std::vector<Exiv2::byte>().swap(fCopy);
        return 0;
    }

private:
    std::vector<Exiv2::byte> fCopy;
};

} // namespace

void ExifImage::prepareLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] {
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        try {
            Exiv2::XmpParser::initialize(lockXmpToolkit, nullptr);
        } catch (...) {
            // Without the toolkit only XMP goes unread; Exif is unaffected.
        }
    });
}

ExifImage::ExifImage(const std::string& path)
{
    RegularFile file = RegularFile::open(path);
    file.holdWhole(kReadWholeUpTo);
    read(file, path);
}

ExifImage::ExifImage(const RegularFile& file, const std::string& path) { read(file, path); }

void ExifImage::read(const RegularFile& file, const std::string& path)

{
    prepareLibrary();
    if (!file.isOpen()) {
        fError = file.error();
        return;
    }
    fStatus = Status::NotAnImage;
    if (file.fileSize() == 0) {
        fError = "empty file";
        return;
    }
    if (file.fileSize() > static_cast<uint64_t>(std::numeric_limits<long>::max())) {
        fError = "file too large";
        return;
    }
    try {
        // A photo held in memory costs no more reads: the library parses the
        // same bytes it would have read with its own opens, seeks and reads.
        Exiv2::BasicIo::AutoPtr io;
        if (const std::string_view held = file.held(); !held.empty())
            io.reset(
                new Exiv2::MemIo(reinterpret_cast<const Exiv2::byte*>(held.data()), static_cast<long>(held.size())));
        else // larger, or shrinking while it was read: as the library reads it
            io.reset(new CopyingFileIo(path));
        auto image = Exiv2::ImageFactory::open(io);
        if (!image.get()) {
            fError = "unknown image format";
            return;
        }
        image->readMetadata();
        fExifData = image->exifData();
        fBigEndian = image->byteOrder() == Exiv2::bigEndian;
        fMimeType = image->mimeType();
        fStatus = Status::Read;
    } catch (const std::exception& e) {
        fError = e.what();
        fExifData.clear();
    } catch (...) {
        fError = "unknown error";
        fExifData.clear();
    }
}

std::optional<std::string> ExifImage::rawValue(const std::string& key) const
{
    try {
        const auto it = fExifData.findKey(Exiv2::ExifKey(key));
        if (it == fExifData.end())
            return std::nullopt;
        const Exiv2::Value& value = it->value();
        const long size = value.size();
        std::string bytes(size > 0 ? static_cast<size_t>(size) : 0, '\0');
        // With no byte order given a comment is copied as stored, unconverted.
        if (!bytes.empty())
            bytes.resize(static_cast<size_t>(
                std::max(0L, value.copy(reinterpret_cast<Exiv2::byte*>(bytes.data()), Exiv2::invalidByteOrder))));
        return bytes;
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<std::string> ExifImage::textValue(const std::string& key) const
{
    try {
        const auto it = fExifData.findKey(Exiv2::ExifKey(key));
        if (it == fExifData.end())
            return std::nullopt;
        return it->toString();
    } catch (...) {
        return std::nullopt;
    }
}
