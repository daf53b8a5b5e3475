// What the acceptance journal costs a photo: its two lines (the answer, then
// "filed"), flushed to the disk in batches as the station does, against a
// flush after every line and against no flush at all. Run in the folder
// given as the first argument (default: the system's temporary folder), so
// the figure is that of the disk the state folder lies on.
#include "filing/AcceptanceJournal.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

std::string gFolder;
std::string gPhoto;

void recordPhotos(benchmark::State& state, int flushLines, std::chrono::milliseconds interval)
{
    AcceptanceJournal journal;
    const std::string path = gFolder + "/journal-" + std::to_string(flushLines) + ".txt";
    std::filesystem::remove(path);
    if (!journal.open(path)) {
        state.SkipWithError("cannot open the journal");
        return;
    }
    journal.setFlushPolicy(flushLines, interval);
    AcceptanceJournal::Record r;
    r.sourceRoot = gFolder;
    r.item = "photo.jpg";
    r.destRoot = gFolder + "/Mirror";
    AcceptanceJournal::identify(gPhoto, r.size, r.modifiedNs);
    for (auto _ : state) {
        journal.recordAcceptance(r);
        journal.recordFiled(r);
    }
    journal.close();
    state.counters["flushes/photo"] =
        benchmark::Counter(static_cast<double>(journal.counters().flushes) / static_cast<double>(state.iterations()));
    std::filesystem::remove(path);
}

void BM_JournalBatched(benchmark::State& state) { recordPhotos(state, 32, std::chrono::milliseconds(1000)); }
void BM_JournalFlushEveryLine(benchmark::State& state) { recordPhotos(state, 1, std::chrono::milliseconds(0)); }
void BM_JournalNeverFlushed(benchmark::State& state) { recordPhotos(state, 1 << 30, std::chrono::hours(24)); }

BENCHMARK(BM_JournalBatched)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_JournalFlushEveryLine)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_JournalNeverFlushed)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    const std::string base = argc > 1 ? argv[1] : std::filesystem::temp_directory_path().string();
    gFolder = base + "/quon-journal-bench-" + std::to_string(::getpid());
    std::filesystem::create_directories(gFolder);
    gPhoto = gFolder + "/photo.jpg";
    std::ofstream(gPhoto) << std::string(100000, 'p');
    benchmark::RunSpecifiedBenchmarks();
    std::filesystem::remove_all(gFolder);
    return 0;
}
