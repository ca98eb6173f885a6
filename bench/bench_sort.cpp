// dir_lister::sort of 1,000,000 entries, by name (mixed names with numbers) and by size: entries per second.

#include "fs/dir_lister.h"

#include <benchmark/benchmark.h>

#include <random>
#include <unordered_set>

namespace {

// A folder's worth of typical names: camera images, numbered files, dated reports, plain words, a few
// folders, upper and lower case, leading zeros. Names are unique, as in a real folder.
std::vector<FsEntry> make_entries(size_t count) {
    std::unordered_set<std::string> used;
    std::mt19937_64 rng(7);
    auto num = [&](uint64_t below) { return std::to_string(rng() % below); };
    const char* words[] = {"report", "Report", "notes", "photo", "README", "backup", "data", "Invoice"};
    const char* exts[] = {".txt", ".jpg", ".PNG", ".tar.gz", ".c", "", ".pdf"};
    std::vector<FsEntry> v;
    v.reserve(count + 1);
    FsEntry parent;
    parent.name = "..";
    parent.kind = FsEntry::Kind::Parent;
    v.push_back(parent);
    while (v.size() <= count) {
        FsEntry e;
        switch (rng() % 5) {
        case 0:
            e.name = "IMG_" + num(10000000) + ".JPG";
            break;
        case 1:
            e.name = "file" + num(10000000);
            break;
        case 2:
            e.name = std::string(words[rng() % 8]) + "-20" + num(30) + "-0" + num(10) + "-" + num(1000) +
                     exts[rng() % 7];
            break;
        case 3:
            e.name = std::string(words[rng() % 8]) + " (" + num(1000000) + ")" + exts[rng() % 7];
            break;
        default:
            e.name = "track " + std::string(rng() % 2 ? "0" : "") + num(100) + " " + words[rng() % 8] + " " +
                     num(10000) + ".flac";
            break;
        }
        if (!used.insert(e.name).second) continue;
        bool dir = rng() % 20 == 0;
        e.kind = dir ? FsEntry::Kind::Dir : FsEntry::Kind::File;
        e.size = dir ? -1 : static_cast<int64_t>(rng() % (1u << 30));
        e.mtime = 1600000000 + static_cast<int64_t>(rng() % 100000000);
        e.perm = 0644;
        e.owner = "user";
        e.group = "user";
        v.push_back(std::move(e));
    }
    return v;
}

const std::vector<FsEntry>& entries() {
    static const std::vector<FsEntry> v = make_entries(1000000);
    return v;
}

void sort_by(benchmark::State& state, dir_lister::SortKey key) {
    const auto& source = entries();
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<FsEntry> v = source;
        state.ResumeTiming();
        dir_lister::sort(v, dir_lister::SortOrder{key, true, true});
        benchmark::DoNotOptimize(v.data());
        state.PauseTiming();
        v.clear();
        v.shrink_to_fit();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(source.size()));
}

void BM_SortByName(benchmark::State& state) {
    sort_by(state, dir_lister::SortKey::Name);
}
void BM_SortBySize(benchmark::State& state) {
    sort_by(state, dir_lister::SortKey::Size);
}

} // namespace

BENCHMARK(BM_SortByName)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_SortBySize)->Unit(benchmark::kMillisecond)->MinTime(2.0);

BENCHMARK_MAIN();
