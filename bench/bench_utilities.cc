// Receive throughput of the packet dump utilities: velto-sim offers 192-byte
// Velto frames at a series of rates on one end of a veth pair (in a network
// namespace of our own) while `tapdump /q /go` or `batchcap /q /go` receives
// on the other end. Per program and rate one line
//   <program> offered_fps=<n> received=<n>/<n> kernel_drops=<n>
//   user_drops=<n> cpu=<x>% ns_per_frame=<x>
// offered_fps is what velto-sim handed to the kernel per second of its own
// sending time; received the frames the program counted (its Ctrl-C
// statistics) out of those offered; the drops are the driver's own counts
// (lost in the capture ring / with no read posted). cpu is the program's
// CPU time (every thread, user and system, from the scheduler's exact
// per-thread run time) over the sending time, as a share of one core;
// ns_per_frame the same CPU time per received frame. The kernel's own
// receive work (veth, filter, ring) runs in the sender's system calls and
// is not counted. Run as root.
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// A program under measurement: stdin and stdout are pipes of ours.
struct Child {
  pid_t pid = -1;
  int in = -1;
  int out = -1;
};

Child Spawn(const std::vector<std::string>& args) {
  int in[2], out[2];
  Child child;
  if (pipe(in) != 0 || pipe(out) != 0) return child;
  std::vector<std::string> copy = args;
  std::vector<char*> argv;
  for (std::string& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  child.pid = fork();
  if (child.pid == 0) {
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    close(in[1]);
    close(out[0]);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  child.in = in[1];
  child.out = out[0];
  return child;
}

// Everything the child prints until it exits.
std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, n);
  return text;
}

// Nanoseconds on a CPU, all threads of the process together.
uint64_t CpuNs(pid_t pid) {
  uint64_t total = 0;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(tasks.c_str());
  if (dir == nullptr) return 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream in(tasks + "/" + entry->d_name + "/schedstat");
    uint64_t ns = 0;
    if (in >> ns) total += ns;
  }
  closedir(dir);
  return total;
}

// A packet socket on the interface receives every protocol: the program
// has set its packet filter.
bool WaitForReception(const char* ifname) {
  const std::string index = std::to_string(if_nametoindex(ifname));
  for (int i = 0; i < 5000; ++i) {
    std::ifstream in("/proc/net/packet");
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string sk, refs, type, proto, iface;
      fields >> sk >> refs >> type >> proto >> iface;
      if (proto == "0003" && iface == index) return true;
    }
    usleep(2000);
  }
  return false;
}

// The number after the first occurrence of label, or -1.
long long After(const std::string& text, const std::string& label) {
  size_t at = text.find(label);
  if (at == std::string::npos) return -1;
  return atoll(text.c_str() + at + label.size());
}

bool RunSender(const std::string& command, unsigned long long* sent,
               double* seconds) {
  FILE* out = popen(command.c_str(), "r");
  if (out == nullptr) return false;
  char line[256];
  bool parsed = false;
  while (fgets(line, sizeof line, out) != nullptr) {
    if (sscanf(line, "velto-sim: sent %llu frames in %lf s", sent, seconds) ==
        2) {
      parsed = true;
    }
  }
  return pclose(out) == 0 && parsed && *seconds > 0;
}

void Measure(const char* name, const std::string& program, long rate,
             double seconds_per_rate) {
  Child child = Spawn({program, "/q", "/go", "/a", "\\Device\\kvx1"});
  if (child.pid <= 0 || !WaitForReception("kvx1")) {
    fprintf(stderr, "bench_utilities: %s does not receive\n", name);
    return;
  }
  const long count =
      static_cast<long>((rate ? rate : 2000000) * seconds_per_rate);
  const std::string command =
      std::string(KAVEX_VELTO_SIM) + " -i kvx0 -c " + std::to_string(count) +
      (rate ? " -r " + std::to_string(rate) : " --fast") + " -d " +
      std::to_string(long(seconds_per_rate * 1000)) +
      " -e 'switch 02.C4.7D.00.00.01 type=1 ports=24 info=0 cpu=0'";
  const uint64_t cpu0 = CpuNs(child.pid);
  unsigned long long sent = 0;
  double seconds = 0;
  const bool ok = RunSender(command, &sent, &seconds);
  // The last frames and the last partly filled buffers arrive.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const uint64_t cpu1 = CpuNs(child.pid);
  kill(child.pid, SIGINT);
  close(child.in);  // Tapdump's last key wait ends at the end of input
  const std::string out = ReadAll(child.out);
  close(child.out);
  int status = 0;
  waitpid(child.pid, &status, 0);
  if (!ok) {
    fprintf(stderr, "bench_utilities: velto-sim failed\n");
    return;
  }
  const size_t stats = out.find("Application Statistics:");
  const std::string report =
      stats == std::string::npos ? "" : out.substr(stats);
  const long long received = After(report, "  Received Packet Count       : ");
  const long long kernel = After(report, "    Rx Missed, Kernel Resource: ");
  const long long user = After(report, "    Rx Missed, User Resource  : ");
  const double cpu = (cpu1 - cpu0) / 1e9;
  printf(
      "%s offered_fps=%.0f received=%lld/%llu kernel_drops=%lld "
      "user_drops=%lld cpu=%.1f%% ns_per_frame=%.1f%s\n",
      name, sent / seconds, received, sent, kernel, user, 100 * cpu / seconds,
      received > 0 ? cpu * 1e9 / received : 0.0,
      rate ? "" : " (as fast as velto-sim sends)");
  fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (geteuid() != 0) {
    fprintf(stderr,
            "bench_utilities: run as root (it makes a network namespace)\n");
    return 1;
  }
  const double seconds_per_rate = argc > 1 ? atof(argv[1]) : 4.0;
  if (unshare(CLONE_NEWNET) != 0 ||
      system("ip link add name kvx0 type veth peer name kvx1 && "
             "ip link set kvx0 up && ip link set kvx1 up && "
             "sysctl -qw net.ipv6.conf.all.disable_ipv6=1 "
             "net.ipv6.conf.kvx0.disable_ipv6=1 "
             "net.ipv6.conf.kvx1.disable_ipv6=1") != 0) {
    fprintf(stderr,
            "bench_utilities: cannot make the namespace and veth pair\n");
    return 1;
  }
  for (long rate : {625000L, 0L}) {
    Measure("tapdump", KAVEX_TAPDUMP, rate, seconds_per_rate);
    Measure("batchcap", KAVEX_BATCHCAP, rate, seconds_per_rate);
  }
  return 0;
}
