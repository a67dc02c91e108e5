// The classic-BPF checker and interpreter on arbitrary programs. Input:
// [frame length lo][frame length hi][frame bytes][program, 8 bytes an
// instruction: code lo, code hi, jt, jf, k (little-endian)]. Every program
// goes to the checker; an accepted one runs on the frame, held in a buffer
// of exactly its length so that a load past it is caught. Checked: the
// kernel takes every program the checker accepts (the same program goes to
// real adapters through SO_ATTACH_FILTER).
#include <linux/filter.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/pkio/bpf.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

// Whether the kernel's own check takes the program; -1 when it cannot be
// asked.
int KernelAccepts(const std::vector<bpf_insn>& program) {
  static const int probe = socket(AF_INET, SOCK_DGRAM, 0);
  if (probe < 0) return -1;
  static_assert(sizeof(bpf_insn) == sizeof(sock_filter));
  sock_fprog fprog{
      static_cast<unsigned short>(program.size()),
      reinterpret_cast<sock_filter*>(const_cast<bpf_insn*>(program.data()))};
  const int rc =
      setsockopt(probe, SOL_SOCKET, SO_ATTACH_FILTER, &fprog, sizeof fprog);
  if (rc == 0) {
    setsockopt(probe, SOL_SOCKET, SO_DETACH_FILTER, nullptr, 0);
    return 1;
  }
  return errno == EINVAL ? 0 : -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t wanted = (data[0] | size_t{data[1]} << 8) % 2049;
  const size_t frame_length = std::min(wanted, size - 2);
  auto frame = std::make_unique<uint8_t[]>(frame_length ? frame_length : 1);
  std::memcpy(frame.get(), data + 2, frame_length);
  const uint8_t* code = data + 2 + frame_length;
  const size_t count = (size - 2 - frame_length) / 8;
  std::vector<bpf_insn> program(count);
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* in = code + 8 * i;
    program[i].code = static_cast<uint16_t>(in[0] | in[1] << 8);
    program[i].jt = in[2];
    program[i].jf = in[3];
    program[i].k = static_cast<uint32_t>(in[4] | in[5] << 8 | in[6] << 16 |
                                         uint32_t{in[7]} << 24);
  }
  if (!kavex::pkio::BpfValidate(program)) return 0;
  Check(KernelAccepts(program) != 0, "the kernel takes an accepted program");
  const uint32_t keep =
      kavex::pkio::BpfRun(program, frame_length ? frame.get() : nullptr,
                          static_cast<uint32_t>(frame_length));
  (void)keep;
  return 0;
}
