// The protocol filter programs: classic BPF blocks, one per protocol, joined
// so that a frame is accepted when any selected protocol matches.
#ifndef KAVEX_UTILITIES_COMMON_FILTER_PROGRAM_H_
#define KAVEX_UTILITIES_COMMON_FILTER_PROGRAM_H_

#include <cstdio>
#include <span>
#include <vector>

#include "platform/pkio/pkiolib.h"
#include "utilities/common/pkio_api.h"

namespace kavex::utilities {

// Protocol codes of the /p tokens.
enum class Protocol {
  kIp = 1,
  kArp = 2,
  kRarp = 3,
  kNetBeui = 4,
  kAppleTalk = 5,
  kIpx = 6,
  kTcp = 7,
  kUdp = 8,
  kIcmp = 9,
  kIgmp = 10,
};

// The protocol's block; its last instruction is always ret #0, and every
// failing test of the block jumps (directly or through a later test) to it.
std::span<const bpf_insn> ProtocolBlock(Protocol protocol);

class FilterProgram {
 public:
  // Appends a block: the first one as it is, every later one written over
  // the program's last instruction (ret #0), so that a frame the program so
  // far rejects falls through to the new block. The count grows by the
  // block's length minus 1.
  void Append(std::span<const bpf_insn> block);
  void Append(Protocol protocol) { Append(ProtocolBlock(protocol)); }
  void Clear() { instructions_.clear(); }

  bool empty() const { return instructions_.empty(); }
  UINT count() const { return static_cast<UINT>(instructions_.size()); }
  const std::vector<bpf_insn>& instructions() const { return instructions_; }
  // For Pkio_SetBPFProgram: 8 bytes per instruction.
  DWORD length_bytes() const { return count() * sizeof(bpf_insn); }

 private:
  std::vector<bpf_insn> instructions_;
};

// Parses a /p argument ("+ip+arp", "tcp,udp"): case-insensitive tokens, each
// optionally preceded by "+", tried in the order arp, icmp, igmp, ipx, ip,
// rarp, tcp, udp, nb, at, all; text matching none is skipped one character
// at a time. Prints one "Protocol    : ..." line per token to out and builds
// the program ("all" empties what was built so far).
void ParseProtocolList(const char* text, FilterProgram* program, FILE* out);

// The dump of a non-empty program for dump levels 1 to 3: the level's
// header line to out, then bpf_dump of the program (which writes to
// standard output). Nothing for level 0 or an empty program.
void DumpFilterProgram(const PkioApi& api, const FilterProgram& program,
                       int level, FILE* out);

}  // namespace kavex::utilities

#endif  // KAVEX_UTILITIES_COMMON_FILTER_PROGRAM_H_
