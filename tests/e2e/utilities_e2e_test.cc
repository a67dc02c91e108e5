// The five diagnostic utilities run as processes: their texts and exit
// codes, and, in a network namespace of the test's own with the veth pair
// kvx0 <-> kvx1, real frames received, filtered by the kernel and sent.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/pkio/pkiolib.h"
#include "platform/pkio/testing/testing_support.h"
#include "simulator/testing/simulated_lan.h"
#include "tests/e2e/child_process.h"
#include "tests/e2e/private_network.h"
#include "utilities/common/testing/frames.h"
#include "utilities/common/version.h"

namespace kavex::e2e {
namespace {

using utilities::VersionText;
namespace frames = utilities::testing;

const std::string kTapdump = KAVEX_TAPDUMP;
const std::string kBatchcap = KAVEX_BATCHCAP;
const std::string kRxprobe = KAVEX_RXPROBE;
const std::string kNetroster = KAVEX_NETROSTER;
const std::string kSendprobe = KAVEX_SENDPROBE;
const char kKvx0[] = "\\Device\\kvx0";
const char kKvx1[] = "\\Device\\kvx1";

const std::string kTapdumpUsage =
    "Usage: TAPDUMP /a AdapterName [ options ]\r\n\n"
    "    Example: TAPDUMP /a \\Device\\Ne20002\n"
    "\nWhere the \"AdapterName\" is really the exported DosDevice name\n"
    "of the MAC adapter.\n"
    "\nOptions:\n"
    "  /q   - QUIET Mode (Packets Not Displayed)\n"
    "  /s   - Send Test Packets\n"
    "  /le  - Loopback Enable (Default)\n"
    "  /ld  - Loopback Disable\n"
    "  /p proto - Specify Protocol To Accept\n"
    "  /d   - Dump BPF Filter Code\n"
    "  /go  - GO (Bypass ENTER-to-START Prompt)\n";

std::string TapdumpBanner() {
  return "Wirebay Packet Dump Utility APC Version " + VersionText() +
         "\nPrints the frames an adapter receives (with /q their rate) and, "
         "on Ctrl-C, the receive statistics.\n";
}

::testing::AssertionResult InOrder(const std::string& text,
                                   const std::vector<std::string>& parts) {
  size_t at = 0;
  for (const std::string& part : parts) {
    size_t found = text.find(part, at);
    if (found == std::string::npos) {
      return ::testing::AssertionFailure()
             << "\"" << part << "\" not found after offset " << at << " in:\n"
             << text;
    }
    at = found + part.size();
  }
  return ::testing::AssertionSuccess();
}

bool Exited(int status, int code) {
  return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}
bool KilledBy(int status, int signo) {
  return status >= 0 && WIFSIGNALED(status) && WTERMSIG(status) == signo;
}

// --- Inside the namespace -------------------------------------------------

// The kernel sends IPv6 neighbour traffic on links that come up; none of it
// may reach the programs under test.
void QuietLinks() {
  ASSERT_EQ(system("sysctl -qw net.ipv6.conf.all.disable_ipv6=1 "
                   "net.ipv6.conf.kvx0.disable_ipv6=1 "
                   "net.ipv6.conf.kvx1.disable_ipv6=1"),
            0);
}

// Waits until a packet socket on the interface receives (bound to every
// protocol): the program under test has set its packet filter.
bool WaitForReception(const char* ifname, int sockets = 1) {
  const std::string index = std::to_string(if_nametoindex(ifname));
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream in("/proc/net/packet");
    std::string line;
    std::getline(in, line);  // heading
    int found = 0;
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string sk, refs, type, proto, iface;
      fields >> sk >> refs >> type >> proto >> iface;
      if (proto == "0003" && iface == index) ++found;
    }
    if (found >= sockets) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

std::array<uint8_t, 6> MacOf(const char* ifname) {
  std::array<uint8_t, 6> mac{};
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  ifreq ifr{};
  strncpy(ifr.ifr_name, ifname, IFNAMSIZ - 1);
  if (ioctl(fd, SIOCGIFHWADDR, &ifr) == 0) {
    memcpy(mac.data(), ifr.ifr_hwaddr.sa_data, 6);
  }
  close(fd);
  return mac;
}

std::string MacText(const std::array<uint8_t, 6>& mac) {
  char text[32];
  snprintf(text, sizeof text, "%2.2X.%2.2X.%2.2X.%2.2X.%2.2X.%2.2X", mac[0],
           mac[1], mac[2], mac[3], mac[4], mac[5]);
  return text;
}

// Sends raw frames out of kvx0 through the library.
class Sender {
 public:
  Sender() : handle_(Pkio_OpenAdapterA(kKvx0)) {}
  ~Sender() { Pkio_CloseAdapter(handle_); }
  void Send(const std::vector<uint8_t>& frame) {
    ASSERT_TRUE(Pkio_PacketSend(handle_, frame.data(),
                                static_cast<DWORD>(frame.size()), nullptr))
        << Pkio_GetLastErrorMessageA();
  }

 private:
  PKIO_HANDLE handle_;
};

// Frames arriving on an interface (not the ones it sends), from a packet
// socket of the test's own.
class Listener {
 public:
  explicit Listener(const char* ifname) {
    fd_ = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
    sockaddr_ll addr{};
    addr.sll_family = AF_PACKET;
    addr.sll_protocol = htons(ETH_P_ALL);
    addr.sll_ifindex = static_cast<int>(if_nametoindex(ifname));
    bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    timeval tv{0, 100000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~Listener() { close(fd_); }

  // Frames with the type (bytes 12-13) until count came or the deadline.
  std::vector<std::vector<uint8_t>> Receive(uint16_t type, size_t count) {
    std::vector<std::vector<uint8_t>> got;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
      uint8_t buffer[2048];
      sockaddr_ll from{};
      socklen_t len = sizeof from;
      ssize_t n = recvfrom(fd_, buffer, sizeof buffer, 0,
                           reinterpret_cast<sockaddr*>(&from), &len);
      if (n < 14 || from.sll_pkttype == PACKET_OUTGOING) continue;
      if ((buffer[12] << 8 | buffer[13]) != type) continue;
      got.emplace_back(buffer, buffer + n);
    }
    return got;
  }

 private:
  int fd_ = -1;
};

std::vector<uint8_t> VeltoFrame() {
  std::vector<uint8_t> f(60);
  const uint8_t head[14] = {0x03, 0xC4, 0x7D, 0x00, 0x00, 0x01, 0x02,
                            0xC4, 0x7D, 0x00, 0x00, 0x2A, 0x88, 0x74};
  memcpy(f.data(), head, 14);
  for (size_t i = 14; i < f.size(); ++i) f[i] = static_cast<uint8_t>(0x30 + i);
  return f;
}

std::vector<uint8_t> Ieee8023Frame() {
  std::vector<uint8_t> f = VeltoFrame();
  f[12] = 0;
  f[13] = 46;
  return f;
}

// --- Without adapters -------------------------------------------------------

TEST(UtilitiesE2eTest, UsageHelpAndVersion) {
  {
    ChildProcess tapdump(kTapdump, {});
    EXPECT_TRUE(Exited(tapdump.Wait(), 0));
    EXPECT_EQ(tapdump.Output(), TapdumpBanner() + kTapdumpUsage);
  }
  {
    ChildProcess tapdump(kTapdump, {"/q", "/h"});
    EXPECT_TRUE(Exited(tapdump.Wait(), 1));
    EXPECT_EQ(tapdump.Output(),
              TapdumpBanner() + "Display Mode: Quiet\n" + kTapdumpUsage);
  }
  {
    ChildProcess tapdump(kTapdump, {"--help"});
    EXPECT_TRUE(Exited(tapdump.Wait(), 0));
    EXPECT_EQ(tapdump.Output(), kTapdumpUsage);
  }
  for (const auto& [path, name] :
       std::vector<std::pair<std::string, std::string>>{
           {kTapdump, "tapdump"},
           {kBatchcap, "batchcap"},
           {kRxprobe, "rxprobe"},
           {kNetroster, "netroster"},
           {kSendprobe, "sendprobe"}}) {
    ChildProcess program(path, {"--version"});
    EXPECT_TRUE(Exited(program.Wait(), 0)) << name;
    EXPECT_EQ(program.Output(), name + " " + VersionText() + "\n");
  }
  {
    ChildProcess batchcap(kBatchcap, {"/s", "/a"});  // no /s; /a without name
    EXPECT_TRUE(Exited(batchcap.Wait(), 0));
    EXPECT_TRUE(InOrder(batchcap.Output(),
                        {"Wirebay Multi-Packet Read (MPR) Utility - APC "
                         "Version " +
                             VersionText() + "\n",
                         "Usage: BATCHCAP /a AdapterName [ options ]\r\n\n"}));
    EXPECT_EQ(batchcap.Output().find("Send Packets"), std::string::npos);
    ChildProcess help(kBatchcap, {"/?"});
    EXPECT_TRUE(Exited(help.Wait(), 1));
  }
  {
    ChildProcess rxprobe(kRxprobe, {"/x"});
    EXPECT_TRUE(Exited(rxprobe.Wait(), 0));
    EXPECT_EQ(rxprobe.Output().rfind("Usage: Rxprobe /a AdapterName1", 0), 0u);
    ChildProcess help(kRxprobe, {"-H"});
    EXPECT_TRUE(Exited(help.Wait(), 1));
  }
}

TEST(UtilitiesE2eTest, FilterDumpAtEachLevel) {
  ChildProcess readable(kTapdump, {"/d", "/p", "tcp"});
  ChildProcess fragment(kTapdump, {"/dd", "/p", "tcp"});
  ChildProcess decimal(kTapdump, {"/ddd", "/p", "tcp"});
  ChildProcess nothing(kTapdump, {"/ddd"});
  for (ChildProcess* p : {&readable, &fragment, &decimal, &nothing}) {
    EXPECT_TRUE(Exited(p->Wait(), 0));
  }
  const std::string echo =
      "Dump Filter : %\nProtocol    : Transaction Control Protocol (TCP)\n";
  auto with_level = [&](char level) {
    std::string e = echo;
    e[e.find('%')] = level;
    return TapdumpBanner() + e;
  };
  EXPECT_EQ(readable.Output(),
            with_level('1') +
                "BPF Filter Dump - As Compiled Human Readable Form\n"
                "(000) ldh      [12]\n"
                "(001) jeq      #0x800           jt 2\tjf 5\n"
                "(002) ldb      [23]\n"
                "(003) jeq      #0x6             jt 4\tjf 5\n"
                "(004) ret      #4294967295\n"
                "(005) ret      #0\n" +
                kTapdumpUsage);
  EXPECT_EQ(fragment.Output(), with_level('2') +
                                   "BPF Filter Dump - As  C Program Fragment\n"
                                   "{ 0x28, 0, 0, 0x0000000c },\n"
                                   "{ 0x15, 0, 3, 0x00000800 },\n"
                                   "{ 0x30, 0, 0, 0x00000017 },\n"
                                   "{ 0x15, 0, 1, 0x00000006 },\n"
                                   "{ 0x6, 0, 0, 0xffffffff },\n"
                                   "{ 0x6, 0, 0, 0x00000000 },\n" +
                                   kTapdumpUsage);
  EXPECT_EQ(decimal.Output(),
            with_level('3') +
                "BPF Filter Dump - As Decimal Numbers\n"
                "6\n40 0 0 12\n21 0 3 2048\n48 0 0 23\n21 0 1 6\n"
                "6 0 0 4294967295\n6 0 0 0\n" +
                kTapdumpUsage);
  EXPECT_EQ(nothing.Output(),
            TapdumpBanner() + "Dump Filter : 3\n" + kTapdumpUsage);
}

// The programs in the notation they are described in ("ldh [12]; jgt
// #1500 jt 12; ...", jt and jf 0 unless given), as the decimal dump lists
// them: the count, then "code jt jf k" per instruction.
std::string Decimal(const std::string& listing) {
  std::vector<std::string> lines;
  std::stringstream in(listing);
  std::string item;
  while (std::getline(in, item, ';')) {
    std::stringstream words(item);
    std::string op, operand, word;
    words >> op >> operand;
    unsigned jt = 0, jf = 0;
    while (words >> word) {
      unsigned n = 0;
      words >> n;
      (word == "jt" ? jt : jf) = n;
    }
    const std::string digits = operand.substr(1, operand.find(']') - 1);
    const unsigned long long k =
        digits == "-1" ? 0xFFFFFFFFull : std::stoull(digits, nullptr, 0);
    const unsigned code = op == "ldh"   ? 0x28
                          : op == "ldb" ? 0x30
                          : op == "jgt" ? 0x25
                          : op == "jeq" ? 0x15
                                        : 0x06;
    lines.push_back(std::to_string(code) + " " + std::to_string(jt) + " " +
                    std::to_string(jf) + " " + std::to_string(k));
  }
  std::string text = std::to_string(lines.size()) + "\n";
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

TEST(UtilitiesE2eTest, EveryTokensProgramAsDescribed) {
  const std::string snap_to_15 =
      "ldb [14]; jeq #0xAA jf 11; ldb [15]; jeq #0xAA jf 9; ldb [16]; "
      "jeq #0x03 jf 7; ldb [17]; jeq #0 jf 5; ldh [18]; jeq #0 jf 3; ";
  auto resolution = [&](const std::string& type) {
    return "ldh [12]; jgt #1500 jt 13; " + snap_to_15 + "ldh [20]; jeq #" +
           type + " jf 1; ret #-1; ldh [12]; jeq #" + type +
           " jf 1; ret #-1; ret #0";
  };
  auto access_point = [](const std::string& sap) {
    return "ldh [12]; jgt #1500 jt 5; ldb [14]; jeq #" + sap +
           " jf 3; ldb [15]; jeq #" + sap + " jf 1; ret #-1; ret #0";
  };
  auto ip_protocol = [](const std::string& protocol) {
    return "ldh [12]; jeq #0x0800 jf 3; ldb [23]; jeq #" + protocol +
           " jf 1; ret #-1; ret #0";
  };
  const std::vector<std::pair<std::string, std::string>> programs = {
      {"ip",
       "ldh [12]; jgt #1500 jt 12 jf 0; ldb [14]; jeq #0xAA jf 13; ldb [15]; "
       "jeq #0xAA jf 11; ldb [16]; jeq #0x03 jf 9; ldb [17]; jeq #0 jf 7; "
       "ldh [18]; jeq #0 jf 5; ldh [20]; jeq #0x0800 jt 2 jf 3; ldh [12]; "
       "jeq #0x0800 jf 1; ret #-1; ret #0"},
      {"arp", resolution("0x0806")},
      {"rarp", resolution("0x8035")},
      {"nb", access_point("0xF0")},
      {"ipx", access_point("0xFF")},
      {"at",
       "ldh [12]; jgt #1500 jt 13; ldb [14]; jeq #0xAA jf 11; ldb [15]; "
       "jeq #0xAA jf 9; ldb [16]; jeq #0x03 jf 7; ldb [17]; jeq #0x08 jf 5; "
       "ldh [18]; jeq #0x07 jf 3; ldh [20]; jeq #0x809B jf 1; ret #-1; "
       "ret #0"},
      {"tcp", ip_protocol("6")},
      {"udp", ip_protocol("17")},
      {"icmp", ip_protocol("1")},
      {"igmp", ip_protocol("2")},
  };
  for (const auto& [token, listing] : programs) {
    ChildProcess tapdump(kTapdump, {"/ddd", "/p", token});
    ASSERT_TRUE(Exited(tapdump.Wait(), 0));
    const std::string out = tapdump.Output();
    const std::string header = "BPF Filter Dump - As Decimal Numbers\n";
    const size_t at = out.find(header);
    ASSERT_NE(at, std::string::npos) << token;
    const std::string dump =
        out.substr(at + header.size(), out.find("Usage:") - at - header.size());
    EXPECT_EQ(dump, Decimal(listing)) << token;
  }
}

// --- Tapdump ----------------------------------------------------------------

void TapdumpPrintsFramesBody() {
  QuietLinks();
  Sender sender;
  ChildProcess tapdump(kTapdump, {"/a", kKvx1, "/go"});
  ASSERT_TRUE(WaitForReception("kvx1")) << tapdump.Output();
  sender.Send(VeltoFrame());
  sender.Send(Ieee8023Frame());
  ASSERT_TRUE(tapdump.WaitForOutput("Packet No.: 0000000002"))
      << tapdump.Output();
  ASSERT_TRUE(tapdump.WaitForOutput("\n000030:  ", 2));  // both whole
  tapdump.Signal(SIGINT);
  ASSERT_TRUE(tapdump.WaitForOutput(
      "\nPress Any Key To Exit After Examining Statistics...\n"));
  tapdump.Write("\n");
  EXPECT_TRUE(Exited(tapdump.Wait(), 0));

  const std::string out = tapdump.Output();
  EXPECT_TRUE(InOrder(
      out,
      {TapdumpBanner(), "Auto Run    : On\n",
       "AdapterName : \"\\Device\\kvx1\"\n", "Adapter Opened\n",
       "Adapter Information:\n\n", "Description    : veth Ethernet adapter\n",
       "Adapter Medium : 802.3\n",
       "Adapter Address: " + MacText(MacOf("kvx1")) + "\n",
       "Starting Packet Reception...\n", "Set High-Resolution Timestamp Mode\n",
       "Using 512 Read Packages (804KB)\n"}));
  const std::regex first(
      "Packet No\\.: 0000000001            Time: [0-9]{10} msec       "
      "Length: 60/60\n"
      "Ethernet Dest: 03\\.C4\\.7D\\.00\\.00\\.01   Src:  "
      "02\\.C4\\.7D\\.00\\.00\\.2A    Type: 0x8874\n"
      "000000:  03 C4 7D 00 00 01 02 C4 : 7D 00 00 2A 88 74 3E 3F    "
      "\\.\\.\\}\\.\\.\\.\\.\\.\\}\\.\\.\\*\\.t>\\?\n"
      "000010:  40 41 42 43 44 45 46 47 : 48 49 4A 4B 4C 4D 4E 4F    "
      "@ABCDEFGHIJKLMNO\n"
      "000020:  50 51 52 53 54 55 56 57 : 58 59 5A 5B 5C 5D 5E 5F    "
      "PQRSTUVWXYZ\\[\\\\\\]\\^_\n"
      "000030:  60 61 62 63 64 65 66 67 : 68 69 6A 6B                "
      "`abcdefghijk\\.\\.\\.\\.\n"
      "\n"
      "Packet No\\.: 0000000002            Time: [0-9]{10} msec       "
      "Length: 60/60\n"
      "802\\.3    Dest: 03\\.C4\\.7D\\.00\\.00\\.01   Src:  "
      "02\\.C4\\.7D\\.00\\.00\\.2A    Length: 46\n"
      "000000:  03 C4 7D 00 00 01 02 C4 : 7D 00 00 2A 00 2E 3E 3F ");
  EXPECT_TRUE(std::regex_search(out, first)) << out;
  EXPECT_TRUE(InOrder(
      out, {"\nStopping Packet Reception\n", "Application Statistics:\n",
            "  Elapsed Time                : ",
            "  Received Packet Count       : 2\n"
            "  Received Byte Count         : 120\n"
            "      Sent Packet Count       : 0\n"
            "Pending Send APC Count        : 0\n"
            "      Sent C/D/I Counts       : 0/0/0\n\n"
            "Protocol Statistics:\n"
            "  Driver Description          : Kavex Pkiolib packet driver "
            "(AF_PACKET)\n"
            "  Received Packet Count       : 2\n"
            "    Rx Missed, Kernel Resource: 0\n"
            "    Rx Missed, User Resource  : 0\n"
            "  Sent Packet Count           : 0\n"
            "    Tx Missed, Kernel Resource: 0\n",
            "\nPress Any Key To Exit After Examining Statistics...\n"}));
  EXPECT_EQ(ChildProcess::Count(out, "Packet No."), 2);
  EXPECT_EQ(out.find("\033]"), std::string::npos);  // no terminal, no title
}

TEST(UtilitiesE2eTest, TapdumpPrintsFramesAndStatistics) {
  InPrivateNetwork(TapdumpPrintsFramesBody);
}

void TapdumpCtrlCBody() {
  QuietLinks();
  {
    // At the ENTER prompt no handler is installed yet: Ctrl-C ends it.
    ChildProcess tapdump(kTapdump, {"/a", kKvx1});
    ASSERT_TRUE(tapdump.WaitForOutput("\nPress ENTER To Start...\n"));
    tapdump.Signal(SIGINT);
    EXPECT_TRUE(KilledBy(tapdump.Wait(), SIGINT));
    EXPECT_EQ(tapdump.Output().find("Stopping"), std::string::npos);
  }
  {
    // No standard input at all: no prompt holds it up; the end comes with
    // Ctrl-C (here SIGTERM, the close event).
    ChildOptions no_stdin;
    no_stdin.close_stdin = true;
    ChildProcess tapdump(kTapdump, {"/a", kKvx1}, no_stdin);
    ASSERT_TRUE(WaitForReception("kvx1"));
    tapdump.Signal(SIGTERM);
    EXPECT_TRUE(Exited(tapdump.Wait(), 0));
    EXPECT_TRUE(
        InOrder(tapdump.Output(),
                {"\nPress ENTER To Start...\n", "Press Ctrl-C To Exit...\n",
                 "\nStopping Packet Reception\n",
                 "Press Any Key To Exit After Examining Statistics"}));
  }
  {
    // At the last prompt the adapter is closed: Ctrl-C is not handled.
    ChildProcess tapdump(kTapdump, {"/a", kKvx1, "/go", "/q"});
    ASSERT_TRUE(WaitForReception("kvx1"));
    tapdump.Signal(SIGINT);
    ASSERT_TRUE(tapdump.WaitForOutput("Press Any Key To Exit"));
    tapdump.Signal(SIGINT);
    EXPECT_TRUE(KilledBy(tapdump.Wait(), SIGINT));
    EXPECT_EQ(ChildProcess::Count(tapdump.Output(), "Stopping Packet"), 1);
  }
  {
    // Standard input closed by the other end: the prompts pass.
    ChildProcess tapdump(kTapdump, {"/a", kKvx1});
    tapdump.CloseStdin();
    ASSERT_TRUE(WaitForReception("kvx1"));
    tapdump.Signal(SIGINT);
    EXPECT_TRUE(Exited(tapdump.Wait(), 0));
  }
}

TEST(UtilitiesE2eTest, TapdumpCtrlCAtEveryStage) {
  InPrivateNetwork(TapdumpCtrlCBody);
}

// Each program the kernel runs lets through the frames its protocols
// define; a RARP block added to each marks the end of the frames sent.
void TapdumpKernelFiltersBody() {
  QuietLinks();
  Sender sender;
  struct Case {
    std::string list;
    std::vector<std::string> in_effect;  // the tokens that make the program
  };
  const std::vector<Case> cases = {{"ip", {"ip"}},
                                   {"arp", {"arp"}},
                                   {"tcp", {"tcp"}},
                                   {"udp", {"udp"}},
                                   {"icmp", {"icmp"}},
                                   {"igmp", {"igmp"}},
                                   {"ipx", {"ipx"}},
                                   {"nb", {"nb"}},
                                   {"at", {"at"}},
                                   {"tcp,udp", {"tcp", "udp"}},
                                   {"nb+ipx+at", {"nb", "ipx", "at"}},
                                   {"ip+all+arp", {"arp"}},
                                   {"icmp+igmp+arp", {"icmp", "igmp", "arp"}}};
  for (const Case& c : cases) {
    const std::string& list = c.list;
    ChildProcess tapdump(kTapdump, {"/go", "/p", list + "+rarp", "/a", kKvx1});
    ASSERT_TRUE(WaitForReception("kvx1")) << list << tapdump.Output();
    // The socket is there before its reads are posted, and frames that
    // come before are not kept: send the set again until its last frame,
    // which every program passes, is printed.
    bool printed_marker = false;
    for (int round = 0; round < 10 && !printed_marker; ++round) {
      for (int k = 0; k < frames::kKindCount; ++k) {
        if (k == frames::kShort) continue;  // too short to send
        sender.Send(frames::Frame(frames::Kind(k), static_cast<uint8_t>(k)));
      }
      sender.Send(frames::Frame(frames::kRarp, 0xEE));
      printed_marker = tapdump.WaitForOutputFor("02.00.00.00.00.EE",
                                                std::chrono::seconds(3));
    }
    ASSERT_TRUE(printed_marker) << list << tapdump.Output();
    tapdump.Signal(SIGINT);
    tapdump.CloseStdin();
    ASSERT_TRUE(Exited(tapdump.Wait(), 0));

    std::set<int> expected = {frames::kRarp};
    for (const std::string& token : c.in_effect) {
      const std::set<frames::Kind>& kinds = frames::AcceptedKinds().at(token);
      expected.insert(kinds.begin(), kinds.end());
    }
    std::set<int> printed;
    const std::string out = tapdump.Output();
    std::regex source("Src:  02\\.00\\.00\\.00\\.00\\.([0-9A-F]{2})");
    for (auto it = std::sregex_iterator(out.begin(), out.end(), source);
         it != std::sregex_iterator(); ++it) {
      const int tag = std::stoi((*it)[1], nullptr, 16);
      printed.insert(tag == 0xEE ? int(frames::kRarp) : tag);
    }
    EXPECT_EQ(printed, expected) << list;
  }
}

TEST(UtilitiesE2eTest, TapdumpFiltersInTheKernel) {
  InPrivateNetwork(TapdumpKernelFiltersBody);
}

void TapdumpSendsBody() {
  QuietLinks();
  const std::array<uint8_t, 6> own = MacOf("kvx1");
  Listener listener("kvx0");
  ChildProcess tapdump(kTapdump, {"/go", "/s", "/a", kKvx1});
  std::vector<std::vector<uint8_t>> got = listener.Receive(0x6000, 20);
  ASSERT_EQ(got.size(), 20u) << tapdump.Output();
  for (size_t i = 0; i < got.size(); ++i) {
    const std::vector<uint8_t>& f = got[i];
    ASSERT_EQ(f.size(), 64u);
    EXPECT_EQ(std::vector<uint8_t>(f.begin(), f.begin() + 6),
              std::vector<uint8_t>(6, 0xFF));
    EXPECT_TRUE(std::equal(own.begin(), own.end(), f.begin() + 6));
    EXPECT_EQ(std::string(f.begin() + 14, f.end()),
              std::string(50, static_cast<char>('A' + i)));
  }
  ASSERT_TRUE(tapdump.WaitForOutput("Sending 802.3 Test Packet...", 20));
  tapdump.Signal(SIGINT);
  ASSERT_TRUE(tapdump.WaitForOutput("Press Any Key To Exit"));
  tapdump.CloseStdin();
  EXPECT_TRUE(Exited(tapdump.Wait(), 0));
  // Completions run in the send thread's next wait, which Ctrl-C may come
  // before: every frame issued is either completed or still pending.
  const std::string out = tapdump.Output();
  std::smatch m;
  ASSERT_TRUE(std::regex_search(
      out, m,
      std::regex("      Sent Packet Count       : ([0-9]+)\n"
                 "Pending Send APC Count        : ([0-9]+)\n"
                 "      Sent C/D/I Counts       : 20/([0-9]+)/0\n")))
      << out;
  EXPECT_EQ(std::stoi(m[1]) + std::stoi(m[2]), 20);
  EXPECT_EQ(m[3], m[1]);
  // The driver counts a frame once it is out; the last may be on its way.
  std::smatch driver;
  ASSERT_TRUE(std::regex_search(
      out, driver,
      std::regex("Protocol Statistics:\n(?:.*\n){4}  Sent Packet Count      "
                 "     : ([0-9]+)\n")));
  EXPECT_GE(std::stoi(driver[1]), std::stoi(m[1]));
  EXPECT_LE(std::stoi(driver[1]), 20);
}

TEST(UtilitiesE2eTest, TapdumpSendsTestFrames) {
  InPrivateNetwork(TapdumpSendsBody);
}

// Frames leaving the adapter with its own station address as source (sent
// by another program on this machine) are shown with loopback enabled and
// dropped with /ld; a frame from the other end marks the end.
void TapdumpLoopbackBody() {
  QuietLinks();
  const std::array<uint8_t, 6> own = MacOf("kvx1");
  for (bool loopback : {true, false}) {
    std::vector<std::string> args = {"/go", "/a", kKvx1};
    if (!loopback) args.push_back("/ld");
    ChildProcess tapdump(kTapdump, args);
    ASSERT_TRUE(WaitForReception("kvx1"));
    const PKIO_HANDLE local = Pkio_OpenAdapterA(kKvx1);
    std::vector<uint8_t> mine = VeltoFrame();
    memcpy(&mine[6], own.data(), 6);
    mine[12] = 0x60;
    mine[13] = 0x00;
    ASSERT_TRUE(Pkio_PacketSend(local, mine.data(), 60, nullptr));
    Pkio_CloseAdapter(local);
    Sender().Send(VeltoFrame());
    ASSERT_TRUE(tapdump.WaitForOutput("Src:  02.C4.7D.00.00.2A"));
    tapdump.Signal(SIGINT);
    tapdump.CloseStdin();
    EXPECT_TRUE(Exited(tapdump.Wait(), 0));
    const std::string out = tapdump.Output();
    EXPECT_EQ(ChildProcess::Count(out, "Type: 0x6000\n"), loopback ? 1 : 0)
        << out;
    EXPECT_EQ(ChildProcess::Count(out, "Packet No."), loopback ? 2 : 1);
  }
}

TEST(UtilitiesE2eTest, TapdumpLoopback) {
  InPrivateNetwork(TapdumpLoopbackBody);
}

void TapdumpFailuresBody() {
  {
    ChildProcess tapdump(kTapdump, {"/a", "\\Device\\nothere"});
    EXPECT_TRUE(Exited(tapdump.Wait(), 0));
    EXPECT_TRUE(InOrder(tapdump.Output(),
                        {"AdapterName : \"\\Device\\nothere\"\n",
                         "Could Not Open Adapter; Error 0x00000002\n"}));
  }
  for (const std::string& program : {kTapdump, kBatchcap}) {
    ChildOptions nobody;
    nobody.uid = 65534;
    ChildProcess p(program, {"/a", kKvx1, "/go"}, nobody);
    EXPECT_TRUE(Exited(p.Wait(), 0)) << program;
    const std::string out = p.Output();
    EXPECT_TRUE(InOrder(out, {"Could Not Open Adapter; Error 0x00000005\n"
                              "Capturing needs the CAP_NET_RAW capability"}))
        << program;
    EXPECT_EQ(out.find("Adapter Opened"), std::string::npos);
  }
  {
    ChildOptions nobody;
    nobody.uid = 65534;
    ChildProcess rxprobe(kRxprobe, {"/a", kKvx1}, nobody);
    EXPECT_TRUE(Exited(rxprobe.Wait(), 0));
    EXPECT_NE(rxprobe.Output().find("Could Not Open Adapter; Error "
                                    "0x00000005\nCapturing needs the "
                                    "CAP_NET_RAW capability"),
              std::string::npos);
  }
}

TEST(UtilitiesE2eTest, OpenFailures) { InPrivateNetwork(TapdumpFailuresBody); }

void TapdumpQuietBody() {
  QuietLinks();
  Sender sender;
  ChildProcess tapdump(kTapdump, {"/q", "/go", "/a", kKvx1});
  ASSERT_TRUE(WaitForReception("kvx1"));
  for (int i = 0; i < 10; ++i) sender.Send(VeltoFrame());
  ASSERT_TRUE(tapdump.WaitForOutput("Elapsed: "));  // after 5 s
  ASSERT_TRUE(tapdump.WaitForOutput(" Ave RxPkt Rate: "));
  tapdump.Signal(SIGINT);
  tapdump.CloseStdin();
  EXPECT_TRUE(Exited(tapdump.Wait(), 0));
  const std::string out = tapdump.Output();
  EXPECT_TRUE(std::regex_search(
      out, std::regex("\nElapsed: [0-9]+\\.[0-9]{2} Sec; RxBytes: 600; RxPkt: "
                      "10\n   Ave RxByte Rate: [0-9]+; Ave RxPkt Rate: [0-9]+\n"
                      "\n")))
      << out;
  EXPECT_EQ(out.find("Packet No."), std::string::npos);
}

TEST(UtilitiesE2eTest, TapdumpQuietProgress) {
  InPrivateNetwork(TapdumpQuietBody);
}

// --- Batchcap ---------------------------------------------------------------

void BatchcapBody() {
  QuietLinks();
  ChildProcess batchcap(kBatchcap, {"/go", "/a", kKvx1});
  ASSERT_TRUE(WaitForReception("kvx1")) << batchcap.Output();
  const std::string command =
      std::string(KAVEX_VELTO_SIM) +
      " -i kvx0 -q --fast -c 300 -e 'switch 02.C4.7D.00.00.01 type=1 ports=24 "
      "info=0 cpu=0'";
  ASSERT_EQ(system(command.c_str()), 0);
  ASSERT_TRUE(batchcap.WaitForOutput("Packet No.: 0000000300"))
      << batchcap.Output();
  ASSERT_TRUE(batchcap.WaitForOutput("\n\n", 300));
  batchcap.Signal(SIGINT);
  // It ends without waiting for a key (standard input stays open).
  EXPECT_TRUE(Exited(batchcap.Wait(), 0));
  const std::string out = batchcap.Output();
  EXPECT_TRUE(InOrder(
      out, {"Wirebay Multi-Packet Read (MPR) Utility - APC Version ",
            "Adapter Opened\n", "Description    : veth Ethernet adapter\n",
            "Using 4 Read Packages (512KB)\n",
            "Packet No.: 0000000001              SYS Time: ",
            " msec  Length: 192/192\n"
            "Ethernet Dest: 03.C4.7D.00.00.01   Src:  02.C4.7D.00.00.01    "
            "Type: 0x8874\n",
            "\nStopping Packet Reception\n", "Application Statistics:\n",
            "  Received Buffer Count       : ",
            "  Received Packet Count       : 300\n"
            "  Received Byte Count         : 57600\n\n"
            "Protocol Statistics:\n"}));
  EXPECT_EQ(out.find("LOST PACKET"), std::string::npos);
  EXPECT_EQ(out.find("Press Any Key"), std::string::npos);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(
      out, m, std::regex("Received Buffer Count       : ([0-9]+)\n")));
  // Many frames to a buffer.
  EXPECT_LT(std::stoi(m[1]), 300);
  EXPECT_GE(std::stoi(m[1]), 1);
}

TEST(UtilitiesE2eTest, BatchcapReadsBuffersOfFrames) {
  InPrivateNetwork(BatchcapBody);
}

// --- Rxprobe ----------------------------------------------------------------

void RxprobeBody() {
  QuietLinks();
  {
    ChildProcess rxprobe(kRxprobe, {"/a", kKvx1, "/b", kKvx0});
    ASSERT_TRUE(
        rxprobe.WaitForOutput("Press ENTER To Start Receiving Packets...\n"));
    rxprobe.Write("\n");
    ASSERT_TRUE(WaitForReception("kvx1"));
    ASSERT_TRUE(WaitForReception("kvx0"));
    Sender sender;  // its frame leaves kvx0 and arrives on kvx1
    sender.Send(VeltoFrame());
    ASSERT_TRUE(
        rxprobe.WaitForOutput("Received A 60 Packet On Adapter 0x00000001\n"));
    ASSERT_TRUE(
        rxprobe.WaitForOutput("Received A 60 Packet On Adapter 0x00000002\n"));
    rxprobe.Signal(SIGTERM);
    EXPECT_TRUE(Exited(rxprobe.Wait(), 0));
    const std::string out = rxprobe.Output();
    EXPECT_TRUE(InOrder(
        out, {"Description: \"veth Ethernet adapter\"\n"
              "Maximum Total Size: 1514\n"
              "Media In Use: 0\n"
              "Adapter No. 1 Opened\n"
              "Media Connect Status: Connected\n"
              "Description: \"veth Ethernet adapter\"\n"
              "Maximum Total Size: 1514\n"
              "Media In Use: 0\n"
              "Adapter No. 2 Opened\n"
              "Media Connect Status: Connected\n"
              "\nPress ENTER To Start Receiving Packets...\n"
              "Reception Started\n"
              "Press Ctrl-C To Exit\n",
              "ReadCompleteAcpNT: Entry...\nHandleReadComplete: Entry...\n"
              "Received A 60 Packet On Adapter ",
              "CtrlHandler: 0x00000002\n", "Shuting Down...\n"}));
    EXPECT_EQ(ChildProcess::Count(out, "Received A "), 2);
  }
  {
    // Ctrl-C at the prompt ends it; so does nothing else.
    ChildProcess rxprobe(kRxprobe, {"/b", kKvx0});
    ASSERT_TRUE(
        rxprobe.WaitForOutput("Press ENTER To Start Receiving Packets...\n"));
    EXPECT_EQ(rxprobe.Output().find("Adapter No. 1"), std::string::npos);
    rxprobe.Signal(SIGINT);
    EXPECT_TRUE(KilledBy(rxprobe.Wait(), SIGINT));
  }
  {
    ChildOptions no_stdin;
    no_stdin.close_stdin = true;
    ChildProcess rxprobe(kRxprobe, {"-a", kKvx1}, no_stdin);
    ASSERT_TRUE(rxprobe.WaitForOutput("Reception Started\n"));
    rxprobe.Signal(SIGINT);
    EXPECT_TRUE(Exited(rxprobe.Wait(), 0));
    EXPECT_TRUE(InOrder(rxprobe.Output(),
                        {"CtrlHandler: 0x00000000\n", "Shuting Down...\n"}));
  }
}

TEST(UtilitiesE2eTest, RxprobeOnTwoAdapters) { InPrivateNetwork(RxprobeBody); }

// --- Netroster and Sendprobe ------------------------------------------------

void NetrosterBody() {
  simulator::testing::DeclareSimulatedAdapter(KAVEX_SIMULATED_ADAPTERS_MODULE, "lan", "switch 02.C4.7D.00.00.01");
  ChildProcess netroster(kNetroster, {"ignored"});
  EXPECT_TRUE(Exited(netroster.Wait(), 0));
  const std::string out = netroster.Output();
  const std::string heading =
      "Wirebay Bound Adapter List Utility V" + VersionText() +
      "\nLists the network adapters the packet driver is bound to.\n"
      " Adapters Bound To PKIONDIS\n\n";
  EXPECT_EQ(out.rfind(heading, 0), 0u) << out;
  EXPECT_NE(out.find("System Binding: \"\\Device\\kvx0\"\n"),
            std::string::npos);
  EXPECT_NE(out.find("System Binding: \"\\Device\\kvx1\"\n"),
            std::string::npos);
  EXPECT_NE(out.find("  User Binding: \"\\Device\\Simulated\\lan\"\n"),
            std::string::npos);
  // The three bindings and the count, nothing else.
  EXPECT_EQ(ChildProcess::Count(out.substr(heading.size()), "\n"), 4) << out;
  EXPECT_EQ(out.substr(out.size() - 21), "        3 Adapter(s)\n");
}

TEST(UtilitiesE2eTest, NetrosterListsBindings) {
  InPrivateNetwork(NetrosterBody);
}

void SendprobeBody() {
  QuietLinks();
  // Listed, but its scenario does not parse, so it cannot be opened.
  simulator::testing::DeclareSimulatedAdapter(KAVEX_SIMULATED_ADAPTERS_MODULE, "broken", "switch nonsense");
  Listener on_kvx0("kvx0");
  Listener on_kvx1("kvx1");
  ChildProcess sendprobe(kSendprobe, {});
  EXPECT_TRUE(Exited(sendprobe.Wait(), 0));
  const std::string out = sendprobe.Output();
  EXPECT_TRUE(std::regex_search(
      out, std::regex("^Wirebay Sendprobe Test V5\\.03\\.16\\.54\\.\n"
                      "Sends one broadcast test frame on every adapter the "
                      "packet driver offers\\.\n"
                      "Platform   : Linux [^\n]+\n"
                      "Coding     : ANSI\n\n")))
      << out;
  for (const char* block :
       {"   \"\\Device\\kvx0\"\nSENT (Immediate)\n\n",
        "   \"\\Device\\kvx1\"\nSENT (Immediate)\n\n",
        "   \"\\Device\\Simulated\\broken\"\n"
        "Wirebay Could Not Open Adapter; Error 0x0000000D\n\n"}) {
    EXPECT_NE(out.find(block), std::string::npos) << block << " in\n" << out;
  }
  // Each end received the other's frame, byte for byte.
  for (auto [listener, sender] :
       {std::pair{&on_kvx1, "kvx0"}, std::pair{&on_kvx0, "kvx1"}}) {
    std::vector<std::vector<uint8_t>> got = listener->Receive(0x6000, 1);
    ASSERT_EQ(got.size(), 1u) << sender;
    std::vector<uint8_t> expected(128, 0x5A);
    memset(expected.data(), 0xFF, 6);
    const std::array<uint8_t, 6> mac = MacOf(sender);
    memcpy(&expected[6], mac.data(), 6);
    expected[12] = 0x60;
    expected[13] = 0x00;
    memcpy(&expected[14], "Kavex Sendprobe test frame", 27);
    EXPECT_EQ(got[0], expected) << sender;
  }
}

TEST(UtilitiesE2eTest, SendprobeSendsOnEveryAdapter) {
  InPrivateNetwork(SendprobeBody);
}

// In a namespace with no Ethernet interface and no simulated adapter.
TEST(UtilitiesE2eTest, SendprobeWithoutAdapters) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
  char root[] = "/tmp/sendprobe-empty-XXXXXX";
  ASSERT_NE(mkdtemp(root), nullptr);
  ChildOptions alone;
  alone.new_network = true;
  alone.env = {{"KAVEX_REGISTRY_ROOT", root}};
  ChildProcess sendprobe(kSendprobe, {}, alone);
  EXPECT_TRUE(Exited(sendprobe.Wait(), 0));
  EXPECT_TRUE(std::regex_match(
      sendprobe.Output(),
      std::regex("Wirebay Sendprobe Test V5\\.03\\.16\\.54\\.\n"
                 "Sends one broadcast test frame on every adapter the packet "
                 "driver offers\\.\n"
                 "Platform   : Linux [^\n]+\n"
                 "Coding     : ANSI\n\n")))
      << sendprobe.Output();
}

}  // namespace
}  // namespace kavex::e2e
