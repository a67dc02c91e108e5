// Frames, ticks and item reads: the input is a script of frames and clock
// steps run against a freshly installed switch table, then every item the
// table exposes is read in both identifier forms.
//
// Input: byte 0 chooses the data format, the time-out and the two
// switches' type codes; then the records of frame_script.h. Each frame is
// handed over in a buffer of exactly its length, so any read past it is caught.
// Checked: an accepted frame passed the acceptance tests, and every listed item
// reads.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "device/fuzz/frame_script.h"
#include "device/item_namespace.h"
#include "device/switch_table.h"
#include "device/testing/switch_table_fixtures.h"
#include "device/velto_frame.h"
#include "platform/base/results.h"
#include "platform/com/variant.h"
#include "platform/log/logger.h"
#include "platform/sync/clock.h"
#include "platform/text/utf.h"

namespace {

using kavex::device::FrameResult;

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace device = kavex::device;
  if (size < 1) return 0;
  static bool quiet = (kavex::log::SetSink({}), true);
  (void)quiet;

  const uint8_t setup = data[0];
  device::AdapterEntry adapter;
  adapter.ndis_name = "\\Device\\fuzz0";
  adapter.active = true;
  adapter.timeout_seconds = 1 + (setup >> 6);
  // Two switches 02.C4.7D.00.00.01 and .02. The first has ports on both
  // sides of every chip boundary up to the highest number a port byte can
  // produce, the second a gap (no port 4); other numbers name no port.
  device::SwitchRecord first = device::MakeSwitch(
      "02.C4.7D.00.00.01", "A", static_cast<uint8_t>((setup >> 1) % 6), 0);
  for (uint8_t number : {1, 2, 8, 9, 16, 17, 24, 25, 33, 40}) {
    first.ports.push_back(
        device::MakePort(number, "P" + std::to_string(number)));
  }
  device::SwitchRecord second = device::MakeSwitch(
      "02.C4.7D.00.00.02", "B", static_cast<uint8_t>((setup >> 4) % 6), 7);
  second.ports.erase(second.ports.begin() + 3);  // no port 4
  adapter.switches.push_back(std::move(first));
  adapter.switches.push_back(std::move(second));

  kavex::sync::FakeClock clock(0xFFFF0000u);  // wraps during long scripts
  device::SwitchTable table(&clock);
  table.Install(std::move(adapter), (setup & 1) ? "Integer" : "String");

  device::fuzz::ForEachStep(
      data + 1, size - 1, [&](const device::fuzz::Step& step) {
        auto buffer =
            std::make_unique<uint8_t[]>(step.length ? step.length : 1);
        if (step.length) std::memcpy(buffer.get(), step.frame, step.length);
        clock.Advance(step.advance_ms);
        const FrameResult result = table.HandleFrame(
            step.length ? buffer.get() : nullptr, step.length);
        if (result == FrameResult::kAccepted) {
          Check(step.length >= device::kMinVeltoFrameSize &&
                    device::IsVeltoFrame(buffer.get(), step.length),
                "an accepted frame is a whole Velto frame");
        }
        if (step.tick) table.Tick();
      });

  // Every item in the form a client sends (UTF-16); every 16th in the
  // narrow form too, which must read the same.
  device::ItemNamespace items(table);
  size_t n = 0;
  for (const std::string& id : items.ItemIds()) {
    kavex::com::Variant wide;
    Check(items.Read(kavex::text::Utf8ToUtf16(id), &wide) == S_OK,
          "a listed item reads");
    VARTYPE type = VT_EMPTY;
    DWORD rights = 0;
    Check(items.GetItemProperties(id, &type, &rights) == S_OK,
          "a listed item has properties");
    if (n++ % 16 == 0) {
      kavex::com::Variant narrow;
      Check(items.Read(id, &narrow) == S_OK, "a listed item reads (narrow)");
      Check(narrow.vt == wide.vt, "both identifier forms read the same type");
    }
  }
  return 0;
}
