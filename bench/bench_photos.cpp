// Writes a set of sample photos for the end-to-end benchmarks in one go:
// COUNT JPEGs of about BYTES each in DIR, named PREFIX_NNNN.jpg, each with its
// own metadata (or none, for photos that are not ready). The size comes from
// incompressible scan data, as in a real camera JPEG; the metadata sits in the
// Exif user comment ahead of it, where the station looks for it.
#include "mkphoto/PhotoWriter.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

namespace {

int usage()
{
    std::fprintf(stderr,
                 "usage: bench_photos --dir DIR --count N [--bytes B] [--prefix P] [--first K] [--no-metadata]\n");
    return 2;
}

// Scan data never holds 0xFF: no byte pair inside it can read as a marker.
std::string scanData(size_t size, std::mt19937_64& random)
{
    std::string data(size, '\0');
    for (size_t i = 0; i < size; i += 8) {
        const uint64_t word = random();
        for (size_t k = 0; k < 8 && i + k < size; ++k) {
            const auto byte = static_cast<unsigned char>(word >> (8 * k));
            data[i + k] = static_cast<char>(byte == 0xFF ? 0xFE : byte);
        }
    }
    return data;
}

} // namespace

int main(int argc, char** argv)
{
    std::string dir, prefix = "IMG";
    long count = 0, bytes = 0, first = 1;
    bool metadata = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--dir" && hasValue)
            dir = argv[++i];
        else if (arg == "--count" && hasValue)
            count = std::atol(argv[++i]);
        else if (arg == "--bytes" && hasValue)
            bytes = std::atol(argv[++i]);
        else if (arg == "--prefix" && hasValue)
            prefix = argv[++i];
        else if (arg == "--first" && hasValue)
            first = std::atol(argv[++i]);
        else if (arg == "--no-metadata")
            metadata = false;
        else
            return usage();
    }
    if (dir.empty() || count <= 0 || bytes < 0)
        return usage();
    std::filesystem::create_directories(dir);

    std::mt19937_64 random(42);
    const std::string client = std::filesystem::path(dir).filename().string();
    for (long n = first; n < first + count; ++n) {
        char name[64];
        std::snprintf(name, sizeof name, "%s_%04ld.jpg", prefix.c_str(), n);
        PhotoWriter::PhotoSpec recipe;
        recipe.dateTimeOriginal = "2026:12:06 10:00:00";
        if (metadata) {
            recipe.metaData = PlistValue::dictionary({
                {"Version", PlistValue::string("1.0")},
                {"OriginalPath", PlistValue::string("/Volumes/Station/Originals/" + std::string(name))},
                {"ZV_kioskStation", PlistValue::string("K-07")},
                {"ZV_emailsForUpload", PlistValue::array({PlistValue::string("family@example.org")})},
                {"SittingInfoDictionary",
                 PlistValue::dictionary({{"sittingid", PlistValue::string("S-" + std::to_string(n))},
                                         {"firstname", PlistValue::string(client)},
                                         {"lastname", PlistValue::string("Bench")}})},
            });
        }
        const std::string path = dir + "/" + name;
        std::string error;
        if (!PhotoWriter::writePhoto(path, recipe, &error)) {
            std::fprintf(stderr, "bench_photos: %s: %s\n", path.c_str(), error.c_str());
            return 1;
        }
        std::string photo;
        {
            std::ifstream in(path, std::ios::binary);
            photo.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        // Grow the photo to its size inside its scan data, just before the closing marker.
        if (static_cast<long>(photo.size()) < bytes && photo.size() >= 2 &&
            photo.compare(photo.size() - 2, 2, "\xFF\xD9") == 0) {
            photo.insert(photo.size() - 2, scanData(static_cast<size_t>(bytes) - photo.size(), random));
            std::ofstream out(path, std::ios::binary | std::ios::trunc);
            out.write(photo.data(), static_cast<std::streamsize>(photo.size()));
            if (!out) {
                std::fprintf(stderr, "bench_photos: cannot write %s\n", path.c_str());
                return 1;
            }
        }
    }
    return 0;
}
