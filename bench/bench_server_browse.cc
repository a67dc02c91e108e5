// Browsing a large site: 1000 switches of 28 ports, every item the device
// lists (about 1.2 million), with format 0 "String" or 1 "Integer".
//
// BM_BrowseConstruction/<format>: what a server object's construction does
// for browsing: the device's ItemIDs, then a new BrowseSpace built from that
// list (delimiter, AddItemIDs), and the list freed.
//   heap_bytes_per_node: the heap the browse tree holds, per node, counted by
//   this program's allocator hooks (malloc_usable_size of every block plus
//   its 8-byte chunk header); tree_bytes_per_node: the tree's own count of
//   the bytes it requested (BrowseTree::MemoryBytes). No other space holds
//   the list's tree, so each one is built.
// BM_BrowseConstructionShared/<format>: the same while another space over
//   the list holds its tree: the new space finds it in the cache and checks
//   the list against it (heap_bytes: what the new space keeps).
// BM_BrowseFlatAtRoot/<format>: BrowseOPCItemIDs(OPC_FLAT) at the root, the
//   enumerator released untimed; ...AndDrain adds the client's side, Next in
//   batches of 1000 and every string freed.
// BM_BrowseBranchAtRoot, BM_ChangeBrowsePositionTo, BM_GetItemID: the
//   small calls a client makes while walking the tree.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "device/device_object.h"
#include "device/testing/switch_table_fixtures.h"
#include "platform/com/bstr.h"
#include "platform/com/task_memory.h"
#include "platform/sync/clock.h"
#include "server/objects/browse_space.h"

// Live heap bytes of every operator new block in the program.
namespace {
std::atomic<int64_t> live_heap_bytes{0};

void* CountedAlloc(size_t size) {
  void* p = std::malloc(size ? size : 1);
  if (p == nullptr) throw std::bad_alloc();
  live_heap_bytes += static_cast<int64_t>(malloc_usable_size(p) + 8);
  return p;
}
void CountedFree(void* p) {
  if (p == nullptr) return;
  live_heap_bytes -= static_cast<int64_t>(malloc_usable_size(p) + 8);
  std::free(p);
}
}  // namespace

void* operator new(size_t size) { return CountedAlloc(size); }
void* operator new[](size_t size) { return CountedAlloc(size); }
void operator delete(void* p) noexcept { CountedFree(p); }
void operator delete[](void* p) noexcept { CountedFree(p); }
void operator delete(void* p, size_t) noexcept { CountedFree(p); }
void operator delete[](void* p, size_t) noexcept { CountedFree(p); }

namespace kavex::bench {
namespace {

constexpr int kSwitches = 1000;
constexpr int kPortsPerSwitch = 28;
const char* const kFormats[] = {"String", "Integer"};

// The device over a configured site; ItemIDs lists every configured item
// whether or not a switch has been heard.
struct Site {
  explicit Site(const char* format) : clock(100'000) {
    auto table = std::make_shared<device::SwitchTable>(&clock);
    device::AdapterEntry adapter;
    for (int s = 0; s < kSwitches; ++s) {
      char address[32];
      std::snprintf(address, sizeof address, "02.C4.7D.%02X.%02X.%02X",
                    (s >> 16) & 0xFF, (s >> 8) & 0xFF, s & 0xFF);
      adapter.switches.push_back(device::MakeSwitch(
          address, "SW" + std::to_string(s), 0, kPortsPerSwitch));
    }
    table->Install(std::move(adapter), format);
    device::CDevice::CreateInstance(
        &device, std::shared_ptr<const device::SwitchTable>(table));
  }

  // A browse space as a server object builds it.
  HRESULT Build(server::BrowseSpace* space) {
    VARIANT ids;
    VariantInit(&ids);
    HRESULT hr = device->get_ItemIDs(&ids);
    if (FAILED(hr)) return hr;
    com::Bstr delimiter;
    hr = device->get_PathDelimiter(delimiter.Out());
    if (SUCCEEDED(hr)) {
      space->SetDelimiter(std::u16string(delimiter.View()));
      hr = space->AddItemIDs(ids);
    }
    VariantClear(&ids);
    return hr;
  }

  sync::FakeClock clock;
  com::ComPtr<device::CDevice> device;
};

// One site and one built browse space per format, made on first use.
Site& SiteFor(int format) {
  static std::unique_ptr<Site> sites[2];
  if (sites[format] == nullptr)
    sites[format] = std::make_unique<Site>(kFormats[format]);
  return *sites[format];
}

server::BrowseSpace& SpaceFor(int format) {
  static std::unique_ptr<server::BrowseSpace> spaces[2];
  if (spaces[format] == nullptr) {
    spaces[format] = std::make_unique<server::BrowseSpace>();
    SiteFor(format).Build(spaces[format].get());
  }
  return *spaces[format];
}

void BM_BrowseConstruction(benchmark::State& state) {
  Site& site = SiteFor(static_cast<int>(state.range(0)));
  size_t nodes = 0;
  int64_t heap = 0;
  size_t tree_bytes = 0;
  for (auto _ : state) {
    const int64_t before = live_heap_bytes.load();
    auto space = std::make_unique<server::BrowseSpace>();
    if (site.Build(space.get()) != S_OK) {
      state.SkipWithError("building failed");
      break;
    }
    heap = live_heap_bytes.load() - before;
    nodes = space->NodeCount();
    tree_bytes = space->MemoryBytes();
    state.PauseTiming();
    space.reset();
    state.ResumeTiming();
  }
  state.counters["nodes"] = static_cast<double>(nodes);
  state.counters["heap_bytes_per_node"] =
      nodes ? static_cast<double>(heap) / static_cast<double>(nodes) : 0;
  state.counters["tree_bytes_per_node"] =
      nodes ? static_cast<double>(tree_bytes) / static_cast<double>(nodes) : 0;
}

void BM_BrowseConstructionShared(benchmark::State& state) {
  Site& site = SiteFor(static_cast<int>(state.range(0)));
  server::BrowseSpace holder;
  if (site.Build(&holder) != S_OK) {
    state.SkipWithError("building failed");
    return;
  }
  int64_t heap = 0;
  bool shared = true;
  for (auto _ : state) {
    const int64_t before = live_heap_bytes.load();
    auto space = std::make_unique<server::BrowseSpace>();
    if (site.Build(space.get()) != S_OK) {
      state.SkipWithError("building failed");
      break;
    }
    heap = live_heap_bytes.load() - before;
    shared = shared && space->TreeForTesting() == holder.TreeForTesting();
    state.PauseTiming();
    space.reset();
    state.ResumeTiming();
  }
  if (!shared) state.SkipWithError("the tree was not shared");
  state.counters["heap_bytes"] = static_cast<double>(heap);
}

// The two halves of the construction apart: the device's list alone, and
// AddItemIDs of a list made beforehand.
void BM_DeviceItemIDs(benchmark::State& state) {
  Site& site = SiteFor(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    VARIANT ids;
    VariantInit(&ids);
    site.device->get_ItemIDs(&ids);
    VariantClear(&ids);
  }
}

void BM_BrowseAddItemIDs(benchmark::State& state) {
  Site& site = SiteFor(static_cast<int>(state.range(0)));
  com::Variant ids;
  site.device->get_ItemIDs(&ids);
  for (auto _ : state) {
    auto space = std::make_unique<server::BrowseSpace>();
    space->SetDelimiter(u".");
    space->AddItemIDs(ids);
    state.PauseTiming();
    space.reset();
    state.ResumeTiming();
  }
}

void RunFlat(benchmark::State& state, bool drain) {
  server::BrowseSpace& space = SpaceFor(static_cast<int>(state.range(0)));
  space.ChangeBrowsePosition(nullptr, OPC_BROWSE_TO, u"");
  size_t names = 0;
  std::vector<LPOLESTR> batch(1000);
  for (auto _ : state) {
    IEnumString* e = nullptr;
    if (FAILED(
            space.BrowseOPCItemIDs(nullptr, OPC_FLAT, u"", VT_EMPTY, 0, &e))) {
      state.SkipWithError("browse failed");
      break;
    }
    names = 0;
    if (drain) {
      ULONG fetched = 0;
      HRESULT hr;
      do {
        hr = e->Next(1000, batch.data(), &fetched);
        for (ULONG i = 0; i < fetched; ++i) CoTaskMemFree(batch[i]);
        names += fetched;
      } while (hr == S_OK);
    }
    state.PauseTiming();
    e->Release();
    state.ResumeTiming();
  }
  if (drain) state.counters["names"] = static_cast<double>(names);
  state.counters["nodes"] = static_cast<double>(space.NodeCount());
}

void BM_BrowseFlatAtRoot(benchmark::State& state) { RunFlat(state, false); }
void BM_BrowseFlatAtRootAndDrain(benchmark::State& state) {
  RunFlat(state, true);
}

void BM_BrowseBranchAtRoot(benchmark::State& state) {
  server::BrowseSpace& space = SpaceFor(static_cast<int>(state.range(0)));
  space.ChangeBrowsePosition(nullptr, OPC_BROWSE_TO, u"");
  for (auto _ : state) {
    IEnumString* e = nullptr;
    space.BrowseOPCItemIDs(nullptr, OPC_BRANCH, u"", VT_EMPTY, 0, &e);
    e->Release();
  }
}

void BM_ChangeBrowsePositionTo(benchmark::State& state) {
  server::BrowseSpace& space = SpaceFor(static_cast<int>(state.range(0)));
  const char16_t* const paths[] = {u"SW17.P3", u"SW999.P28", u"SW500"};
  size_t i = 0;
  for (auto _ : state) {
    if (space.ChangeBrowsePosition(nullptr, OPC_BROWSE_TO, paths[i]) != S_OK) {
      state.SkipWithError("move failed");
      break;
    }
    i = (i + 1) % 3;
  }
}

void BM_GetItemID(benchmark::State& state) {
  server::BrowseSpace& space = SpaceFor(static_cast<int>(state.range(0)));
  space.ChangeBrowsePosition(nullptr, OPC_BROWSE_TO, u"SW999.P28");
  std::u16string name = u"rx_fcs_errors";
  for (auto _ : state) {
    LPWSTR id = nullptr;
    if (space.GetItemID(nullptr, name.data(), &id) != S_OK) {
      state.SkipWithError("GetItemID failed");
      break;
    }
    CoTaskMemFree(id);
  }
}

double Fastest(const std::vector<double>& times) {
  return *std::min_element(times.begin(), times.end());
}

BENCHMARK(BM_BrowseConstruction)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("min", Fastest);
BENCHMARK(BM_BrowseConstructionShared)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("min", Fastest);
BENCHMARK(BM_DeviceItemIDs)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("min", Fastest);
BENCHMARK(BM_BrowseAddItemIDs)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("min", Fastest);
BENCHMARK(BM_BrowseFlatAtRoot)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("min", Fastest);
BENCHMARK(BM_BrowseFlatAtRootAndDrain)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("min", Fastest);
BENCHMARK(BM_BrowseBranchAtRoot)->Arg(0)->ComputeStatistics("min", Fastest);
BENCHMARK(BM_ChangeBrowsePositionTo)->Arg(0)->ComputeStatistics("min", Fastest);
BENCHMARK(BM_GetItemID)->Arg(0)->ComputeStatistics("min", Fastest);

}  // namespace
}  // namespace kavex::bench

BENCHMARK_MAIN();
