// Reading the full MAC vendor list (the registry's MA-L, MA-M, MA-S and IAB lists in one file,
// about 46,000 lines) and looking up three router addresses: one found by its 9-character
// prefix, one by its 6-character prefix and one not found at all.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "router/MacList.h"

namespace {

const char* kSources[] = {"/usr/share/ieee-data/oui.csv", "/usr/share/ieee-data/mam.csv",
                          "/usr/share/ieee-data/oui36.csv", "/usr/share/ieee-data/iab.csv"};

// The concatenated list in a temporary file, made once.
const std::string& ListFile() {
  static const std::string path = [] {
    const std::string p = (std::filesystem::temp_directory_path() / "nat-bench-MAC.CSV").string();
    std::ofstream out(p, std::ios::binary);
    for (const char* s : kSources) out << std::ifstream(s, std::ios::binary).rdbuf();
    return p;
  }();
  return path;
}

void BM_LoadMacListAndLookUp(benchmark::State& state) {
  if (!std::filesystem::exists(kSources[0])) {
    state.SkipWithError("ieee-data is not installed");
    return;
  }
  const std::string& file = ListFile();
  size_t entries = 0;
  int found = 0;
  for (auto _ : state) {
    const auto list = LoadMacList(file);
    found = 0;
    for (const char* mac : {"70B3D5719ABC", "001A2B3C4D5E", "FFFFFF000000"})
      if (LookupVendor(*list, mac)) ++found;
    entries = list->Count();
    benchmark::DoNotOptimize(found);
  }
  state.counters["entries"] = static_cast<double>(entries);
  state.counters["found"] = found;
}
BENCHMARK(BM_LoadMacListAndLookUp)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
