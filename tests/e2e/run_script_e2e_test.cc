// scripts/run, the main job over the wire, as a user runs it but with the
// programs of this tree (KAVEX_RUN_BIN: no build) and a bounded watch
// (--count, passed through to the client): kavex-opc-server on the
// simulated plant LAN and kavex-opc-client in a user and network namespace
// of their own. The items appear with good quality, every line fits 80
// columns, the run's files stay in the build tree and no process of the
// run is left behind.
#include <gtest/gtest.h>
#include <limits.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/command_output.h"

namespace kavex::e2e {
namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// True while `pid` is a running kavex-opc-server.
bool ServerRuns(int pid) {
  char exe[PATH_MAX];
  const std::string link = "/proc/" + std::to_string(pid) + "/exe";
  const ssize_t n = readlink(link.c_str(), exe, sizeof exe - 1);
  if (n <= 0) return false;
  exe[n] = '\0';
  return std::string(exe).find("kavex-opc-server") != std::string::npos;
}

TEST(RunScriptE2e, WatchesTheSimulatedLanOverTheWire) {
  int status = -1;
  e2e::Run("unshare -rnm true 2>/dev/null", &status);
  if (status != 0) GTEST_SKIP() << "no user namespaces here";
  const std::string run_dir =
      std::string(KAVEX_BIN_DIR).substr(
          0, std::string(KAVEX_BIN_DIR).find_last_of('/')) +
      "/run";
  // 30 polls, 400 ms apart: the switches report within a few seconds;
  // "Ring" falls silent only 15 s after the server's start.
  const std::string out = e2e::Run(std::string("KAVEX_RUN_BIN='") + KAVEX_BIN_DIR +
                                  "' timeout 240 bash '" + KAVEX_SOURCE_DIR +
                                  "/scripts/run' --count 30 --interval 400 "
                                  "</dev/null 2>&1",
                              &status);
  ASSERT_EQ(status, 0) << out;
  const std::vector<std::string> lines = Lines(out);
  for (const std::string& line : lines) {
    EXPECT_LE(line.size(), 80u) << line;
    EXPECT_EQ(line.find('\033'), std::string::npos)
        << "escape codes in a pipe: " << line;
  }
  // Per poll, per item, the row's words: ID, value, quality words, time.
  std::map<int, std::map<std::string, std::string>> polls;
  int poll = 0;
  for (const std::string& line : lines) {
    if (line.rfind("poll ", 0) == 0) {
      poll = atoi(line.c_str() + 5);
      continue;
    }
    if (poll == 0 || line.rfind("ITEM ", 0) == 0) continue;
    const size_t space = line.find(' ');
    if (space == std::string::npos) continue;
    polls[poll][line.substr(0, space)] = line;
  }
  ASSERT_EQ(polls.size(), 30u) << out;
  ASSERT_EQ(polls.rbegin()->first, 30) << out;
  // Every poll lists every item. Each item the check names was good with
  // a live value (not "" or "Offline", what an item reads before its
  // switch's first frame) at some poll; "Line" and "Packing" are online at
  // the last one, and their counters grew meanwhile.
  auto value = [](const std::string& row) {
    std::istringstream words(row);
    std::string item, text;
    words >> item >> text;
    return text;
  };
  std::map<std::string, bool> live;
  std::map<std::string, std::vector<long long>> counts;
  for (const auto& [n, rows] : polls) {
    EXPECT_EQ(rows.size(), 20u) << "poll " << n << "\n" << out;
    for (const auto& [item, row] : rows) {
      const std::string v = value(row);
      if (row.find(" good ") != std::string::npos && v != "\"\"" &&
          v != "\"Offline\"") {
        live[item] = true;
        if (item.find("rx_octets") != std::string::npos) {
          counts[item].push_back(atoll(v.c_str() + 1));
        }
      }
    }
  }
  const auto& last = polls.rbegin()->second;
  for (const char* item : {"Line.Status", "Packing.Status"}) {
    ASSERT_TRUE(last.count(item)) << item << "\n" << out;
    EXPECT_EQ(value(last.at(item)), "\"Online\"") << last.at(item);
    EXPECT_NE(last.at(item).find(" good "), std::string::npos)
        << last.at(item);
  }
  for (const char* item :
       {"Line.Status", "Line.IP_Address", "Line.P1.Link_Status",
        "Packing.P5.Link_Status", "Ring.Status", "Ring.P1.Usage"}) {
    EXPECT_TRUE(live[item]) << item << " never read live and good\n" << out;
  }
  for (const char* item : {"Line.P1.rx_octets", "Packing.P1.rx_octets"}) {
    const std::vector<long long>& seen = counts[item];
    ASSERT_GE(seen.size(), 2u) << item << "\n" << out;
    EXPECT_GT(seen.back(), seen.front()) << item << " did not grow";
  }
  // The run's files are in the build tree: the registry, the account,
  // the server's output; its processes are gone with the namespace.
  for (const char* file : {"/registry", "/accounts", "/server.log"}) {
    EXPECT_EQ(access((run_dir + file).c_str(), F_OK), 0) << run_dir << file;
  }
  std::ifstream pid_file(run_dir + "/server.pid");
  int server = 0;
  ASSERT_TRUE(pid_file >> server) << "the script names no server";
  EXPECT_GT(server, 0);
  EXPECT_FALSE(ServerRuns(server)) << "the server " << server << " is left";
}

}  // namespace
}  // namespace kavex::e2e
