// How long the scan spends reading a photo's embedded metadata: per JPEG, per
// PNG, and per photo that is not ready yet (no metadata, both readers tried).
#include "mkphoto/PhotoWriter.h"
#include "scan/PhotoDates.h"
#include "scan/PhotoMetaData.h"
#include "scan/ReadinessCheck.h"
#include "scan/RegularFile.h"
#include "scan/SettleTracker.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

std::string gFolder;

std::string photoPath(const char* name) { return gFolder + "/" + name; }

PlistValue sampleMetaData()
{
    using D = PlistValue::Dictionary;
    return PlistValue::dictionary(D{
        {"Version", PlistValue::string("2.1")},
        {"OriginalPath", PlistValue::string("/Volumes/Station/Originals/2010-09-12/IMG_0042.JPG")},
        {"ZV_emailsForUpload", PlistValue::array({PlistValue::string("zoe@example.org")})},
        {"ZV_kioskStation", PlistValue::string("K-07")},
        {"SittingInfoDictionary",
         PlistValue::dictionary(
             D{{"firstname", PlistValue::string("Zoe")}, {"sittingid", PlistValue::string("S-1001")}})},
    });
}

bool makePhotos()
{
    PhotoWriter::PhotoSpec jpeg;
    jpeg.metaData = sampleMetaData();
    jpeg.dateTimeOriginal = "2010:09:12 14:33:10";
    PhotoWriter::PhotoSpec unicode = jpeg;
    unicode.charset = PhotoWriter::CommentCharset::Unicode;
    PhotoWriter::PhotoSpec png;
    png.format = PhotoWriter::Format::Png;
    png.metaData = sampleMetaData();
    PhotoWriter::PhotoSpec notReady;
    // As the backlog of scripts/bench: Exif with a date, no user comment.
    PhotoWriter::PhotoSpec notReadyDated;
    notReadyDated.dateTimeOriginal = "2026:12:06 10:00:00";
    PhotoWriter::PhotoSpec notReadyPng = png;
    notReadyPng.metaData.reset();
    bool ok = PhotoWriter::writePhoto(photoPath("photo.jpg"), jpeg) &&
        PhotoWriter::writePhoto(photoPath("unicode.jpg"), unicode) &&
        PhotoWriter::writePhoto(photoPath("photo.png"), png) &&
        PhotoWriter::writePhoto(photoPath("not-ready.jpg"), notReady) &&
        PhotoWriter::writePhoto(photoPath("not-ready-dated.jpg"), notReadyDated) &&
        PhotoWriter::writePhoto(photoPath("not-ready.png"), notReadyPng);
    // A camera-sized JPEG: 12 MB of image data behind the same Exif block.
    std::ifstream in(photoPath("photo.jpg"), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    bytes.insert(bytes.size() - 2, std::string(12 * 1024 * 1024, '\x55'));
    std::ofstream(photoPath("large.jpg"), std::ios::binary) << bytes;
    // And a PNG of the same size with its tail.
    std::ifstream pngIn(photoPath("photo.png"), std::ios::binary);
    std::string pngBytes((std::istreambuf_iterator<char>(pngIn)), std::istreambuf_iterator<char>());
    pngBytes.insert(pngBytes.size() - kQuonPngMetaDataLength, std::string(12 * 1024 * 1024, '\x55'));
    std::ofstream(photoPath("large.png"), std::ios::binary) << pngBytes;
    return ok;
}

void readJpeg(benchmark::State& state, const char* name)
{
    const std::string path = photoPath(name);
    for (auto _ : state)
        benchmark::DoNotOptimize(getQuonMetaDataFromJpeg(path));
}

void readPng(benchmark::State& state, const char* name)
{
    const std::string path = photoPath(name);
    for (auto _ : state)
        benchmark::DoNotOptimize(getQuonMetaDataFromPng(path));
}

// The scan's order: the PNG form first, then the JPEG form.
void readNotReady(benchmark::State& state, const char* name)
{
    const std::string path = photoPath(name);
    for (auto _ : state) {
        auto metaData = getQuonMetaDataFromPng(path);
        if (!metaData)
            metaData = getQuonMetaDataFromJpeg(path);
        benchmark::DoNotOptimize(metaData);
    }
}

// What the scan's first look at a waiting photo costs: the readiness check
// without the verdict cache (both readers, the completeness check).
void firstLook(benchmark::State& state, const char* name)
{
    const std::string path = photoPath(name);
    SettleTracker tracker;
    ReadinessCheck readiness(tracker, {});
    for (auto _ : state)
        benchmark::DoNotOptimize(readiness.check(std::string("Client/") + name, path, false));
}

// The JPEG form read from a file the scan has open (quick look first).
void readJpegOpened(benchmark::State& state, const char* name)
{
    const std::string path = photoPath(name);
    for (auto _ : state) {
        const RegularFile file = RegularFile::open(path);
        benchmark::DoNotOptimize(getQuonMetaDataFromJpeg(path, file));
    }
}

void readCaptureDate(benchmark::State& state, const char* name)
{
    const std::string path = photoPath(name);
    for (auto _ : state)
        benchmark::DoNotOptimize(GetAndUpdateFileCreationDate(path, true, false));
}

} // namespace

BENCHMARK_CAPTURE(readJpeg, ascii_comment, "photo.jpg");
BENCHMARK_CAPTURE(readJpeg, unicode_comment, "unicode.jpg");
BENCHMARK_CAPTURE(readJpeg, ascii_comment_12MB, "large.jpg");
BENCHMARK_CAPTURE(readPng, tail, "photo.png");
BENCHMARK_CAPTURE(readPng, tail_12MB, "large.png");
BENCHMARK_CAPTURE(readNotReady, jpeg, "not-ready.jpg");
BENCHMARK_CAPTURE(readNotReady, png, "not-ready.png");
BENCHMARK_CAPTURE(readNotReady, jpeg_dated, "not-ready-dated.jpg");
BENCHMARK_CAPTURE(readJpegOpened, not_ready_dated, "not-ready-dated.jpg");
BENCHMARK_CAPTURE(firstLook, not_ready_dated, "not-ready-dated.jpg");
BENCHMARK_CAPTURE(readCaptureDate, jpeg, "photo.jpg");

int main(int argc, char** argv)
{
    char folder[] = "/tmp/quon-metadata-bench-XXXXXX";
    if (!::mkdtemp(folder))
        return 1;
    gFolder = folder;
    if (!makePhotos()) {
        std::fprintf(stderr, "metadata_bench: cannot write the sample photos in %s\n", folder);
        return 1;
    }
    // The readers log every step, as in the uploader; here the lines go nowhere
    // so the terminal does not set the pace.
    const int savedStderr = ::dup(STDERR_FILENO);
    const int devNull = ::open("/dev/null", O_WRONLY);
    ::dup2(devNull, STDERR_FILENO);

    ::benchmark::Initialize(&argc, argv);
    ::benchmark::RunSpecifiedBenchmarks();
    ::benchmark::Shutdown();

    ::dup2(savedStderr, STDERR_FILENO);
    std::error_code ignored;
    std::filesystem::remove_all(gFolder, ignored);
    return 0;
}
