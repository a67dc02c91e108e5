// The library's own machinery on test LANs and a test module: handles,
// read blocks at any address, frames longer than a read block, frame-source
// modules, and the refusal without CAP_NET_RAW.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/log/logger.h"
#include "platform/pkio/frame_source.h"
#include "platform/pkio/pkiolib.h"
#include "platform/pkio/testing/test_lan.h"
#include "platform/pkio/testing/testing_support.h"

namespace kavex::pkio {
namespace {

using testing::PumpUntil;

NDIS_STATUS SetFilter(PKIO_HANDLE h, DWORD filter) {
  PKIO_NDIS_REQUEST r{
      PKIO_NDIS_SET, OID_GEN_CURRENT_PACKET_FILTER, &filter, 4, 0, 0};
  return Pkio_MakeNdisRequest(h, &r, nullptr, TRUE);
}

std::vector<uint8_t> Frame(size_t size, uint8_t tag) {
  std::vector<uint8_t> frame(size);
  for (size_t i = 0; i < size; ++i) frame[i] = static_cast<uint8_t>(i * 7);
  frame[0] = tag;
  return frame;
}

std::vector<std::string> EnumeratedNames() {
  std::vector<std::string> names;
  PKIO_HANDLE e = Pkio_OpenAdapterEnum();
  for (PKIO_HANDLE entry = Pkio_GetFirstAdapter(e);
       entry != PKIO_INVALID_HANDLE; entry = Pkio_GetNextAdapter(e)) {
    char name[256];
    DWORD size = sizeof name;
    if (Pkio_GetAdapterNdisNameA(entry, name, &size) == 0) {
      names.emplace_back(name);
    }
    Pkio_ReleaseAdapterEntry(entry);
  }
  Pkio_CloseAdapterEnum(e);
  return names;
}

TEST(PkioHandleTest, AHandleOfTheWrongKindIsRefusedAndHarmsNothing) {
  testing::DeclareTestLan("Kinds", "Kinds LAN");
  const PKIO_HANDLE adapter = Pkio_OpenAdapterA("\\Device\\Test\\Kinds");
  ASSERT_NE(adapter, PKIO_INVALID_HANDLE) << Pkio_GetLastErrorMessageA();
  const PKIO_HANDLE enumeration = Pkio_OpenAdapterEnum();
  ASSERT_NE(enumeration, PKIO_INVALID_HANDLE);
  const PKIO_HANDLE entry = Pkio_GetFirstAdapter(enumeration);
  ASSERT_NE(entry, PKIO_INVALID_HANDLE);
  EXPECT_NE(adapter, enumeration);
  EXPECT_NE(adapter, entry);
  EXPECT_NE(enumeration, entry);

  auto refused = [](BOOL result) {
    return !result && Pkio_GetLastError() == DWORD(ERROR_INVALID_HANDLE);
  };
  EXPECT_TRUE(refused(Pkio_CloseAdapterEnum(adapter)));
  EXPECT_TRUE(refused(Pkio_CloseAdapterEnum(entry)));
  EXPECT_TRUE(refused(Pkio_CloseAdapter(enumeration)));
  EXPECT_TRUE(refused(Pkio_CloseAdapter(entry)));
  EXPECT_TRUE(refused(Pkio_ReleaseAdapterEntry(adapter)));
  EXPECT_TRUE(refused(Pkio_ReleaseAdapterEntry(enumeration)));
  EXPECT_TRUE(refused(Pkio_SetTimestampResolution(enumeration, 1)));
  EXPECT_EQ(Pkio_GetFirstAdapter(adapter), PKIO_INVALID_HANDLE);
  EXPECT_EQ(Pkio_GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  char name[256];
  DWORD size = sizeof name;
  EXPECT_EQ(Pkio_GetAdapterNdisNameA(adapter, name, &size),
            DWORD(ERROR_INVALID_HANDLE));
  EXPECT_EQ(Pkio_GetAdapterFriendlyNameA(enumeration, name, &size),
            DWORD(ERROR_INVALID_HANDLE));

  // All three still work, and close with their own calls.
  size = sizeof name;
  EXPECT_EQ(Pkio_GetAdapterNdisNameA(entry, name, &size), 0u);
  EXPECT_TRUE(Pkio_SetTimestampResolution(adapter, 1));
  const PKIO_HANDLE next = Pkio_GetNextAdapter(enumeration);  // still open
  if (next == PKIO_INVALID_HANDLE) {
    EXPECT_EQ(Pkio_GetLastError(), DWORD(ERROR_NO_MORE_ITEMS));
  } else {
    EXPECT_TRUE(Pkio_ReleaseAdapterEntry(next));
  }
  EXPECT_TRUE(Pkio_ReleaseAdapterEntry(entry));
  EXPECT_TRUE(Pkio_CloseAdapterEnum(enumeration));
  EXPECT_TRUE(Pkio_CloseAdapter(adapter));
  EXPECT_TRUE(refused(Pkio_CloseAdapter(adapter)));
}

struct Completed {
  std::vector<std::vector<uint8_t>> frames;
  std::vector<DWORD> wire_lengths;
};
Completed* g_completed = nullptr;

void OnRead(DWORD error, DWORD bytes, OVERLAPPED* overlapped) {
  if (error != 0) return;
  auto* packet = static_cast<PKIO_PACKET*>(overlapped->Pointer);
  // By value: the block is packed and may sit at any address.
  const DWORD delivered = packet->Header.BytesDelivered;
  const DWORD wire_length = packet->Header.FrameLength;
  EXPECT_EQ(bytes, delivered);
  g_completed->frames.emplace_back(packet->Data, packet->Data + delivered);
  g_completed->wire_lengths.push_back(wire_length);
}

// Read blocks one after another in one allocation, as an array of packed
// blocks lays them out: every one at an odd address. The library reads and
// writes their fields by value (the sanitizer build aborts otherwise), and
// a frame longer than a block arrives cut, with its whole length reported.
TEST(PkioReadBlockTest, PackedBlocksAtOddAddressesAndFramesLongerThanABlock) {
  testing::DeclareTestLan("Packed", "Packed LAN");
  Completed completed;
  g_completed = &completed;
  PKIO_HANDLE h = Pkio_OpenAdapterA("\\Device\\Test\\Packed");
  ASSERT_NE(h, PKIO_INVALID_HANDLE) << Pkio_GetLastErrorMessageA();
  constexpr int kBlocks = 3;
  std::vector<BYTE> memory(1 + kBlocks * sizeof(PKIO_PACKET));
  std::vector<OVERLAPPED> overlapped(kBlocks);
  for (int i = 0; i < kBlocks; ++i) {
    auto* packet = reinterpret_cast<PKIO_PACKET*>(memory.data() + 1 +
                                                  i * sizeof(PKIO_PACKET));
    ASSERT_EQ(reinterpret_cast<uintptr_t>(packet) % 2, 1u);
    packet->BufferCapacity = PKIO_MAX_FRAME_SIZE;
    overlapped[i].Pointer = packet;
    ASSERT_FALSE(Pkio_PacketReadEx(h, packet, 0, &overlapped[i], OnRead));
    ASSERT_EQ(Pkio_GetLastError(), DWORD(ERROR_IO_PENDING));
  }
  ASSERT_EQ(SetFilter(h, 0x0C), NDIS_STATUS_SUCCESS);
  const std::vector<uint8_t> small = Frame(60, 1);
  const std::vector<uint8_t> full = Frame(1514, 2);
  const std::vector<uint8_t> jumbo = Frame(2000, 3);
  ASSERT_EQ(testing::SendOnTestLan("Packed", small), 1);
  ASSERT_EQ(testing::SendOnTestLan("Packed", full), 1);
  ASSERT_EQ(testing::SendOnTestLan("Packed", jumbo), 1);
  ASSERT_TRUE(PumpUntil([&] { return completed.frames.size() == 3; }));
  EXPECT_EQ(completed.frames[0], small);
  EXPECT_EQ(completed.frames[1], full);
  EXPECT_EQ(completed.frames[2],
            std::vector<uint8_t>(jumbo.begin(), jumbo.begin() + 1514));
  EXPECT_EQ(completed.wire_lengths, (std::vector<DWORD>{60, 1514, 2000}));
  EXPECT_TRUE(Pkio_CloseAdapter(h));
  g_completed = nullptr;
}

// Each kind of refusal is logged the first time, with the value refused
// and the adapter's name; calls that are refused again only fail.
TEST(PkioRefusalTest, RefusalsAreLoggedOnceWithTheValue) {
  testing::DeclareTestLan("Refuse", "Refusing LAN");
  log::Recorder recorder;
  log::ScopedSink sink(recorder.sink(log::Level::kWarning));
  PKIO_HANDLE h = Pkio_OpenAdapterA("\\Device\\Test\\Refuse");
  ASSERT_NE(h, PKIO_INVALID_HANDLE);
  const BYTE odd[5] = {};
  const bpf_insn no_return[] = {{0x28, 0, 0, 12}};
  const BYTE address[20] = {};
  const std::vector<uint8_t> runt(2, 0);
  for (int round = 0; round < 2; ++round) {
    EXPECT_FALSE(Pkio_SetBPFProgram(h, odd, sizeof odd));
    EXPECT_EQ(Pkio_GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(Pkio_SetBPFProgram(h, no_return, sizeof no_return));
    EXPECT_EQ(SetFilter(h, 0x1000), NDIS_STATUS_NOT_SUPPORTED);
    EXPECT_FALSE(Pkio_DisableLoopback(h, 6, sizeof address, address));
    EXPECT_FALSE(Pkio_PacketSend(h, runt.data(), 2, nullptr));
  }
  EXPECT_EQ(recorder.lines().size(), 5u);
  EXPECT_EQ(recorder.Count("a filter program of 5 bytes"), 1u);
  EXPECT_EQ(recorder.Count("filter program of 1 instructions"), 1u);
  EXPECT_EQ(recorder.Count("packet filter 0x00001000"), 1u);
  EXPECT_EQ(recorder.Count("loopback address of 20 bytes at offset 6"), 1u);
  EXPECT_EQ(recorder.Count("a frame of 2 bytes"), 1u);
  EXPECT_EQ(recorder.Count("\\Device\\Test\\Refuse"), 5u);
  EXPECT_TRUE(Pkio_CloseAdapter(h));
}

TEST(PkioFrameSourceTest, DeclaredModulesAreLoadedAndBadOnesReportedOnce) {
  testing::UsePrivateRegistry();
  log::Recorder recorder;
  log::ScopedSink sink(recorder.sink());
  ASSERT_TRUE(testing::DeclareFrameSourceModule("Missing",
                                                "/nonexistent/libnothing.so"));
  ASSERT_TRUE(testing::DeclareFrameSourceModule("NoEntry", KAVEX_LOG_LIBRARY));
  ASSERT_TRUE(
      testing::DeclareFrameSourceModule("Test", KAVEX_PKIO_TEST_SOURCE));
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kFrameSourcesKey, 0,
                          KEY_ALL_ACCESS, &key),
            ERROR_SUCCESS);
  const DWORD number = 7;
  ASSERT_EQ(RegSetValueExA(key, "Number", 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&number), 4),
            ERROR_SUCCESS);
  RegCloseKey(key);

  for (int round = 0; round < 3; ++round) {
    const std::vector<std::string> names = EnumeratedNames();
    auto one = std::find(names.begin(), names.end(), "\\Device\\Module\\one");
    ASSERT_NE(one, names.end());
    ASSERT_NE(one + 1, names.end());
    EXPECT_EQ(*(one + 1), "\\Device\\Module\\two");
  }
  // Opening goes to the module, which says why it will not.
  EXPECT_EQ(Pkio_OpenAdapterA("\\Device\\Module\\one"), PKIO_INVALID_HANDLE);
  EXPECT_EQ(Pkio_GetLastError(), 1167u);
  EXPECT_NE(std::string(Pkio_GetLastErrorMessageA()).find("test module"),
            std::string::npos);

  EXPECT_EQ(recorder.Count("/nonexistent/libnothing.so"), 1u);
  EXPECT_EQ(recorder.Count(std::string(KAVEX_LOG_LIBRARY) +
                           " has no Pkio_GetFrameSource"),
            1u);
  EXPECT_EQ(recorder.Count("\"Number\": a module path is REG_SZ"), 1u);
  for (const log::Recorder::Line& line : recorder.lines()) {
    EXPECT_EQ(line.category, "pkio");
  }
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, kFrameSourcesKey);
}

void EnumerateNothing(std::vector<AdapterListing>*) {}
std::unique_ptr<Adapter> OpenNothing(Adapter::Mode, const std::string&,
                                     DWORD* error, std::string* reason) {
  *error = ERROR_NOT_SUPPORTED;
  *reason = "opens nothing";
  return nullptr;
}

TEST(PkioFrameSourceTest, NamesGoToTheLongestPrefixAndClashesAreRefused) {
  testing::DeclareTestLan("Prefix", "Prefix LAN");
  log::Recorder recorder;
  log::ScopedSink sink(recorder.sink());
  static const FrameSourceType kClash = {
      "a clashing source", testing::kTestPrefix, PKIO_BINDING_USER,
      &EnumerateNothing, &OpenNothing};
  EXPECT_FALSE(AddFrameSource(&kClash));
  EXPECT_EQ(recorder.Count("are served already"), 1u);
  EXPECT_FALSE(AddFrameSource(nullptr));
  static const FrameSourceType kIncomplete = {
      "incomplete", "\\Device\\X\\", PKIO_BINDING_USER, nullptr, &OpenNothing};
  EXPECT_FALSE(AddFrameSource(&kIncomplete));
  static const FrameSourceType kDeeper = {
      "a deeper source", "\\Device\\Test\\Deeper\\", PKIO_BINDING_USER,
      &EnumerateNothing, &OpenNothing};
  EXPECT_TRUE(AddFrameSource(&kDeeper));
  EXPECT_TRUE(AddFrameSource(&kDeeper));  // again: harmless

  EXPECT_EQ(FindFrameSource("\\Device\\Test\\Deeper\\x"), &kDeeper);
  const FrameSourceType* test_lan = FindFrameSource("\\Device\\Test\\Prefix");
  ASSERT_NE(test_lan, nullptr);
  EXPECT_STREQ(test_lan->ndis_prefix, testing::kTestPrefix);
  EXPECT_STREQ(FindFrameSource("\\Device\\eth0")->ndis_prefix, "\\Device\\");
  EXPECT_EQ(FindFrameSource("eth0"), nullptr);

  PKIO_HANDLE h = Pkio_OpenAdapterA("\\Device\\Test\\Prefix");
  EXPECT_NE(h, PKIO_INVALID_HANDLE);
  Pkio_CloseAdapter(h);
  EXPECT_EQ(Pkio_OpenAdapterA("\\Device\\Test\\Deeper\\x"),
            PKIO_INVALID_HANDLE);
  EXPECT_EQ(Pkio_GetLastError(), DWORD(ERROR_NOT_SUPPORTED));
  // A name with a path inside is no interface.
  EXPECT_EQ(Pkio_OpenAdapterA("\\Device\\Other\\x"), PKIO_INVALID_HANDLE);
  EXPECT_EQ(Pkio_GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

TEST(PkioOpenTest, RealInterfaceWithoutCapNetRawIsAccessDenied) {
  // The loopback interface exists everywhere; a child without CAP_NET_RAW
  // must be refused, not hang or crash.
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) != 0) _exit(3);
    const uint32_t bit = 1u << (CAP_NET_RAW % 32);
    data[CAP_NET_RAW / 32].effective &= ~bit;
    data[CAP_NET_RAW / 32].permitted &= ~bit;
    if (syscall(SYS_capset, &header, data) != 0) _exit(3);
    PKIO_HANDLE h = Pkio_OpenAdapterA("\\Device\\lo");
    _exit(h == PKIO_INVALID_HANDLE && Pkio_GetLastError() == ERROR_ACCESS_DENIED
              ? 0
              : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace kavex::pkio
