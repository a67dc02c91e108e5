// bpf_dump: a filter program in the three classic printed forms.
#include <linux/filter.h>

#include <cstdio>
#include <string>

#include "platform/pkio/pkiolib.h"

namespace kavex::pkio {
namespace {

std::string Operand(const bpf_insn& in) {
  char buf[64];
  switch (BPF_CLASS(in.code)) {
    case BPF_LD:
    case BPF_LDX:
      switch (BPF_MODE(in.code)) {
        case BPF_ABS:
          snprintf(buf, sizeof buf, "[%u]", in.k);
          return buf;
        case BPF_IND:
          snprintf(buf, sizeof buf, "[x + %u]", in.k);
          return buf;
        case BPF_LEN:
          return "#pktlen";
        case BPF_IMM:
          snprintf(buf, sizeof buf, "#0x%x", in.k);
          return buf;
        case BPF_MEM:
          snprintf(buf, sizeof buf, "M[%u]", in.k);
          return buf;
        case BPF_MSH:
          snprintf(buf, sizeof buf, "4*([%u]&0xf)", in.k);
          return buf;
      }
      break;
    case BPF_ST:
    case BPF_STX:
      snprintf(buf, sizeof buf, "M[%u]", in.k);
      return buf;
    case BPF_RET:
      if (BPF_RVAL(in.code) == BPF_A) return "";
      snprintf(buf, sizeof buf, "#%u", in.k);
      return buf;
    case BPF_JMP:
      if (BPF_OP(in.code) == BPF_JA) {
        return "";
      }
      [[fallthrough]];
    case BPF_ALU:
      if (BPF_OP(in.code) == BPF_NEG) return "";
      if (BPF_SRC(in.code) == BPF_X) return "x";
      snprintf(buf, sizeof buf, "#0x%x", in.k);
      return buf;
  }
  return "";
}

const char* Mnemonic(const bpf_insn& in) {
  static const char* const kAlu[] = {"add", "sub", "mul", "div", "or", "and",
                                     "lsh", "rsh", "neg", "mod", "xor"};
  switch (BPF_CLASS(in.code)) {
    case BPF_LD:
      if (BPF_MODE(in.code) == BPF_ABS || BPF_MODE(in.code) == BPF_IND) {
        return BPF_SIZE(in.code) == BPF_W   ? "ld"
               : BPF_SIZE(in.code) == BPF_H ? "ldh"
                                            : "ldb";
      }
      return "ld";
    case BPF_LDX:
      return BPF_MODE(in.code) == BPF_MSH ? "ldxb" : "ldx";
    case BPF_ST:
      return "st";
    case BPF_STX:
      return "stx";
    case BPF_RET:
      return BPF_RVAL(in.code) == BPF_A ? "ret a" : "ret";
    case BPF_MISC:
      return BPF_MISCOP(in.code) == BPF_TAX ? "tax" : "txa";
    case BPF_ALU: {
      unsigned op = BPF_OP(in.code) >> 4;
      return op < sizeof kAlu / sizeof kAlu[0] ? kAlu[op] : "unimp";
    }
    case BPF_JMP:
      switch (BPF_OP(in.code)) {
        case BPF_JA:
          return "ja";
        case BPF_JEQ:
          return "jeq";
        case BPF_JGT:
          return "jgt";
        case BPF_JGE:
          return "jge";
        case BPF_JSET:
          return "jset";
      }
      break;
  }
  return "unimp";
}

void PrintReadable(const bpf_insn& in, unsigned pc) {
  std::string operand = Operand(in);
  if (BPF_CLASS(in.code) == BPF_JMP && BPF_OP(in.code) == BPF_JA) {
    printf("(%03u) %-8s %u\n", pc, "ja", pc + 1 + in.k);
  } else if (BPF_CLASS(in.code) == BPF_JMP) {
    printf("(%03u) %-8s %-16s jt %u\tjf %u\n", pc, Mnemonic(in),
           operand.c_str(), pc + 1 + in.jt, pc + 1 + in.jf);
  } else {
    printf("(%03u) %-8s %s\n", pc, Mnemonic(in), operand.c_str());
  }
}

}  // namespace
}  // namespace kavex::pkio

extern "C" void bpf_dump(const bpf_program* program, int level) {
  if (program == nullptr || program->bf_insns == nullptr) return;
  const bpf_insn* insns = program->bf_insns;
  if (level > 2) printf("%u\n", program->bf_len);
  for (unsigned i = 0; i < program->bf_len; ++i) {
    const bpf_insn& in = insns[i];
    if (level > 2) {
      printf("%u %u %u %u\n", in.code, in.jt, in.jf, in.k);
    } else if (level > 1) {
      printf("{ 0x%x, %u, %u, 0x%08x },\n", in.code, in.jt, in.jf, in.k);
    } else {
      kavex::pkio::PrintReadable(in, i);
    }
  }
  fflush(stdout);
}
