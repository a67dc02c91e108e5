// Our DCOM client against the server objects over loopback TCP. The server
// (a DcomHost serving the server classes over a site of Velto switches)
// runs in a child process, so what it allocates is measured apart from the
// client.
//
// BM_DcomSyncRead/<items>: one IOPCSyncIO::Read of a group of 1 or 1000
// items from the cache, as a round trip: the client's encoding, the
// server's stub and group, the reply's decoding and the client's freeing.
//
// BM_ServerMemoryPerClient: 50 clients connect, log on and activate the
// server object (no groups); the counters are the server's heap in use
// (mallinfo2) and resident set per client, against before they came, the
// heap of one server object made in process (server_object_heap_bytes),
// and the difference: what the connections, the logons and the exporter's
// tables keep per client (dcom_heap_bytes_per_client). Server objects
// over the site share one browse tree, held by a first client (or object)
// throughout, so the figures are what one more client costs; the tree
// itself is measured by bench_server_browse.
//
// BM_ActivateReadRelease: for KAVEX_BENCH_SOAK_SECONDS (default 60) a
// client connects, activates the server, adds a group of 10 items, reads
// them from the cache, removes the group and releases everything, again
// and again. The server's heap and RSS after a warm-up and at the end are
// the counters (growth: end less start).
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/velto_site.h"
#include "platform/com/activation.h"
#include "platform/com/task_memory.h"
#include "platform/dcom/client.h"
#include "platform/dcom/host.h"
#include "platform/rpc/rpc_test_support.h"
#include "platform/text/utf.h"
#include "server/objects/process_state.h"
#include "server/objects/server_module.h"
#include "server/objects/server_object.h"

namespace kavex::bench {
namespace {

constexpr int kSwitches = 10;  // 10 x 28 ports: enough for 1000 items

long RssKib(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

// The server process: answers "m" with its heap in use, "q" by ending.
class ServerProcess {
 public:
  ServerProcess() {
    int to_child[2], from_child[2];
    if (pipe(to_child) != 0 || pipe(from_child) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(to_child[1]);
      close(from_child[0]);
      _exit(Serve(to_child[0], from_child[1]));
    }
    close(to_child[0]);
    close(from_child[1]);
    commands_ = fdopen(to_child[1], "w");
    answers_ = fdopen(from_child[0], "r");
    unsigned port = 0;
    if (fscanf(answers_, "%u", &port) == 1) port_ = static_cast<uint16_t>(port);
  }
  ~ServerProcess() {
    if (commands_) {
      fputs("q\n", commands_);
      fflush(commands_);
      fclose(commands_);
    }
    if (answers_) fclose(answers_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }

  uint16_t port() const { return port_; }
  // The server's heap in use (bytes).
  long long Heap() {
    fputs("m\n", commands_);
    fflush(commands_);
    long long heap = -1;
    if (fscanf(answers_, "%lld", &heap) != 1) return -1;
    return heap;
  }
  long Rss() const { return RssKib(pid_); }
  // The heap one server object keeps, made in the server's process.
  long long ServerObjectHeap() {
    fputs("s\n", commands_);
    fflush(commands_);
    long long heap = -1;
    if (fscanf(answers_, "%lld", &heap) != 1) return -1;
    return heap;
  }

 private:
  static int Serve(int in_fd, int out_fd) {
    FILE* in = fdopen(in_fd, "r");
    FILE* out = fdopen(out_fd, "w");
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    auto site = std::make_unique<VeltoSite>(kSwitches, "String");
    server::SetProcessDevice(site->device.Get());
    std::vector<com::ClassEntry> classes;
    for (const server::ServerClass& c : server::ServerClasses()) {
      classes.push_back(c.entry);
    }
    rpc::AccountStore accounts = rpc::testing::TestAccounts();
    dcom::HostOptions options;
    options.activation_port = 0;
    options.object_port = 0;
    dcom::DcomHost host(options, classes, &accounts);
    if (host.Start() != ERROR_SUCCESS) return 1;
    fprintf(out, "%u\n", unsigned{host.activation_port()});
    fflush(out);
    char command[8];
    while (fscanf(in, "%7s", command) == 1 && command[0] != 'q') {
      malloc_trim(0);
      long long answer = static_cast<long long>(mallinfo2().uordblks);
      if (command[0] == 's') {
        // What one server object keeps, made in process as an activation
        // makes it (no DCOM involved), while another one holds the site's
        // shared browse tree.
        constexpr int kObjects = 10;
        com::ComPtr<server::CServer> holder;
        server::CServer::CreateInstance(&holder);
        answer = static_cast<long long>(mallinfo2().uordblks);
        std::vector<com::ComPtr<server::CServer>> objects(kObjects);
        for (auto& o : objects) server::CServer::CreateInstance(&o);
        answer = (static_cast<long long>(mallinfo2().uordblks) - answer) /
                 kObjects;
        objects.clear();
      }
      fprintf(out, "%lld\n", answer);
      fflush(out);
    }
    host.Stop();
    server::SetProcessDevice(nullptr);
    site.reset();
    CoUninitialize();
    return 0;
  }

  pid_t pid_ = -1;
  FILE* commands_ = nullptr;
  FILE* answers_ = nullptr;
  uint16_t port_ = 0;
};

std::unique_ptr<ServerProcess> server_process;

ServerProcess& Server() {
  if (!server_process) server_process = std::make_unique<ServerProcess>();
  return *server_process;
}

// A client with the server object and, when `items` > 0, a group of that
// many port items and its IOPCSyncIO.
struct Session {
  rpc::NtlmClientCredentials credentials = rpc::testing::TestCredentials();
  dcom::DcomClient client;
  dcom::RemoteInterface server;
  dcom::RemoteInterface group;
  dcom::RemoteInterface io;
  OPCHANDLE group_handle = 0;
  std::vector<OPCHANDLE> handles;

  bool Open(uint16_t port, DWORD items) {
    if (client.Connect("127.0.0.1", port, &credentials) != S_OK) return false;
    std::vector<dcom::RemoteInterface> got;
    std::vector<HRESULT> results;
    const IID iid = IID_IOPCServer;
    if (client.Activate(CLSID_Server, {&iid, 1}, &got, &results) != S_OK) {
      return false;
    }
    server = got[0];
    if (items == 0) return true;
    LPCWSTR name = u"";
    BOOL active = TRUE;
    DWORD rate = 1000, lcid = 0, revised = 0;
    OPCHANDLE client_group = 1;
    LONG* bias = nullptr;
    FLOAT* deadband = nullptr;
    OPCHANDLE* handle_pointer = &group_handle;
    DWORD* revised_pointer = &revised;
    IID group_iid = IID_IOPCItemMgt;
    IUnknown* unknown = nullptr;
    IUnknown** unknown_pointer = &unknown;
    void* args[] = {&name,  &active,         &rate,           &client_group,
                    &bias,  &deadband,       &lcid,           &handle_pointer,
                    &revised_pointer, &group_iid, &unknown_pointer};
    HRESULT result = E_FAIL;
    if (client.Call(server, "AddGroup", args, &result) != S_OK ||
        FAILED(result) || dcom::RemoteInterfaceOf(unknown, &group) != S_OK) {
      return false;
    }
    unknown->Release();
    if (client.QueryInterface(group, IID_IOPCSyncIO, &io) != S_OK) return false;
    std::vector<std::u16string> ids;
    std::vector<OPCITEMDEF> defs(items);
    for (DWORD i = 0; i < items; ++i) {
      ids.push_back(text::Utf8ToUtf16(SitePortItemId(
          static_cast<int>(i / kSiteItemsPerSwitch),
          static_cast<int>(i % kSiteItemsPerSwitch))));
    }
    for (DWORD i = 0; i < items; ++i) {
      defs[i].szAccessPath = const_cast<LPWSTR>(u"");
      defs[i].szItemID = ids[i].data();
      defs[i].bActive = TRUE;
      defs[i].hClient = i;
    }
    OPCITEMDEF* defs_pointer = defs.data();
    OPCITEMRESULT* added = nullptr;
    HRESULT* errors = nullptr;
    OPCITEMRESULT** added_pointer = &added;
    HRESULT** errors_pointer = &errors;
    void* add[] = {&items, &defs_pointer, &added_pointer, &errors_pointer};
    if (client.Call(group, "AddItems", add, &result) != S_OK ||
        result != S_OK) {
      return false;
    }
    for (DWORD i = 0; i < items; ++i) handles.push_back(added[i].hServer);
    CoTaskMemFree(added);
    CoTaskMemFree(errors);
    return true;
  }

  HRESULT Read() {
    OPCDATASOURCE source = OPC_DS_CACHE;
    DWORD count = static_cast<DWORD>(handles.size());
    OPCHANDLE* handles_pointer = handles.data();
    OPCITEMSTATE* states = nullptr;
    HRESULT* errors = nullptr;
    OPCITEMSTATE** states_pointer = &states;
    HRESULT** errors_pointer = &errors;
    void* args[] = {&source, &count, &handles_pointer, &states_pointer,
                    &errors_pointer};
    HRESULT result = E_FAIL;
    HRESULT hr = client.Call(io, "Read", args, &result);
    if (states) {
      for (DWORD i = 0; i < count; ++i) VariantClear(&states[i].vDataValue);
    }
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
    return FAILED(hr) ? hr : result;
  }

  void Close() {
    if (group.valid()) {
      client.Release(io);
      client.Release(group);
      BOOL force = TRUE;
      void* args[] = {&group_handle, &force};
      HRESULT result;
      client.Call(server, "RemoveGroup", args, &result);
    }
    client.Close();
  }
};

void BM_DcomSyncRead(benchmark::State& state) {
  Session session;
  if (!session.Open(Server().port(), static_cast<DWORD>(state.range(0)))) {
    state.SkipWithError("the session did not open");
    return;
  }
  for (auto _ : state) {
    if (FAILED(session.Read())) {
      state.SkipWithError("Read failed");
      break;
    }
  }
  session.Close();
}
BENCHMARK(BM_DcomSyncRead)->Arg(1)->Arg(1000)->UseRealTime()->Unit(
    benchmark::kMicrosecond);

void BM_ServerMemoryPerClient(benchmark::State& state) {
  constexpr int kClients = 50;
  ServerProcess& server = Server();
  double heap_per_client = 0, rss_per_client = 0;
  for (auto _ : state) {
    // Warm-up: the first client's one-time allocations. It stays while
    // the others come, its server object holding the site's browse tree,
    // which every server object shares: the figures are what one more
    // client costs.
    Session warm;
    warm.Open(server.port(), 0);
    const long long heap_before = server.Heap();
    const long rss_before = server.Rss();
    std::vector<std::unique_ptr<Session>> sessions;
    for (int i = 0; i < kClients; ++i) {
      sessions.push_back(std::make_unique<Session>());
      if (!sessions.back()->Open(server.port(), 0)) {
        state.SkipWithError("a client did not connect");
        return;
      }
    }
    const long long heap_after = server.Heap();
    const long rss_after = server.Rss();
    heap_per_client =
        static_cast<double>(heap_after - heap_before) / kClients;
    rss_per_client =
        static_cast<double>(rss_after - rss_before) * 1024 / kClients;
    for (auto& s : sessions) s->Close();
    warm.Close();
  }
  const double object = static_cast<double>(server.ServerObjectHeap());
  state.counters["heap_bytes_per_client"] = heap_per_client;
  state.counters["server_object_heap_bytes"] = object;
  state.counters["dcom_heap_bytes_per_client"] = heap_per_client - object;
  state.counters["rss_bytes_per_client"] = rss_per_client;
}
BENCHMARK(BM_ServerMemoryPerClient)->Iterations(1)->UseRealTime();

void BM_ActivateReadRelease(benchmark::State& state) {
  const char* env = std::getenv("KAVEX_BENCH_SOAK_SECONDS");
  const int seconds = env ? std::atoi(env) : 60;
  ServerProcess& server = Server();
  auto cycle = [&] {
    Session s;
    bool ok = s.Open(server.port(), 10) && s.Read() == S_OK;
    s.Close();
    return ok;
  };
  long long cycles = 0, failures = 0;
  long long heap_start = 0, heap_end = 0;
  long rss_start = 0, rss_end = 0;
  for (auto _ : state) {
    for (int i = 0; i < 200; ++i) cycle();  // warm-up
    heap_start = server.Heap();
    rss_start = server.Rss();
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < until) {
      if (!cycle()) ++failures;
      ++cycles;
    }
    heap_end = server.Heap();
    rss_end = server.Rss();
  }
  state.counters["cycles"] = static_cast<double>(cycles);
  state.counters["cycles_per_s"] =
      benchmark::Counter(static_cast<double>(cycles), benchmark::Counter::kIsRate);
  state.counters["failures"] = static_cast<double>(failures);
  state.counters["heap_start_kib"] = static_cast<double>(heap_start) / 1024;
  state.counters["heap_growth_bytes"] =
      static_cast<double>(heap_end - heap_start);
  state.counters["rss_start_kib"] = static_cast<double>(rss_start);
  state.counters["rss_growth_kib"] = static_cast<double>(rss_end - rss_start);
}
BENCHMARK(BM_ActivateReadRelease)->Iterations(1)->UseRealTime()->Unit(
    benchmark::kSecond);

}  // namespace
}  // namespace kavex::bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  kavex::bench::server_process.reset();
  benchmark::Shutdown();
  return 0;
}
