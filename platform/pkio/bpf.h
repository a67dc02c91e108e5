// Classic BPF: the check the kernel applies before attaching a program, and
// an interpreter for frames that never pass through the kernel (simulated
// adapters).
#ifndef KAVEX_PLATFORM_PKIO_BPF_H_
#define KAVEX_PLATFORM_PKIO_BPF_H_

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/pkio/pkiolib.h"

namespace kavex::pkio {

constexpr size_t kBpfMaxInstructions = 4096;

// True when the program would be accepted by the kernel: 1..4096
// instructions, known opcodes, jumps inside the program, scratch memory
// indexes below 16, every scratch word written before it is read on every
// path, no division by a constant 0, no shift by a constant of 32 or more,
// no load of ancillary data (absolute offsets from SKF_AD_OFF), ends with a
// return.
bool BpfValidate(std::span<const bpf_insn> program);

// Runs a validated program on a frame. Returns the number of bytes to keep
// (0 = reject); loads past the end of the frame reject it.
uint32_t BpfRun(std::span<const bpf_insn> program, const uint8_t* frame,
                uint32_t length);

}  // namespace kavex::pkio

#endif  // KAVEX_PLATFORM_PKIO_BPF_H_
