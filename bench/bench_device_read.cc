// Cost of one item read through the device interface, as the server's update
// ticks make them: IKavexOPCDevice::Read of a port item, the returned value
// freed by the caller. Every case takes format 0 "String" or 1 "Integer" and
// a site of 1 or 1000 switches with 28 ports each, every port heard and
// online.
//
// BM_DeviceRead/<format>/<switches>: reads go through every port item of the
// site in the order the device lists them, over and over, as a server's
// update of a group holding all of them makes them (clients add items in the
// order they browse them). With 1000 switches that is 1.2 million items.
//
// BM_DeviceReadScattered/<format>/<switches>: reads walk a shuffle of 8192
// port items spread over every switch, so that nearly every read finds its
// port's records in another part of a table of several megabytes: the
// worst case, which counts the memory system's latency for every read.
//
// BM_DeviceReadLastSwitch/<format>/<switches>: reads walk a shuffle of the
// 1204 port items of the last switch configured: the same amount of data in
// both sites, so the figures compare the cost of finding an item alone, and
// the last switch is where a walk down the switch list would cost most.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/velto_site.h"
#include "device/device_object.h"
#include "platform/com/bstr.h"

namespace kavex::bench {
namespace {

constexpr size_t kScatteredReads = 8192;

enum class Pattern { kItemOrder, kScattered, kLastSwitch };

// The site and the item IDs a run reads, in the order `pattern` gives.
struct Site {
  Site(int switch_count, const char* format, Pattern pattern)
      : site(switch_count, format), device(site.device) {
    std::mt19937 random(1);
    switch (pattern) {
      case Pattern::kItemOrder:
        for (int s = 0; s < switch_count; ++s) {
          for (int item = 0; item < kSiteItemsPerSwitch; ++item)
            ids.emplace_back(com::Bstr::FromUtf8(SitePortItemId(s, item)));
        }
        break;
      case Pattern::kScattered:
        for (size_t i = 0; i < kScatteredReads; ++i) {
          const int s = static_cast<int>(random() % switch_count);
          const int item = static_cast<int>(random() % kSiteItemsPerSwitch);
          ids.emplace_back(com::Bstr::FromUtf8(SitePortItemId(s, item)));
        }
        std::shuffle(ids.begin(), ids.end(), random);
        break;
      case Pattern::kLastSwitch:
        for (int item = 0; item < kSiteItemsPerSwitch; ++item)
          ids.emplace_back(
              com::Bstr::FromUtf8(SitePortItemId(switch_count - 1, item)));
        std::shuffle(ids.begin(), ids.end(), random);
        break;
    }
  }

  VeltoSite site;
  com::ComPtr<device::CDevice>& device;
  std::vector<com::Bstr> ids;
};

void RunReads(benchmark::State& state, Pattern pattern) {
  static const char* const kFormats[] = {"String", "Integer"};
  Site site(static_cast<int>(state.range(1)), kFormats[state.range(0)],
            pattern);
  if (site.device == nullptr) {
    state.SkipWithError("no device");
    return;
  }
  IKavexOPCDevice* device = site.device.Get();
  size_t i = 0;
  size_t failed = 0;
  for (auto _ : state) {
    VARIANT value;
    VariantInit(&value);
    failed += device->Read(site.ids[i].Get(), &value) != S_OK;
    VariantClear(&value);
    if (++i == site.ids.size()) i = 0;
  }
  if (failed != 0) state.SkipWithError("a read failed");
  state.SetItemsProcessed(state.iterations());
}

void BM_DeviceRead(benchmark::State& state) {
  RunReads(state, Pattern::kItemOrder);
}
void BM_DeviceReadScattered(benchmark::State& state) {
  RunReads(state, Pattern::kScattered);
}
void BM_DeviceReadLastSwitch(benchmark::State& state) {
  RunReads(state, Pattern::kLastSwitch);
}

// On a shared machine the fastest repetition is the figure to compare:
// run with --benchmark_repetitions=N to get it.
double Fastest(const std::vector<double>& times) {
  return *std::min_element(times.begin(), times.end());
}

BENCHMARK(BM_DeviceRead)
    ->ArgsProduct({{0, 1}, {1, 1000}})
    ->ComputeStatistics("min", Fastest);
BENCHMARK(BM_DeviceReadScattered)
    ->ArgsProduct({{0, 1}, {1, 1000}})
    ->ComputeStatistics("min", Fastest);
BENCHMARK(BM_DeviceReadLastSwitch)
    ->ArgsProduct({{0, 1}, {1, 1000}})
    ->ComputeStatistics("min", Fastest);

}  // namespace
}  // namespace kavex::bench

BENCHMARK_MAIN();
