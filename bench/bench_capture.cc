// Capture throughput: velto-sim offers 192-byte Velto frames at a series of
// rates on one end of a veth pair (in a network namespace of our own); this
// process captures them through the library on the other end with the
// capture pump and 512 posted reads, as the device does, and reports per
// rate
//   capture offered_fps=<n> delivered_fps=<n> dropped=<n> user_ns_per_frame=<x>
// offered_fps is what velto-sim handed to the kernel per second of its own
// sending time, delivered_fps the frames that reached completion routines
// over that time, dropped every offered frame that did not (lost in the
// ring, with no read posted, or before the packet socket saw it).
// user_ns_per_frame is the user-mode CPU time of the receiving side (the
// library's receive thread and the pump's thread, not this main thread) per
// delivered frame, traced from their system calls and context switches (see
// thread_user_time.h); CPU time the trace misses counts as user time. The
// second line adds their whole CPU time per frame, system calls included
// (poll, futex wake-ups), their share of one core, and how often they slept
// (each sleep is a wake-up to pay for) or were preempted per 1000 frames.
// The kernel's own receive work (veth, the filter, the ring) runs in the
// sender's system calls and is not in these figures. Without tracefs,
// user_ns_per_frame falls back to the whole CPU time, an upper bound, and
// says so. Run as root.
#include <dirent.h>
#include <pthread.h>
#include <sched.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/thread_user_time.h"
#include "platform/pkio/capture_pump.h"
#include "platform/pkio/pkiolib.h"

namespace kavex::bench {
namespace {

constexpr int kReads = 512;

PKIO_HANDLE g_adapter = PKIO_INVALID_HANDLE;

// The receiving side: every thread but this main one, which only starts
// velto-sim and polls the counters.
std::vector<int> ReceiverThreads() {
  std::vector<int> tids;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return tids;
  while (dirent* entry = readdir(tasks)) {
    int tid = atoi(entry->d_name);
    if (tid > 0 && tid != gettid()) tids.push_back(tid);
  }
  closedir(tasks);
  return tids;
}

// CPU time and context switches of the receiving side. The CPU time is the
// kernel's exact runtime, user and system time together.
struct ReceiverCpu {
  double seconds = 0;
  uint64_t sleeps = 0;     // voluntary switches: waits that slept
  uint64_t preempted = 0;  // involuntary ones: other load took the core
};
ReceiverCpu ReceiverCpuNow() {
  ReceiverCpu cpu;
  timespec all, mine;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &all);
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &mine);
  cpu.seconds = (all.tv_sec - mine.tv_sec) + (all.tv_nsec - mine.tv_nsec) / 1e9;
  for (int tid : ReceiverThreads()) {
    std::string path = "/proc/self/task/" + std::to_string(tid) + "/status";
    FILE* f = fopen(path.c_str(), "r");
    if (f == nullptr) continue;
    char line[128];
    while (fgets(line, sizeof line, f) != nullptr) {
      unsigned long long n = 0;
      if (sscanf(line, "voluntary_ctxt_switches: %llu", &n) == 1) {
        cpu.sleeps += n;
      } else if (sscanf(line, "nonvoluntary_ctxt_switches: %llu", &n) == 1) {
        cpu.preempted += n;
      }
    }
    fclose(f);
  }
  return cpu;
}

// Runs velto-sim; returns false when it fails. *sent and *seconds are its
// own summary: frames handed to the kernel and the time it took.
bool RunSender(const std::string& command, uint64_t* sent, double* seconds) {
  FILE* out = popen(command.c_str(), "r");
  if (out == nullptr) return false;
  char line[256];
  bool parsed = false;
  while (fgets(line, sizeof line, out) != nullptr) {
    unsigned long long n = 0;
    double s = 0;
    if (sscanf(line, "velto-sim: sent %llu frames in %lf s", &n, &s) == 2) {
      *sent = n;
      *seconds = s;
      parsed = true;
    }
  }
  return pclose(out) == 0 && parsed && *seconds > 0;
}

uint32_t Private(NDIS_OID oid) {
  DWORD value = 0;
  PKIO_NDIS_REQUEST r{PKIO_NDIS_QUERY, oid, &value, 4, 0, 0};
  Pkio_MakePrivateRequest(g_adapter, &r, nullptr, TRUE);
  return value;
}

int Main(int argc, char** argv) {
  if (geteuid() != 0) {
    fprintf(stderr,
            "bench_capture: run as root (it makes a network namespace)\n");
    return 1;
  }
  double seconds_per_rate = argc > 1 ? atof(argv[1]) : 2.0;
  if (unshare(CLONE_NEWNET) != 0 ||
      system("ip link add name kvx0 type veth peer name kvx1 && "
             "ip link set kvx0 up && ip link set kvx1 up") != 0) {
    fprintf(stderr, "bench_capture: cannot make the namespace and veth pair\n");
    return 1;
  }
  // The device's capture: its filter program, its first packet filter,
  // 512 reads; the sink only takes the frame.
  pkio::CapturePumpOptions options;
  options.program = {{0x28, 0, 0, 12},
                     {0x15, 0, 1, 0x8874},
                     {0x06, 0, 0, 0xFFFFFFFF},
                     {0x06, 0, 0, 0}};
  options.packet_filters = {0x0C};
  options.reads = kReads;
  options.sink = [](const pkio::Frame&) {};
  pkio::CapturePump pump(pkio::RealPacketDriver(), std::move(options));
  if (!pump.Start("\\Device\\kvx1")) {
    fprintf(stderr, "bench_capture: %s\n", Pkio_GetLastErrorMessageA());
    return 1;
  }
  g_adapter = pump.handle();
  while (pump.posted_reads() < kReads) usleep(1000);

  const char* scenario =
      "switch 02.C4.7D.00.00.01 type=1 ports=24 info=0 cpu=0";
  const long rates[] = {50000, 100000, 200000, 400000, 625000, 0};  // 0: max
  for (long rate : rates) {
    long count = static_cast<long>((rate ? rate : 2000000) * seconds_per_rate);
    std::string command =
        std::string(KAVEX_VELTO_SIM) + " -i kvx0 -c " + std::to_string(count) +
        (rate ? " -r " + std::to_string(rate) : " --fast") + " -d " +
        std::to_string(long(seconds_per_rate * 1000)) + " -e '" + scenario +
        "'";
    uint64_t delivered0 = pump.frames();
    uint32_t kernel0 = Private(OID_PKIO_RCV_MISSED_DRIVER);
    uint32_t user0 = Private(OID_PKIO_RCV_MISSED_USER);
    ReceiverCpu cpu0 = ReceiverCpuNow();
    ThreadUserTimeTracer tracer;
    std::string why_not;
    bool traced = tracer.Start(ReceiverThreads(), &why_not);
    uint64_t sent = 0;
    double seconds = 0;
    bool ok = RunSender(command, &sent, &seconds);
    // Let the last frames drain.
    uint64_t last = 0;
    do {
      last = pump.frames();
      usleep(50000);
    } while (pump.frames() != last);
    ReceiverCpu cpu1 = ReceiverCpuNow();
    uint64_t user_ns = 0, run_ns = 0;
    traced = traced && tracer.Stop(&user_ns, &run_ns, &why_not);
    if (!ok) {
      fprintf(stderr, "bench_capture: velto-sim failed\n");
      break;
    }
    uint64_t delivered = pump.frames() - delivered0;
    uint64_t kernel_drops = Private(OID_PKIO_RCV_MISSED_DRIVER) - kernel0;
    uint64_t user_drops = Private(OID_PKIO_RCV_MISSED_USER) - user0;
    uint64_t dropped = sent > delivered ? sent - delivered : 0;
    uint64_t unseen = dropped > kernel_drops + user_drops
                          ? dropped - kernel_drops - user_drops
                          : 0;
    double total = cpu1.seconds - cpu0.seconds;
    uint64_t sleeps = cpu1.sleeps - cpu0.sleeps;
    uint64_t preempted = cpu1.preempted - cpu0.preempted;
    double per_frame = delivered ? 1e9 / delivered : 0.0;
    // CPU time the trace did not see (its switch times differ slightly from
    // the scheduler's clock) counts as user time: the figure may err high.
    double user = total;
    if (traced) user = user_ns / 1e9 + std::max(0.0, total - run_ns / 1e9);
    printf(
        "capture offered_fps=%.0f delivered_fps=%.0f dropped=%llu "
        "user_ns_per_frame=%.1f%s\n",
        sent / seconds, delivered / seconds,
        static_cast<unsigned long long>(dropped), user * per_frame,
        traced ? "" : (" (user+system: " + why_not + ")").c_str());
    printf(
        "  (asked %s fps; ring drops %llu, no read posted %llu, lost before "
        "the socket %llu; receiver %.1f%% of one core, %.1f ns of CPU per "
        "frame with its system calls (%.0f%% of it seen in the trace); per "
        "1000 frames its threads slept %.2f times and were preempted %.2f "
        "times)\n",
        rate ? std::to_string(rate).c_str() : "max",
        static_cast<unsigned long long>(kernel_drops),
        static_cast<unsigned long long>(user_drops),
        static_cast<unsigned long long>(unseen), 100 * total / seconds,
        total * per_frame, total > 0 ? 100 * run_ns / 1e9 / total : 0.0,
        delivered ? 1000.0 * sleeps / delivered : 0.0,
        delivered ? 1000.0 * preempted / delivered : 0.0);
    fflush(stdout);
  }
  pump.Stop();
  return 0;
}

}  // namespace
}  // namespace kavex::bench

int main(int argc, char** argv) { return kavex::bench::Main(argc, argv); }
