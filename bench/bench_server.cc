// The server objects over a site of 1000 switches of 28 ports (1.2 million
// items), in format 0 "String" or 1 "Integer": a server object made over
// the device as a client's activation makes it, then
//
// BM_SyncRead/<source>/<format>/<spread>: one IOPCSyncIO::Read of a group
// of 1000 items from the cache (source 1) or the device (source 2), the
// client's freeing of the answer included. Spread 0 takes the first 1000
// port items in the device's listing order, spread 1 one item from each of
// the 1000 switches (the device's table is then walked all over).
//
// BM_AddItems/<format>: one AddItems of 10,000 port items into an empty
// group, the client's freeing of the result arrays included. Its counter
// bytes_per_item is the heap the added items keep (records, the group's
// table, the item registry, the item-ID strings), less the characters of
// the item IDs (text_bytes_per_item, 2 bytes a character), per item: what
// mallinfo2 counts in use after the call, against before it.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "bench/velto_site.h"
#include "platform/com/activation.h"
#include "platform/com/task_memory.h"
#include "platform/text/utf.h"
#include "server/objects/process_state.h"
#include "server/objects/server_object.h"

namespace kavex::bench {
namespace {

constexpr int kSwitches = 1000;
constexpr DWORD kReadItems = 1000;
constexpr DWORD kAddedItems = 10'000;

struct ServerSite {
  explicit ServerSite(const char* format) : site(kSwitches, format) {
    server::SetProcessDevice(site.device.Get());
    server::CServer::CreateInstance(&server);
    server::SetProcessDevice(nullptr);  // the server keeps its own
  }
  VeltoSite site;
  com::ComPtr<server::CServer> server;
};

// Built once per format (each holds a browse tree of the whole site) and
// released before the program ends.
std::unique_ptr<ServerSite> sites[2];

ServerSite& SiteOf(int64_t format) {
  if (!sites[format])
    sites[format] =
        std::make_unique<ServerSite>(format == 0 ? "String" : "Integer");
  return *sites[format];
}

com::ComPtr<IOPCItemMgt> NewGroup(server::CServer* server) {
  OPCHANDLE handle = 0;
  DWORD revised = 0;
  com::ComPtr<IOPCItemMgt> group;
  server->AddGroup(u"", TRUE, 1000, 0, nullptr, nullptr, 0, &handle, &revised,
                   IID_IOPCItemMgt,
                   reinterpret_cast<IUnknown**>(group.GetAddressOf()));
  return group;
}

void DropGroup(server::CServer* server, com::ComPtr<IOPCItemMgt>* group) {
  com::ComPtr<IOPCGroupStateMgt> state;
  group->As(&state);
  DWORD rate, lcid;
  BOOL active;
  LPWSTR name = nullptr;
  LONG bias;
  FLOAT deadband;
  OPCHANDLE client, handle = 0;
  state->GetState(&rate, &active, &name, &bias, &deadband, &lcid, &client,
                  &handle);
  CoTaskMemFree(name);
  state.Reset();
  group->Reset();
  server->RemoveGroup(handle, FALSE);
}

struct Definitions {
  std::vector<std::u16string> ids;
  std::vector<OPCITEMDEF> items;
  size_t text_bytes = 0;
};

Definitions MakeDefinitions(DWORD count, bool spread) {
  Definitions d;
  for (DWORD i = 0; i < count; ++i) {
    const int s = spread ? static_cast<int>(i % kSwitches)
                         : static_cast<int>(i / kSiteItemsPerSwitch);
    const int item = spread ? static_cast<int>((i * 37) % kSiteItemsPerSwitch)
                            : static_cast<int>(i % kSiteItemsPerSwitch);
    d.ids.push_back(text::Utf8ToUtf16(SitePortItemId(s, item)));
    d.text_bytes += d.ids.back().size() * sizeof(char16_t);
  }
  for (DWORD i = 0; i < count; ++i) {
    OPCITEMDEF def{};
    def.szAccessPath = const_cast<LPWSTR>(u"");
    def.szItemID = d.ids[i].data();
    def.bActive = TRUE;
    def.hClient = i;
    d.items.push_back(def);
  }
  return d;
}

void BM_SyncRead(benchmark::State& state) {
  const auto source = static_cast<OPCDATASOURCE>(state.range(0));
  ServerSite& site = SiteOf(state.range(1));
  com::ComPtr<IOPCItemMgt> group = NewGroup(site.server.Get());
  Definitions d = MakeDefinitions(kReadItems, state.range(2) != 0);
  OPCITEMRESULT* results = nullptr;
  HRESULT* errors = nullptr;
  if (group->AddItems(kReadItems, d.items.data(), &results, &errors) != S_OK) {
    state.SkipWithError("AddItems failed");
    return;
  }
  std::vector<OPCHANDLE> handles(kReadItems);
  for (DWORD i = 0; i < kReadItems; ++i) handles[i] = results[i].hServer;
  CoTaskMemFree(results);
  CoTaskMemFree(errors);
  com::ComPtr<IOPCSyncIO> io;
  group.As(&io);

  auto read = [&](OPCDATASOURCE from) {
    OPCITEMSTATE* states = nullptr;
    HRESULT* read_errors = nullptr;
    const HRESULT hr =
        io->Read(from, kReadItems, handles.data(), &states, &read_errors);
    for (DWORD i = 0; i < kReadItems; ++i) VariantClear(&states[i].vDataValue);
    CoTaskMemFree(states);
    CoTaskMemFree(read_errors);
    return hr;
  };
  // The cache holds the device's values, as after an update tick.
  if (read(OPC_DS_DEVICE) != S_OK) {
    state.SkipWithError("a device read failed");
    return;
  }
  size_t failed = 0;
  for (auto _ : state) failed += read(source) != S_OK;
  if (failed != 0) state.SkipWithError("a read failed");
  state.SetItemsProcessed(state.iterations() * kReadItems);
  io.Reset();
  DropGroup(site.server.Get(), &group);
}

void BM_AddItems(benchmark::State& state) {
  ServerSite& site = SiteOf(state.range(0));
  Definitions d = MakeDefinitions(kAddedItems, false);
  double bytes_per_item = 0;
  size_t failed = 0;
  for (auto _ : state) {
    state.PauseTiming();
    com::ComPtr<IOPCItemMgt> group = NewGroup(site.server.Get());
    const size_t before = mallinfo2().uordblks;
    state.ResumeTiming();
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    failed +=
        group->AddItems(kAddedItems, d.items.data(), &results, &errors) != S_OK;
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    state.PauseTiming();
    const size_t after = mallinfo2().uordblks;
    bytes_per_item = (static_cast<double>(after) - static_cast<double>(before) -
                      static_cast<double>(d.text_bytes)) /
                     kAddedItems;
    DropGroup(site.server.Get(), &group);
    state.ResumeTiming();
  }
  if (failed != 0) state.SkipWithError("AddItems failed");
  state.SetItemsProcessed(state.iterations() * kAddedItems);
  state.counters["bytes_per_item"] = bytes_per_item;
  state.counters["text_bytes_per_item"] =
      static_cast<double>(d.text_bytes) / kAddedItems;
}

double Fastest(const std::vector<double>& times) {
  return *std::min_element(times.begin(), times.end());
}

BENCHMARK(BM_SyncRead)
    ->ArgsProduct({{OPC_DS_CACHE, OPC_DS_DEVICE}, {0, 1}, {0, 1}})
    ->Unit(benchmark::kMicrosecond)
    ->ComputeStatistics("min", Fastest);
BENCHMARK(BM_AddItems)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("min", Fastest);

}  // namespace
}  // namespace kavex::bench

int main(int argc, char** argv) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (auto& site : kavex::bench::sites) site.reset();
  CoUninitialize();
  return 0;
}
