// Writes the frame fuzzer's seeds: short scripts of real Velto frames for
// both configured switches, with clock steps and ticks, in both data
// formats. Usage: device_fuzz_seeds DIRECTORY
#include <cstdio>
#include <string>
#include <vector>

#include "device/fuzz/frame_script.h"
#include "device/testing/velto_frame_builder.h"

namespace {

using kavex::device::VeltoFrameBuilder;
using kavex::device::fuzz::AppendStep;
using kavex::device::fuzz::kTickAfter;

constexpr VeltoFrameBuilder::Mac kFirst = {0x02, 0xC4, 0x7D, 0, 0, 0x01};
constexpr VeltoFrameBuilder::Mac kSecond = {0x02, 0xC4, 0x7D, 0, 0, 0x02};
constexpr uint8_t kUpFull100 =
    kavex::device::kStatusEnabled | kavex::device::kStatus100Mbit |
    kavex::device::kStatusLinkUp | kavex::device::kStatusFullDuplex;

bool Write(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

// A report cycle of one switch: every port of every chip, one frame each.
void AppendCycle(std::vector<uint8_t>* script,
                 const VeltoFrameBuilder::Mac& mac, int chips,
                 int ports_per_chip, uint64_t counter) {
  for (int chip = 0; chip < chips; ++chip) {
    for (int index = 0; index < ports_per_chip; ++index) {
      AppendStep(script, 1,
                 VeltoFrameBuilder()
                     .Source(mac)
                     .Port(chip, index)
                     .Status(kUpFull100)
                     .Counter("rx_fcs_errors", counter + index)
                     .Build());
    }
  }
  script->push_back(kTickAfter | 41);  // 2.05 s, then a tick
  script->push_back(0);
  script->push_back(0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string dir = argv[1];
  bool ok = true;
  for (uint8_t setup : {0x00, 0x01, 0x0B, 0x5A}) {
    std::vector<uint8_t> script = {setup};
    AppendCycle(&script, kFirst, 3, 8, 10);
    AppendCycle(&script, kSecond, 2, 6, 20);
    AppendCycle(&script, kFirst, 3, 8, 30);
    char name[32];
    std::snprintf(name, sizeof name, "/cycles_%02x", setup);
    ok &= Write(dir + name, script);
  }
  {
    // The information area: address, ring, text, speed records.
    std::vector<uint8_t> script = {0x02};
    AppendStep(&script, 0,
               VeltoFrameBuilder()
                   .Source(kFirst)
                   .Port(0, 1)
                   .Status(kUpFull100)
                   .Info(3, 0x0A00A8C0, 2, 0x05, "ring-manager")
                   .PortSpeedRecord(1000)
                   .Build());
    AppendStep(
        &script, kTickAfter | 41,
        VeltoFrameBuilder()
            .Source(kSecond)
            .Port(1, 2)
            .Status(kUpFull100)
            .Info(4, 0x0100000A, 1, 0, "0123456789abcdef0123456789abcdef")
            .PortSpeedRecord(100, 2)
            .Record(0x01020304, 1, {1, 2, 3, 4, 5})
            .Build());
    ok &= Write(dir + "/info_area", script);
  }
  {
    // Lengths around the limits: header only, trailer only, full, jumbo.
    std::vector<uint8_t> script = {0x01};
    for (size_t len : {14, 177, 178, 191, 192, 1514, 2000}) {
      AppendStep(&script, 41,
                 VeltoFrameBuilder()
                     .Source(kFirst)
                     .Port(0, 3)
                     .Status(kUpFull100)
                     .Length(len)
                     .Build());
    }
    for (int i = 0; i < 4; ++i) {
      script.push_back(kTickAfter | 127);
      script.push_back(0);
      script.push_back(0);
    }
    ok &= Write(dir + "/lengths", script);
  }
  return ok ? 0 : 1;
}
