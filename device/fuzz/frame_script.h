// The script format of the frame fuzzer, shared by the harness and the
// program that writes its seeds: records of [op][length lo][length hi]
// followed by up to `length` frame bytes (fewer when the input ends).
// op's high bit asks for a Tick after the frame; its low 7 bits advance the
// clock before it, in steps of 50 ms.
#ifndef KAVEX_DEVICE_FUZZ_FRAME_SCRIPT_H_
#define KAVEX_DEVICE_FUZZ_FRAME_SCRIPT_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kavex::device::fuzz {

inline constexpr uint8_t kTickAfter = 0x80;
inline constexpr uint32_t kAdvanceStepMs = 50;

struct Step {
  uint32_t advance_ms = 0;
  bool tick = false;
  const uint8_t* frame = nullptr;
  size_t length = 0;
};

template <typename Visit>
void ForEachStep(const uint8_t* data, size_t size, Visit visit) {
  size_t at = 0;
  while (size - at >= 3) {
    Step step;
    step.advance_ms = (data[at] & 0x7F) * kAdvanceStepMs;
    step.tick = (data[at] & kTickAfter) != 0;
    const size_t wanted = data[at + 1] | size_t{data[at + 2]} << 8;
    at += 3;
    step.length = std::min(wanted, size - at);
    step.frame = data + at;
    at += step.length;
    visit(step);
  }
}

// Appends one record to a script.
inline void AppendStep(std::vector<uint8_t>* script, uint8_t op,
                       const std::vector<uint8_t>& frame) {
  script->push_back(op);
  script->push_back(static_cast<uint8_t>(frame.size()));
  script->push_back(static_cast<uint8_t>(frame.size() >> 8));
  script->insert(script->end(), frame.begin(), frame.end());
}

}  // namespace kavex::device::fuzz

#endif  // KAVEX_DEVICE_FUZZ_FRAME_SCRIPT_H_
