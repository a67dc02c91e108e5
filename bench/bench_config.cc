// The configuration file at plant scale: N switches of 28 ports each on one
// adapter, saved (with the flush to disk) and read back for that adapter.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "configurator/core/config_file.h"
#include "platform/text/utf.h"

namespace kavex::bench {
namespace {

constexpr int kPortsPerSwitch = 28;

std::vector<configurator::ConfigAdapter> MakeMapping(int switches) {
  std::vector<configurator::ConfigAdapter> adapters(2);
  adapters[0] = {u"Plant network", u"\\Device\\eth0", true, 60, {}};
  adapters[1] = {u"Office", u"\\Device\\eth1", false, 20, {}};
  for (int s = 0; s < switches; ++s) {
    char address[32];
    snprintf(address, sizeof address, "02.C4.7D.%02X.%02X.%02X",
             (s >> 16) & 0xFF, (s >> 8) & 0xFF, s & 0xFF);
    configurator::ConfigSwitch sw;
    sw.address = text::Utf8ToUtf16(address);
    sw.alias = u"Halle_" + text::Utf8ToUtf16(std::to_string(s));
    sw.model = u"VX-28(A4,B4,C4)";
    sw.type = 42;
    for (int p = 1; p <= kPortsPerSwitch; ++p)
      sw.ports.push_back(configurator::ConfigPort{
          static_cast<BYTE>(p), u"Port_" + text::Utf8ToUtf16(std::to_string(p)),
          p % 7 == 0, true});
    adapters[0].switches.push_back(std::move(sw));
  }
  return adapters;
}

class TempFile {
 public:
  TempFile() {
    char pattern[] = "/tmp/bench-config-XXXXXX";
    dir_ = mkdtemp(pattern);
    path_ = text::Utf8ToUtf16(dir_ + "/KavexOPC.xml");
  }
  ~TempFile() { std::filesystem::remove_all(dir_); }
  const std::u16string& path() const { return path_; }

 private:
  std::string dir_;
  std::u16string path_;
};

const SYSTEMTIME kWhen{2016, 7, 1, 4, 15, 5, 9, 0};

void BM_SaveConfiguration(benchmark::State& state) {
  const auto mapping = MakeMapping(static_cast<int>(state.range(0)));
  TempFile file;
  std::u16string error;
  for (auto _ : state) {
    if (FAILED(configurator::SaveConfigurationFile(
            file.path(), mapping, u"String", kWhen, true, &error)))
      state.SkipWithError("save failed");
  }
  state.SetItemsProcessed(state.iterations() * state.range(0) *
                          kPortsPerSwitch);
}
BENCHMARK(BM_SaveConfiguration)->Arg(1000)->Unit(benchmark::kMillisecond);

void BM_LoadAdapterConfiguration(benchmark::State& state) {
  const auto mapping = MakeMapping(static_cast<int>(state.range(0)));
  TempFile file;
  std::u16string error;
  if (FAILED(configurator::SaveConfigurationFile(
          file.path(), mapping, u"String", kWhen, true, &error))) {
    state.SkipWithError("save failed");
    return;
  }
  for (auto _ : state) {
    configurator::ConfigAdapter adapter;
    adapter.ndis_name = u"\\Device\\eth0";
    std::u16string format;
    if (!configurator::LoadAdapterConfigurationFile(file.path(), &adapter, {},
                                                    &format) ||
        adapter.switches.size() != mapping[0].switches.size())
      state.SkipWithError("load failed");
    benchmark::DoNotOptimize(adapter);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0) *
                          kPortsPerSwitch);
}
BENCHMARK(BM_LoadAdapterConfiguration)
    ->Arg(1000)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kavex::bench

BENCHMARK_MAIN();
