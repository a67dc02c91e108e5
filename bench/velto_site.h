// A site of Velto switches for the benchmarks: `switch_count` switches of
// 28 ports each ("SW0", "SW1", ... with ports "P1" to "P28"), every port
// heard twice and online, and the device plug-in's object over its table
// in the given data format ("String" or "Integer").
#ifndef KAVEX_BENCH_VELTO_SITE_H_
#define KAVEX_BENCH_VELTO_SITE_H_

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "device/device_object.h"
#include "device/port_properties.h"
#include "device/testing/switch_table_fixtures.h"
#include "device/testing/velto_frame_builder.h"
#include "platform/sync/clock.h"

namespace kavex::bench {

inline constexpr int kSitePortsPerSwitch = 28;
inline constexpr int kSiteItemsPerSwitch =
    kSitePortsPerSwitch * device::kPortPropertyCount;

// The port item `item` (0 to kSiteItemsPerSwitch - 1) of switch `s`, in
// the order the device lists them.
inline std::string SitePortItemId(int s, int item) {
  return "SW" + std::to_string(s) + ".P" +
         std::to_string(item / device::kPortPropertyCount + 1) + "." +
         std::string(
             device::kPortPropertyNames[item % device::kPortPropertyCount]);
}

struct VeltoSite {
  VeltoSite(int switch_count, const char* format) : clock(100'000) {
    table = std::make_shared<device::SwitchTable>(&clock);
    device::AdapterEntry adapter;
    for (int s = 0; s < switch_count; ++s) {
      char address[32];
      std::snprintf(address, sizeof address, "02.C4.7D.%02X.%02X.%02X",
                    (s >> 16) & 0xFF, (s >> 8) & 0xFF, s & 0xFF);
      adapter.switches.push_back(device::MakeSwitch(
          address, "SW" + std::to_string(s), 0, kSitePortsPerSwitch));
    }
    table->Install(std::move(adapter), format);
    std::vector<uint8_t> frame =
        device::VeltoFrameBuilder()
            .Status(device::kStatusLinkUp | device::kStatusEnabled |
                    device::kStatusFullDuplex | device::kStatus100Mbit)
            .Counter("tx_octets", 123'456'789)
            .Counter("rx_octets", 987'654'321)
            .Counter("rx_fcs_errors", 4321)
            .Info(3, 0x0A00A8C0, 1, 0x0D, "T28-PLUS")
            .Build();
    // The first round opens every switch's cycle, the second is taken.
    for (int round = 0; round < 2; ++round) {
      for (int s = 0; s < switch_count; ++s) {
        for (int p = 0; p < kSitePortsPerSwitch; ++p) {
          frame[9] = static_cast<uint8_t>(s >> 16);
          frame[10] = static_cast<uint8_t>(s >> 8);
          frame[11] = static_cast<uint8_t>(s);
          frame[frame.size() - device::kPortTrailerSize] =
              static_cast<uint8_t>((p % 8) << 4 | p / 8);
          table->HandleFrame(frame.data(), frame.size());
        }
      }
      clock.Advance(2001);
    }
    table->Tick();  // online
    device::CDevice::CreateInstance(
        &device, std::shared_ptr<const device::SwitchTable>(table));
  }

  // The table's own clock, then the table (frames a benchmark feeds go in
  // here), then the device over it.

  sync::FakeClock clock;  // not installed
  std::shared_ptr<device::SwitchTable> table;
  com::ComPtr<device::CDevice> device;
};

}  // namespace kavex::bench

#endif  // KAVEX_BENCH_VELTO_SITE_H_
