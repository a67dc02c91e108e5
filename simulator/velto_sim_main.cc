// velto-sim: sends the Velto status frames of a scenario's switches out of a
// network interface, paced as the switches send them or at a chosen rate.
#include <signal.h>
#include <time.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "simulator/generator.h"
#include "simulator/packet_sender.h"
#include "simulator/scenario.h"

namespace kavex::simulator {
namespace {

std::atomic<bool> g_stop{false};

void OnSignal(int) { g_stop = true; }

uint64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void SleepNs(uint64_t ns) {
  timespec ts{static_cast<time_t>(ns / 1000000000),
              static_cast<long>(ns % 1000000000)};
  nanosleep(&ts, nullptr);
}

// The options and the scenario language, on `out`.
void PrintUsage(FILE* out) {
  fputs(
      "Usage: velto-sim -i INTERFACE [options]\n"
      "Sends the status frames of simulated Velto switches out of INTERFACE.\n"
      "Use it only on an interface you own, e.g. one end of a veth pair in a\n"
      "network namespace of your own; it needs CAP_NET_RAW.\n\n"
      "  -i, --interface NAME   interface to send on (required)\n"
      "  -f, --scenario FILE    scenario file (the language below)\n"
      "  -e, --statement TEXT   scenario statements; may be repeated\n"
      "                         (default: a small plant of three switches)\n"
      "  -r, --rate FPS         send at FPS frames/s instead of the "
      "switches' own pacing\n"
      "      --fast             send as fast as possible\n"
      "  -c, --count N          stop after N frames\n"
      "  -d, --duration MS      stop after MS milliseconds\n"
      "  -q, --quiet            no summary line\n"
      "      --help, --version\n\n"
      "Scenario: one statement per line or separated by ';', '#' starts a\n"
      "comment.\n"
      "  dest 03.C4.7D.00.00.01          destination address of every frame\n"
      "  switch 02.C4.7D.00.00.01 [key=value ...]   one switch; keys "
      "[default]:\n"
      "    type=1..5 [1]       type code\n"
      "    ports=N [8]         1..24; types 2 and 3 also 25 or 26\n"
      "    info=0..3 [3]       information area version (0: 192-byte "
      "frames)\n"
      "    ip=a.b.c.d  ring=V  ringflags=N  config=TEXT\n"
      "    load=PCT [10]       traffic on every link-up port, % of its "
      "speed\n"
      "    speed=10|100 [100]  duplex=full|half [full]\n"
      "    cycle=MS [1000]     report cycle: every port once per cycle\n"
      "    down=P,Q,...        ports whose link is down\n"
      "    flap=P:MS           port P goes down and up every MS\n"
      "    ringflap=MS         ring state alternates Ok / Fault every MS\n"
      "    silent=FROM:TO      no frames from FROM to TO ms after start\n"
      "                        (TO empty: for ever)\n"
      "    errors=N [0]        rx_fcs_errors added per cycle on every port\n"
      "    extra=0|1 [1]  cpu=0|1 [1]\n"
      "Example:\n"
      "  velto-sim -i veth1 -e 'switch 02.C4.7D.00.00.09 type=2 ports=17 "
      "flap=3:7000'\n",
      out);
}

int Usage() {
  PrintUsage(stderr);
  return 2;
}

int Main(int argc, char** argv) {
  std::string ifname, scenario_text;
  double rate = 0;
  bool fast = false, quiet = false, have_scenario = false;
  uint64_t count = 0, duration_ms = 0;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) {
        fprintf(stderr, "velto-sim: %s needs a value\n", arg.c_str());
        exit(Usage());
      }
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      PrintUsage(stdout);
      return 0;
    } else if (arg == "--version") {
      printf("velto-sim %s\n", KAVEX_VERSION);
      return 0;
    } else if (arg == "-i" || arg == "--interface") {
      ifname = value();
    } else if (arg == "-f" || arg == "--scenario") {
      std::ifstream in(value());
      if (!in) {
        fprintf(stderr, "velto-sim: cannot read %s\n", argv[i]);
        return 1;
      }
      std::stringstream text;
      text << in.rdbuf();
      scenario_text += text.str() + "\n";
      have_scenario = true;
    } else if (arg == "-e" || arg == "--statement") {
      scenario_text += std::string(value()) + "\n";
      have_scenario = true;
    } else if (arg == "-r" || arg == "--rate") {
      rate = atof(value());
    } else if (arg == "--fast") {
      fast = true;
    } else if (arg == "-c" || arg == "--count") {
      count = strtoull(value(), nullptr, 10);
    } else if (arg == "-d" || arg == "--duration") {
      duration_ms = strtoull(value(), nullptr, 10);
    } else if (arg == "-q" || arg == "--quiet") {
      quiet = true;
    } else {
      return Usage();
    }
  }
  if (ifname.empty()) return Usage();

  Scenario scenario = DefaultScenario();
  if (have_scenario) {
    std::string error;
    if (!ParseScenario(scenario_text, &scenario, &error)) {
      fprintf(stderr, "velto-sim: scenario %s\n", error.c_str());
      return 1;
    }
  }
  PacketSender sender;
  std::string error;
  if (!sender.Open(ifname, &error)) {
    fprintf(stderr, "velto-sim: %s\n", error.c_str());
    return 1;
  }
  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);

  Generator generator(scenario);
  const uint64_t start = NowNs();
  auto elapsed_ms = [&] { return (NowNs() - start) / 1000000; };
  auto done = [&] {
    return g_stop || (count != 0 && sender.sent() >= count) ||
           (duration_ms != 0 && elapsed_ms() >= duration_ms);
  };
  uint64_t queued = 0;
  bool ok = true;
  if (fast || rate > 0) {
    // Frames in the switches' order, at the chosen rate.
    while (ok && !done()) {
      uint64_t target =
          fast ? queued + 64
               : static_cast<uint64_t>(rate * (NowNs() - start) / 1e9) + 1;
      if (count != 0) target = std::min(target, count);
      if (queued >= target) {
        ok = sender.Flush();
        SleepNs(200000);
        continue;
      }
      while (ok && queued < target) {
        const std::vector<uint8_t>* frame = generator.NextFrame();
        if (frame == nullptr) {
          fprintf(stderr, "velto-sim: the scenario sends nothing\n");
          return 1;
        }
        ok = sender.Add(*frame);
        ++queued;
      }
      if (ok) ok = sender.Flush();
    }
  } else {
    while (ok && !done()) {
      generator.EmitDue(elapsed_ms(), [&](const std::vector<uint8_t>& frame) {
        if (ok && (count == 0 || queued < count)) {
          ok = sender.Add(frame);
          ++queued;
        }
      });
      if (ok) ok = sender.Flush();
      uint64_t next = generator.NextDueMs();
      uint64_t now = elapsed_ms();
      SleepNs(std::min<uint64_t>(next > now ? next - now : 0, 100) * 1000000 +
              100000);
    }
  }
  if (ok) ok = sender.Flush();
  if (!ok) {
    fprintf(stderr, "velto-sim: %s\n", sender.error().c_str());
    return 1;
  }
  double seconds = (NowNs() - start) / 1e9;
  if (!quiet) {
    printf("velto-sim: sent %llu frames in %.3f s (%.0f frames/s)\n",
           static_cast<unsigned long long>(sender.sent()), seconds,
           seconds > 0 ? sender.sent() / seconds : 0.0);
  }
  return 0;
}

}  // namespace
}  // namespace kavex::simulator

int main(int argc, char** argv) { return kavex::simulator::Main(argc, argv); }
