#include "platform/pkio/bpf.h"

#include <linux/filter.h>

#include <vector>

namespace kavex::pkio {
namespace {

bool IsKnownOpcode(uint16_t code) {
  switch (code) {
    case BPF_LD | BPF_W | BPF_ABS:
    case BPF_LD | BPF_H | BPF_ABS:
    case BPF_LD | BPF_B | BPF_ABS:
    case BPF_LD | BPF_W | BPF_IND:
    case BPF_LD | BPF_H | BPF_IND:
    case BPF_LD | BPF_B | BPF_IND:
    case BPF_LD | BPF_W | BPF_LEN:
    case BPF_LD | BPF_IMM:
    case BPF_LD | BPF_MEM:
    case BPF_LDX | BPF_W | BPF_IMM:
    case BPF_LDX | BPF_W | BPF_MEM:
    case BPF_LDX | BPF_W | BPF_LEN:
    case BPF_LDX | BPF_B | BPF_MSH:
    case BPF_ST:
    case BPF_STX:
    case BPF_RET | BPF_K:
    case BPF_RET | BPF_A:
    case BPF_MISC | BPF_TAX:
    case BPF_MISC | BPF_TXA:
    case BPF_JMP | BPF_JA:
    case BPF_ALU | BPF_NEG:
      return true;
    default:
      break;
  }
  if (BPF_CLASS(code) == BPF_ALU) {
    switch (BPF_OP(code)) {
      case BPF_ADD:
      case BPF_SUB:
      case BPF_MUL:
      case BPF_DIV:
      case BPF_OR:
      case BPF_AND:
      case BPF_LSH:
      case BPF_RSH:
      case BPF_MOD:
      case BPF_XOR:
        return (code & ~(BPF_OP(code) | BPF_SRC(code) | BPF_CLASS(code))) == 0;
    }
    return false;
  }
  if (BPF_CLASS(code) == BPF_JMP) {
    switch (BPF_OP(code)) {
      case BPF_JEQ:
      case BPF_JGT:
      case BPF_JGE:
      case BPF_JSET:
        return (code & ~(BPF_OP(code) | BPF_SRC(code) | BPF_CLASS(code))) == 0;
    }
  }
  return false;
}

bool Load(const uint8_t* frame, uint32_t length, uint64_t offset, uint32_t size,
          uint32_t* value) {
  if (offset + size > length) return false;
  uint32_t v = 0;
  for (uint32_t i = 0; i < size; ++i) v = (v << 8) | frame[offset + i];
  *value = v;
  return true;
}

// The kernel refuses a program that may read a scratch word before writing
// it: words written on every path to an instruction are tracked, a jump
// passing on to its targets only what holds on all paths into them.
bool ScratchWrittenBeforeRead(std::span<const bpf_insn> program) {
  std::vector<uint16_t> valid_at(program.size(), 0xFFFF);
  uint16_t written = 0;
  for (size_t pc = 0; pc < program.size(); ++pc) {
    const bpf_insn& in = program[pc];
    written &= valid_at[pc];
    switch (BPF_CLASS(in.code)) {
      case BPF_ST:
      case BPF_STX:
        written |= static_cast<uint16_t>(1u << in.k);
        break;
      case BPF_LD:
      case BPF_LDX:
        if (BPF_MODE(in.code) == BPF_MEM && !(written & (1u << in.k))) {
          return false;
        }
        break;
      case BPF_JMP:
        if (BPF_OP(in.code) == BPF_JA) {
          valid_at[pc + 1 + in.k] &= written;
        } else {
          valid_at[pc + 1 + in.jt] &= written;
          valid_at[pc + 1 + in.jf] &= written;
        }
        written = 0xFFFF;
        break;
    }
  }
  return true;
}

}  // namespace

bool BpfValidate(std::span<const bpf_insn> program) {
  const size_t n = program.size();
  if (n == 0 || n > kBpfMaxInstructions) return false;
  for (size_t pc = 0; pc < n; ++pc) {
    const bpf_insn& in = program[pc];
    if (!IsKnownOpcode(in.code)) return false;
    switch (BPF_CLASS(in.code)) {
      case BPF_JMP:
        if (BPF_OP(in.code) == BPF_JA) {
          if (in.k >= n - pc - 1) return false;
        } else if (pc + 1 + in.jt >= n || pc + 1 + in.jf >= n) {
          return false;
        }
        break;
      case BPF_ALU:
        if ((BPF_OP(in.code) == BPF_DIV || BPF_OP(in.code) == BPF_MOD) &&
            BPF_SRC(in.code) == BPF_K && in.k == 0) {
          return false;
        }
        if ((BPF_OP(in.code) == BPF_LSH || BPF_OP(in.code) == BPF_RSH) &&
            BPF_SRC(in.code) == BPF_K && in.k >= 32) {
          return false;
        }
        break;
      case BPF_LD:
        // Offsets from SKF_AD_OFF up name the kernel's ancillary data,
        // which frames here do not carry.
        if (BPF_MODE(in.code) == BPF_ABS &&
            in.k >= static_cast<uint32_t>(SKF_AD_OFF)) {
          return false;
        }
        if (BPF_MODE(in.code) == BPF_MEM && in.k >= BPF_MEMWORDS) return false;
        break;
      case BPF_LDX:
        if (BPF_MODE(in.code) == BPF_MEM && in.k >= BPF_MEMWORDS) return false;
        break;
      case BPF_ST:
      case BPF_STX:
        if (in.k >= BPF_MEMWORDS) return false;
        break;
    }
  }
  return BPF_CLASS(program[n - 1].code) == BPF_RET &&
         ScratchWrittenBeforeRead(program);
}

uint32_t BpfRun(std::span<const bpf_insn> program, const uint8_t* frame,
                uint32_t length) {
  uint32_t a = 0, x = 0, v = 0;
  uint32_t mem[BPF_MEMWORDS] = {};
  for (size_t pc = 0; pc < program.size(); ++pc) {
    const bpf_insn& in = program[pc];
    const uint32_t src = BPF_SRC(in.code) == BPF_X ? x : in.k;
    switch (BPF_CLASS(in.code)) {
      case BPF_LD:
        switch (BPF_MODE(in.code)) {
          case BPF_ABS:
          case BPF_IND: {
            uint64_t offset = in.k;
            if (BPF_MODE(in.code) == BPF_IND) offset += x;
            uint32_t size = BPF_SIZE(in.code) == BPF_W   ? 4
                            : BPF_SIZE(in.code) == BPF_H ? 2
                                                         : 1;
            if (!Load(frame, length, offset, size, &v)) return 0;
            a = v;
            break;
          }
          case BPF_LEN:
            a = length;
            break;
          case BPF_IMM:
            a = in.k;
            break;
          case BPF_MEM:
            if (in.k >= BPF_MEMWORDS) return 0;
            a = mem[in.k];
            break;
        }
        break;
      case BPF_LDX:
        switch (BPF_MODE(in.code)) {
          case BPF_IMM:
            x = in.k;
            break;
          case BPF_MEM:
            if (in.k >= BPF_MEMWORDS) return 0;
            x = mem[in.k];
            break;
          case BPF_LEN:
            x = length;
            break;
          case BPF_MSH:
            if (!Load(frame, length, in.k, 1, &v)) return 0;
            x = (v & 0xF) << 2;
            break;
        }
        break;
      case BPF_ST:
      case BPF_STX:
        if (in.k >= BPF_MEMWORDS) return 0;
        mem[in.k] = BPF_CLASS(in.code) == BPF_ST ? a : x;
        break;
      case BPF_ALU:
        switch (BPF_OP(in.code)) {
          case BPF_ADD:
            a += src;
            break;
          case BPF_SUB:
            a -= src;
            break;
          case BPF_MUL:
            a *= src;
            break;
          case BPF_DIV:
            if (src == 0) return 0;
            a /= src;
            break;
          case BPF_MOD:
            if (src == 0) return 0;
            a %= src;
            break;
          case BPF_OR:
            a |= src;
            break;
          case BPF_AND:
            a &= src;
            break;
          case BPF_XOR:
            a ^= src;
            break;
          case BPF_LSH:
            a = src >= 32 ? 0 : a << src;
            break;
          case BPF_RSH:
            a = src >= 32 ? 0 : a >> src;
            break;
          case BPF_NEG:
            a = 0u - a;
            break;
        }
        break;
      case BPF_JMP: {
        bool taken = false;
        switch (BPF_OP(in.code)) {
          case BPF_JA:
            pc += in.k;
            continue;
          case BPF_JEQ:
            taken = a == src;
            break;
          case BPF_JGT:
            taken = a > src;
            break;
          case BPF_JGE:
            taken = a >= src;
            break;
          case BPF_JSET:
            taken = (a & src) != 0;
            break;
        }
        pc += taken ? in.jt : in.jf;
        break;
      }
      case BPF_RET:
        return BPF_RVAL(in.code) == BPF_A ? a : in.k;
      case BPF_MISC:
        if (BPF_MISCOP(in.code) == BPF_TAX)
          x = a;
        else
          a = x;
        break;
    }
  }
  return 0;
}

}  // namespace kavex::pkio
