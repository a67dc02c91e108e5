// Read packages: their layout, how a completion finds its package, and the
// texts of failed posts; and the version text.
#include "utilities/common/read_packages.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <regex>
#include <string>

#include "platform/base/results.h"
#include "utilities/common/version.h"
#include "utilities/common/testing/printed.h"

namespace kavex::utilities {
namespace {

using testing::Printed;

TEST(ReadPackagesTest, LayoutOfSingleAndMultiPacketPackages) {
  int owner = 0;
  auto single = ReadPackages::Allocate(ReadPackages::Kind::kPacket, 512,
                                       PKIO_MAX_FRAME_SIZE, &owner);
  ASSERT_TRUE(single);
  // 1,608 bytes each: 512 of them are the 804 KB Tapdump reports.
  EXPECT_EQ(single->package_size(), 1608u);
  EXPECT_EQ(single->count() * single->package_size() / 1024, 804u);
  for (size_t i = 0; i < single->count(); ++i) {
    ReadPackage* p = single->at(i);
    EXPECT_EQ(memcmp(&p->signature, "RECV", 4), 0);
    EXPECT_EQ(p->owner, &owner);
    EXPECT_EQ(ReadPackage::FromOverlapped(&p->overlapped), p);
    // The read structure ends inside the package.
    EXPECT_LE(reinterpret_cast<BYTE*>(p->packet()->Data) + PKIO_MAX_FRAME_SIZE,
              reinterpret_cast<BYTE*>(p) + single->package_size());
  }
  auto multi =
      ReadPackages::Allocate(ReadPackages::Kind::kBuffer, 4, 131072, &owner);
  ASSERT_TRUE(multi);
  EXPECT_GE(multi->package_size(),
            sizeof(ReadPackage) + offsetof(MPR_PACKET_BUFFER, Data) + 131072);
  EXPECT_FALSE(
      ReadPackages::Allocate(ReadPackages::Kind::kPacket, 0, 1514, &owner));
}

TEST(ReadPackagesTest, ForeignBlocksAreNotPackages) {
  EXPECT_EQ(ReadPackage::FromOverlapped(nullptr), nullptr);
  OVERLAPPED bare{};
  EXPECT_EQ(ReadPackage::FromOverlapped(&bare), nullptr);
  auto packages =
      ReadPackages::Allocate(ReadPackages::Kind::kPacket, 1, 64, nullptr);
  ReadPackage* p = packages->at(0);
  p->signature = 0x444E4553;  // "SEND"
  EXPECT_EQ(ReadPackage::FromOverlapped(&p->overlapped), nullptr);
}

TEST(ReadPackagesTest, PostingFillsTheCapacityAndReportsTheError) {
  auto packages =
      ReadPackages::Allocate(ReadPackages::Kind::kPacket, 1, 1000, nullptr);
  // A handle the library never gave: the post fails, and says why.
  EXPECT_EQ(packages->Post(RealPkio(), 0x7FFF0000, packages->at(0),
                           [](DWORD, DWORD, OVERLAPPED*) {}),
            static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(packages->at(0)->packet()->BufferCapacity, 1000u);
}

TEST(ReadPackagesTest, CompletionStatusAndFailureTexts) {
  EXPECT_EQ(CompletionStatus(0, 0), 0u);
  EXPECT_EQ(CompletionStatus(995, 0), 995u);
  EXPECT_EQ(CompletionStatus(0, 31), 31u);
  EXPECT_EQ(Printed([](FILE* out) {
              ReportPostFailure("Pkio_PacketReadEx", 997, out);
            }),
            "");
  EXPECT_EQ(Printed([](FILE* out) {
              ReportPostFailure("Pkio_PacketReadEx", 6, out);
            }),
            "Pkio_PacketReadEx Failed; Error: 0x00000006\n");
  EXPECT_EQ(Printed([](FILE* out) {
              ReportPostFailure("Pkio_PacketReadEx", 1450, out);
            }),
            "Pkio_PacketReadEx Failed; Error: 0x000005AA\n");
  EXPECT_EQ(Printed([](FILE* out) {
              ReportRepostFailure("MPR_ReadPacketBufferEx", 1450, out);
            }),
            "MPR_ReadPacketBufferEx Failed; ERROR_NO_SYSTEM_RESOURCES\n");
  EXPECT_EQ(Printed([](FILE* out) {
              ReportRepostFailure("MPR_ReadPacketBufferEx", 87, out);
            }),
            "MPR_ReadPacketBufferEx Failed; Error: 0x00000057\n");
  EXPECT_EQ(Printed([](FILE* out) { ReportRepostFailure("x", 997, out); }), "");
}

TEST(VersionTest, FourFieldsAndTheBuildsOwn) {
  EXPECT_EQ(FormatVersion(5, 3, 16, 58), "5.03.16.58");
  EXPECT_EQ(FormatVersion(10, 4, 0, 0), "10.04.00.00");
  EXPECT_EQ(FormatVersion(1, 123, 0x10005, 7), "1.123.05.07");
  EXPECT_TRUE(std::regex_match(
      VersionText(), std::regex("[0-9]+\\.[0-9]{2,}\\.[0-9]{2,}\\.[0-9]{2,}")))
      << VersionText();
}

TEST(VersionTest, HelpAndVersionOptions) {
  std::string args[] = {"prog", "/q", "--version"};
  char* argv[] = {args[0].data(), args[1].data(), args[2].data(), nullptr};
  bool answered = false;
  std::string text = Printed([&](FILE* out) {
    answered = AnswerHelpOrVersion(
        3, argv, "prog", [](FILE*) {}, out);
  });
  EXPECT_TRUE(answered);
  EXPECT_EQ(text, "prog " + VersionText() + "\n");
  args[2] = "--help";
  argv[2] = args[2].data();
  text = Printed([&](FILE* out) {
    answered = AnswerHelpOrVersion(
        3, argv, "prog", [](FILE* o) { fputs("help\n", o); }, out);
  });
  EXPECT_TRUE(answered);
  EXPECT_EQ(text, "help\n");
  args[2] = "-help";
  argv[2] = args[2].data();
  text = Printed([&](FILE* out) {
    answered = AnswerHelpOrVersion(
        3, argv, "prog", [](FILE*) {}, out);
  });
  EXPECT_FALSE(answered);
  EXPECT_EQ(text, "");
}

}  // namespace
}  // namespace kavex::utilities
