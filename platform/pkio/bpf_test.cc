#include "platform/pkio/bpf.h"

#include <gtest/gtest.h>
#include <linux/filter.h>

#include <vector>

namespace kavex::pkio {
namespace {

// The device's program: EtherType 0x8874 or nothing.
const std::vector<bpf_insn> kVeltoProgram = {{0x28, 0, 0, 12},
                                             {0x15, 0, 1, 0x8874},
                                             {0x06, 0, 0, 0xFFFFFFFF},
                                             {0x06, 0, 0, 0}};

std::vector<uint8_t> Frame(uint16_t ether_type, size_t size = 60) {
  std::vector<uint8_t> f(size, 0);
  f[12] = ether_type >> 8;
  f[13] = ether_type & 0xFF;
  return f;
}

TEST(BpfTest, VeltoProgramPassesOnlyItsEtherType) {
  ASSERT_TRUE(BpfValidate(kVeltoProgram));
  auto velto = Frame(0x8874);
  auto ip = Frame(0x0800);
  EXPECT_EQ(BpfRun(kVeltoProgram, velto.data(), 60), 0xFFFFFFFFu);
  EXPECT_EQ(BpfRun(kVeltoProgram, ip.data(), 60), 0u);
  // A runt frame without an EtherType never passes.
  EXPECT_EQ(BpfRun(kVeltoProgram, velto.data(), 13), 0u);
}

TEST(BpfTest, TcpOrUdpProgramWithIndexedLoadsAndScratch) {
  // tcp or udp (the dump utility's 6 + 6 - 1 instructions), then a header
  // length computed with ldxb and a load relative to it.
  const std::vector<bpf_insn> program = {
      {BPF_LD | BPF_H | BPF_ABS, 0, 0, 12},
      {BPF_JMP | BPF_JEQ | BPF_K, 0, 8, 0x0800},
      {BPF_LD | BPF_B | BPF_ABS, 0, 0, 23},
      {BPF_JMP | BPF_JEQ | BPF_K, 1, 0, 6},
      {BPF_JMP | BPF_JEQ | BPF_K, 0, 5, 17},
      {BPF_LDX | BPF_B | BPF_MSH, 0, 0, 14},
      {BPF_ST, 0, 0, 3},
      {BPF_LD | BPF_H | BPF_IND, 0, 0, 16},  // destination port
      {BPF_JMP | BPF_JEQ | BPF_K, 0, 1, 502},
      {BPF_RET | BPF_K, 0, 0, 96},
      {BPF_RET | BPF_K, 0, 0, 0},
  };
  ASSERT_TRUE(BpfValidate(program));
  auto f = Frame(0x0800, 80);
  f[14] = 0x45;  // IHL 5: 20 bytes
  f[23] = 6;
  f[14 + 20 + 2] = 502 >> 8;
  f[14 + 20 + 3] = 502 & 0xFF;
  EXPECT_EQ(BpfRun(program, f.data(), 80), 96u);
  f[23] = 17;
  EXPECT_EQ(BpfRun(program, f.data(), 80), 96u);
  f[23] = 1;
  EXPECT_EQ(BpfRun(program, f.data(), 80), 0u);
  f[23] = 6;
  EXPECT_EQ(BpfRun(program, f.data(), 37), 0u);  // port beyond the end
}

TEST(BpfTest, ValidateRejectsWhatTheKernelWould) {
  const std::vector<std::vector<bpf_insn>> bad = {
      {},
      {{BPF_LD | BPF_H | BPF_ABS, 0, 0, 12}},  // no return
      {{BPF_JMP | BPF_JEQ | BPF_K, 3, 0, 1}, {BPF_RET | BPF_K, 0, 0, 0}},
      {{BPF_JMP | BPF_JA, 0, 0, 1}, {BPF_RET | BPF_K, 0, 0, 0}},
      {{BPF_ALU | BPF_DIV | BPF_K, 0, 0, 0}, {BPF_RET | BPF_K, 0, 0, 0}},
      {{BPF_ST, 0, 0, 16}, {BPF_RET | BPF_K, 0, 0, 0}},
      {{BPF_LD | BPF_MEM, 0, 0, 99}, {BPF_RET | BPF_K, 0, 0, 0}},
      {{0xFFFF, 0, 0, 0}, {BPF_RET | BPF_K, 0, 0, 0}},
      std::vector<bpf_insn>(4097, {BPF_RET | BPF_K, 0, 0, 0}),
      // Found by fuzzing against the kernel: shifts by 32 or more, loads of
      // ancillary data, a scratch word read before it is written (here on
      // the path that jumps past the store).
      {{BPF_ALU | BPF_LSH | BPF_K, 0, 0, 32}, {BPF_RET | BPF_A, 0, 0, 0}},
      {{BPF_ALU | BPF_RSH | BPF_K, 0, 0, 0xFFFFFFFF},
       {BPF_RET | BPF_A, 0, 0, 0}},
      {{BPF_LD | BPF_W | BPF_ABS, 0, 0, static_cast<uint32_t>(SKF_AD_OFF) + 4},
       {BPF_RET | BPF_A, 0, 0, 0}},
      {{BPF_LDX | BPF_W | BPF_MEM, 0, 0, 3}, {BPF_RET | BPF_K, 0, 0, 0}},
      {{BPF_JMP | BPF_JEQ | BPF_K, 1, 0, 0},
       {BPF_ST, 0, 0, 5},
       {BPF_LD | BPF_MEM, 0, 0, 5},
       {BPF_RET | BPF_A, 0, 0, 0}},
  };
  for (size_t i = 0; i < bad.size(); ++i) {
    EXPECT_FALSE(BpfValidate(bad[i])) << "program " << i;
  }
  EXPECT_TRUE(
      BpfValidate(std::vector<bpf_insn>(4096, {BPF_RET | BPF_K, 0, 0, 0})));
  // Shifts by a register are checked at run time; a word stored on both
  // paths may be read where they meet.
  EXPECT_TRUE(
      BpfValidate(std::vector<bpf_insn>{{BPF_LDX | BPF_W | BPF_IMM, 0, 0, 40},
                                        {BPF_ALU | BPF_LSH | BPF_X, 0, 0, 0},
                                        {BPF_JMP | BPF_JEQ | BPF_K, 0, 2, 0},
                                        {BPF_ST, 0, 0, 5},
                                        {BPF_JMP | BPF_JA, 0, 0, 1},
                                        {BPF_STX, 0, 0, 5},
                                        {BPF_LD | BPF_MEM, 0, 0, 5},
                                        {BPF_RET | BPF_A, 0, 0, 0}}));
}

TEST(BpfTest, DivisionByZeroRegisterRejectsTheFrame) {
  const std::vector<bpf_insn> program = {{BPF_LDX | BPF_W | BPF_IMM, 0, 0, 0},
                                         {BPF_LD | BPF_IMM, 0, 0, 7},
                                         {BPF_ALU | BPF_DIV | BPF_X, 0, 0, 0},
                                         {BPF_RET | BPF_K, 0, 0, 1}};
  ASSERT_TRUE(BpfValidate(program));
  auto f = Frame(0x0800);
  EXPECT_EQ(BpfRun(program, f.data(), 60), 0u);
}

TEST(BpfDumpTest, PrintsTheThreeForms) {
  bpf_program program{static_cast<UINT>(kVeltoProgram.size()),
                      const_cast<bpf_insn*>(kVeltoProgram.data())};
  ::testing::internal::CaptureStdout();
  bpf_dump(&program, 1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "(000) ldh      [12]\n"
            "(001) jeq      #0x8874          jt 2\tjf 3\n"
            "(002) ret      #4294967295\n"
            "(003) ret      #0\n");
  ::testing::internal::CaptureStdout();
  bpf_dump(&program, 2);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "{ 0x28, 0, 0, 0x0000000c },\n"
            "{ 0x15, 0, 1, 0x00008874 },\n"
            "{ 0x6, 0, 0, 0xffffffff },\n"
            "{ 0x6, 0, 0, 0x00000000 },\n");
  ::testing::internal::CaptureStdout();
  bpf_dump(&program, 3);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "4\n40 0 0 12\n21 0 1 34932\n6 0 0 4294967295\n6 0 0 0\n");
}

}  // namespace
}  // namespace kavex::pkio
