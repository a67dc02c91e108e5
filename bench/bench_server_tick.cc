// The update tick of a server object over a site of 1000 switches of 28
// ports on the device plug-in's table, format 0 "String" or 1 "Integer",
// one active group of port items at 100 ms and one IOPCDataCallback sink
// that only counts what it is sent:
//
// BM_TickUnchanged/<format>/<items>: a tick in which no value changed
// (every item read from the device and compared with what was last sent),
// for the first 1000 port items and for every port item (1,204,000).
// Counter ns_per_item.
//
// BM_DeviceReadOnly/<format>/<items>: the device's Read of the same items
// alone, the part of a tick the server objects do not own.
//
// BM_TickAllChanged/<format>: a tick after every port received a frame
// with other counters and status (ports' id and alias stay, so about 41
// of each port's 43 items change); the changed items delivered to the
// sink. Counters ns_per_item and changed_fraction (items sent / items).
//
// BM_UpdateThreadCpu: the update thread itself, on the system clock, for
// a group of 60,000 items at 1000 ms while nothing changes, for ten
// seconds: the thread's CPU time over the elapsed time (cpu_percent).
//
// BM_MemoryBandwidth: memcpy of 256 MB, for the physical floor: bytes/s
// (a copy reads and writes each byte: 2 bytes moved per byte counted).
#include <benchmark/benchmark.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/velto_site.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/com_object.h"
#include "platform/com/task_memory.h"
#include "platform/text/utf.h"
#include "server/objects/process_state.h"
#include "server/objects/server_object.h"

namespace kavex::bench {
namespace {

constexpr int kSwitches = 1000;
constexpr int kAllPortItems = kSwitches * kSiteItemsPerSwitch;

class CountingSink : public com::ComObject<CountingSink, IOPCDataCallback> {
 public:
  HRESULT OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD dwCount,
                       OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                       HRESULT*) override {
    items.fetch_add(dwCount, std::memory_order_relaxed);
    return S_OK;
  }
  HRESULT OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*,
                         VARIANT*, WORD*, FILETIME*, HRESULT*) override {
    return S_OK;
  }
  HRESULT OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*,
                          HRESULT*) override {
    return S_OK;
  }
  HRESULT OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }
  std::atomic<uint64_t> items{0};
};

// A server object over the site with one group of the first `count` port
// items (in switch order) at `rate` ms and a counting sink.
struct TickSite {
  TickSite(const char* format, int count, DWORD rate, bool thread_ticks)
      : site(kSwitches, format) {
    server::SetProcessDevice(site.device.Get());
    server::CServer::CreateInstance(&server);
    server::SetProcessDevice(nullptr);
    server->SetThreadTicksForTesting(thread_ticks);
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    server->AddGroup(u"tick", TRUE, rate, 0, nullptr, nullptr, 0, &handle,
                     &revised, IID_IOPCItemMgt,
                     reinterpret_cast<IUnknown**>(group.GetAddressOf()));
    std::vector<std::u16string> ids;
    ids.reserve(count);
    for (int i = 0; i < count; ++i)
      ids.push_back(text::Utf8ToUtf16(
          SitePortItemId(i / kSiteItemsPerSwitch, i % kSiteItemsPerSwitch)));
    std::vector<OPCITEMDEF> defs(count);
    for (int i = 0; i < count; ++i) {
      defs[i].szAccessPath = const_cast<LPWSTR>(u"");
      defs[i].szItemID = const_cast<LPWSTR>(ids[i].c_str());
      defs[i].bActive = TRUE;
      defs[i].hClient = static_cast<OPCHANDLE>(i);
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    added = group->AddItems(count, defs.data(), &results, &errors);
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    CountingSink::CreateInstance(&sink);
    com::ComPtr<IConnectionPointContainer> container;
    group.As(&container);
    com::ComPtr<IConnectionPoint> point;
    container->FindConnectionPoint(IID_IOPCDataCallback, point.GetAddressOf());
    DWORD cookie = 0;
    point->Advise(sink->GetUnknown(), &cookie);  // sends a full update
  }
  ~TickSite() {
    group.Reset();
    server.Reset();
  }

  // Every port hears a frame whose counters and status depend on
  // `generation`; the table's clock moves past its 2 s hold first.
  void ChangeEveryPort(int generation) {
    site.clock.Advance(2001);
    device::VeltoFrameBuilder builder;
    const bool odd = generation % 2 != 0;
    builder.Status(odd ? device::kStatusEnabled
                       : device::kStatusLinkUp | device::kStatusEnabled |
                             device::kStatusFullDuplex |
                             device::kStatus100Mbit);
    for (const device::CounterField& field : device::kPublishedCounters)
      builder.Counter(field.name, 1000 + generation * 7 + field.offset);
    builder.Info(3, 0x0A00A8C0, 1, 0x0D, "T28-PLUS");
    std::vector<uint8_t> frame = builder.Build();
    // Two rounds, as the site was built: a switch's report cycle is
    // opened by one round and taken by the next.
    for (int round = 0; round < 2; ++round) {
      for (int s = 0; s < kSwitches; ++s) {
        for (int p = 0; p < kSitePortsPerSwitch; ++p) {
          frame[9] = static_cast<uint8_t>(s >> 16);
          frame[10] = static_cast<uint8_t>(s >> 8);
          frame[11] = static_cast<uint8_t>(s);
          frame[frame.size() - device::kPortTrailerSize] =
              static_cast<uint8_t>((p % 8) << 4 | p / 8);
          site.table->HandleFrame(frame.data(), frame.size());
        }
      }
      site.clock.Advance(2001);
    }
  }

  VeltoSite site;
  com::ComPtr<server::CServer> server;
  com::ComPtr<IOPCItemMgt> group;
  com::ComPtr<CountingSink> sink;
  HRESULT added = E_FAIL;
};

const char* FormatName(int64_t format) {
  return format == 0 ? "String" : "Integer";
}

void BM_TickUnchanged(benchmark::State& state) {
  const int count = static_cast<int>(state.range(1));
  TickSite t(FormatName(state.range(0)), count, 100, false);
  if (t.added != S_OK) {
    state.SkipWithError("AddItems failed");
    return;
  }
  t.server->Tick();  // the first read: everything changes once
  const uint64_t sent = t.sink->items.load();
  for (auto _ : state) t.server->Tick();
  if (t.sink->items.load() != sent) state.SkipWithError("values changed");
  state.counters["ns_per_item"] = benchmark::Counter(
      static_cast<double>(count) * state.iterations(),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_TickUnchanged)
    ->ArgNames({"format", "items"})
    ->Args({0, 1000})
    ->Args({1, 1000})
    ->Args({0, kAllPortItems})
    ->Args({1, kAllPortItems})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The device's share of a tick: IKavexOPCDevice::Read of the same items
// with the server's BSTR item IDs, each value freed.
void BM_DeviceReadOnly(benchmark::State& state) {
  const int count = static_cast<int>(state.range(1));
  VeltoSite site(kSwitches, FormatName(state.range(0)));
  std::vector<com::Bstr> ids;
  ids.reserve(count);
  for (int i = 0; i < count; ++i)
    ids.emplace_back(text::Utf8ToUtf16(
        SitePortItemId(i / kSiteItemsPerSwitch, i % kSiteItemsPerSwitch)));
  for (auto _ : state) {
    for (const com::Bstr& id : ids) {
      VARIANT value;
      value.vt = VT_EMPTY;
      site.device->Read(id.Get(), &value);
      if (value.vt == VT_BSTR) VariantClear(&value);
    }
  }
  state.counters["ns_per_item"] = benchmark::Counter(
      static_cast<double>(count) * state.iterations(),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_DeviceReadOnly)
    ->ArgNames({"format", "items"})
    ->Args({0, 1000})
    ->Args({1, 1000})
    ->Args({0, kAllPortItems})
    ->Args({1, kAllPortItems})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_TickAllChanged(benchmark::State& state) {
  TickSite t(FormatName(state.range(0)), kAllPortItems, 100, false);
  if (t.added != S_OK) {
    state.SkipWithError("AddItems failed");
    return;
  }
  t.server->Tick();
  int generation = 0;
  uint64_t sent = 0;
  for (auto _ : state) {
    state.PauseTiming();
    t.ChangeEveryPort(++generation);
    const uint64_t before = t.sink->items.load();
    state.ResumeTiming();
    t.server->Tick();
    sent += t.sink->items.load() - before;
  }
  state.counters["ns_per_item"] = benchmark::Counter(
      static_cast<double>(kAllPortItems) * state.iterations(),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["changed_fraction"] =
      static_cast<double>(sent) /
      (static_cast<double>(kAllPortItems) * state.iterations());
}
BENCHMARK(BM_TickAllChanged)
    ->ArgName("format")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

void BM_UpdateThreadCpu(benchmark::State& state) {
  constexpr int kItems = 60'000;
  TickSite t("Integer", kItems, 1000, true);
  if (t.added != S_OK) {
    state.SkipWithError("AddItems failed");
    return;
  }
  // The hook runs on the update thread at the start of each Update: the
  // thread's CPU clock there covers every earlier tick.
  std::mutex mu;
  double first_cpu = -1, last_cpu = 0;
  std::chrono::steady_clock::time_point first_at, last_at;
  t.server->SetUpdateHookForTesting([&] {
    const double cpu = ThreadCpuSeconds();
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mu);
    if (first_cpu < 0) {
      first_cpu = cpu;
      first_at = now;
    }
    last_cpu = cpu;
    last_at = now;
  });
  for (auto _ : state)
    std::this_thread::sleep_for(std::chrono::seconds(state.range(0)));
  t.server->SetUpdateHookForTesting(nullptr);
  std::lock_guard<std::mutex> lock(mu);
  const double elapsed =
      std::chrono::duration<double>(last_at - first_at).count();
  state.counters["cpu_percent"] =
      elapsed > 0 ? 100.0 * (last_cpu - first_cpu) / elapsed : -1;
  state.counters["elapsed_s"] = elapsed;
}
BENCHMARK(BM_UpdateThreadCpu)
    ->ArgName("seconds")
    ->Arg(10)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

void BM_MemoryBandwidth(benchmark::State& state) {
  const size_t bytes = size_t{256} << 20;
  std::vector<char> from(bytes, 1), to(bytes, 0);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), bytes);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes) * state.iterations());
}
BENCHMARK(BM_MemoryBandwidth)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace kavex::bench

int main(int argc, char** argv) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  CoUninitialize();
  return 0;
}
