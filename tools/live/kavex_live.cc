// kavex-live: the server's live items on this machine, with nothing but it.
//
// It points the registry at a private root, declares a simulated Velto LAN
// there, writes a configuration that maps a few of its switches, registers
// the device module, creates the device by its ProgID as the server program
// does, and is then an OPC client of the server objects in its own process:
// it creates "KavexOPCServer.Server", adds one group of the items it shows
// and shows value, quality and timestamp of switch status, link, speed,
// usage and counters per port once a second until Ctrl-C. One of the simulated
// switches falls silent from 15 s to 35 s after start: it goes offline after
// its 5 s time-out and comes back.
//
// The root is $XDG_RUNTIME_DIR/kavex-live, or without it a new private
// directory made with mkdtemp and removed at exit, or the one --root names.
// It must be private to the caller (nobody else may write it or its
// parents), and kavex-live only ever rewrites a configuration, and a
// registry, that it wrote itself: it marks its configuration file, and
// refuses a root whose file or registry came from anywhere else.
//
//   kavex-live [--root DIR] [--module PATH] [--format String|Integer]
//              [--refreshes N]
//
// The values come in through the group's IOPCDataCallback: the server's
// update thread sends what changed (everything once, when the sink is
// advised), and each refresh draws the screen from what has come in.
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/results.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"
#include "platform/com/connection_point.h"
#include "platform/com/module_registration.h"
#include "platform/com/task_memory.h"
#include "platform/com/variant.h"
#include "platform/file/file.h"
#include "platform/file/private_directory.h"
#include "platform/opc/opc_da.h"
#include "platform/registry/registry.h"
#include "platform/text/utf.h"
#include "server/objects/process_state.h"
#include "server/objects/server_module.h"
#include "server/objects/server_object.h"
#include "server/program/registration.h"

namespace kavex::tools {
namespace {

std::atomic<bool> stop_requested{false};

void OnSignal(int) { stop_requested = true; }

constexpr char kAdapterName[] = "plant";
constexpr char kNdisName[] = "\\Device\\Simulated\\plant";

// The simulated LAN: three switches of different types. "Packing" has two
// links down and one flapping, "Ring" manages a ring and falls silent for a
// while.
constexpr char kScenario[] =
    "switch 02.C4.7D.00.00.01 type=1 ports=8 ip=192.168.1.11 load=12 "
    "flap=3:7000\n"
    "switch 02.C4.7D.00.00.02 type=2 ports=17 ip=192.168.1.12 load=35 "
    "down=5,6 errors=1\n"
    "switch 02.C4.7D.00.00.03 type=3 ports=26 ip=192.168.1.13 ring=1 "
    "ringflags=13 load=60 silent=15000:35000\n";

struct MappedSwitch {
  const char* address;
  const char* alias;
  const char* model;
  int type;
  std::vector<int> ports;
};

const std::vector<MappedSwitch>& Mapping() {
  static const std::vector<MappedSwitch> mapping = {
      {"02.C4.7D.00.00.01", "Line", "T8", 1, {1, 2, 3, 4}},
      {"02.C4.7D.00.00.02", "Packing", "T17", 2, {1, 2, 5, 6}},
      {"02.C4.7D.00.00.03", "Ring", "T26", 3, {1, 2, 25, 26}},
  };
  return mapping;
}

std::string PortAlias(int number) { return "P" + std::to_string(number); }

// The first line after the declaration in every configuration kavex-live
// writes; without it a file is somebody else's.
constexpr char kMark[] =
    "<!-- Written by kavex-live for its simulated plant LAN; kavex-live "
    "rewrites this file at every start. -->";

// The configuration; `marked` false gives what earlier versions wrote.
std::string ConfigurationXml(const std::string& format, bool marked = true) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  if (marked) xml += std::string(kMark) + "\n";
  xml += "<ROOT DataFormat=\"" + format + "\" Version=\"1.0\">\n";
  xml += std::string("  <ADAPTER Name=\"") + kNdisName +
         "\" Active=\"Yes\" Timeout=\"5\">\n";
  for (const MappedSwitch& s : Mapping()) {
    xml += std::string("    <SWITCH Address=\"") + s.address + "\" Alias=\"" +
           s.alias + "\" Model=\"" + s.model + "\" Type=\"" +
           std::to_string(s.type) + "\">\n";
    for (int port : s.ports) {
      xml += "      <Port Number=\"" + std::to_string(port) + "\" Alias=\"" +
             PortAlias(port) + "\"/>\n";
    }
    xml += "    </SWITCH>\n";
  }
  xml += "  </ADAPTER>\n</ROOT>\n";
  return xml;
}

bool WrittenByUs(const std::string& xml) {
  return xml.find(kMark) != std::string::npos ||
         xml == ConfigurationXml("String", false) ||
         xml == ConfigurationXml("Integer", false);
}

bool SetString(const char* key_path, const char* name,
               const std::string& value) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key_path, 0, nullptr, 0,
                      KEY_ALL_ACCESS, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const LONG status = RegSetValueExA(
      key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
      static_cast<DWORD>(value.size() + 1));
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

// The "Configuration File" the registry under the current root names: ""
// when none; false when the registry cannot be read.
bool RegisteredConfiguration(std::string* path) {
  path->clear();
  HKEY key = nullptr;
  LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kavex OPC", 0,
                          KEY_READ, &key);
  if (rc == ERROR_FILE_NOT_FOUND) return true;
  if (rc != ERROR_SUCCESS) return false;
  char buffer[4096] = {};
  DWORD cb = sizeof(buffer) - 1;
  DWORD type = 0;
  rc = RegQueryValueExA(key, "Configuration File", nullptr, &type,
                        reinterpret_cast<BYTE*>(buffer), &cb);
  RegCloseKey(key);
  if (rc == ERROR_FILE_NOT_FOUND) return true;
  if (rc != ERROR_SUCCESS) return false;
  *path = buffer;  // up to the NUL
  return true;
}

// Refuses a root whose configuration or registry kavex-live did not write.
bool RootIsOurs(const std::string& root, const std::string& file) {
  std::string xml;
  const DWORD rc = file::ReadWholeFile(file, size_t{1} << 20, &xml);
  if (rc == ERROR_SUCCESS && !WrittenByUs(xml)) {
    std::fprintf(stderr,
                 "kavex-live: %s was not written by kavex-live; it is left as "
                 "it is. Run kavex-live with --root naming a new or empty "
                 "directory (or remove the file if nobody needs it).\n",
                 file.c_str());
    return false;
  }
  if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
    std::fprintf(stderr,
                 "kavex-live: %s cannot be read (%s); it is left as it is. "
                 "Run kavex-live with --root naming a new or empty "
                 "directory.\n",
                 file.c_str(), Win32ErrorName(rc));
    return false;
  }
  std::string registered;
  if (!RegisteredConfiguration(&registered)) {
    std::fprintf(stderr,
                 "kavex-live: cannot read the registry under %s (see above)\n",
                 root.c_str());
    return false;
  }
  if (!registered.empty() && registered != file) {
    std::fprintf(stderr,
                 "kavex-live: the registry under %s names the configuration "
                 "file %s, which is not kavex-live's; it is left as it is. Run "
                 "kavex-live with --root naming a new or empty directory.\n",
                 root.c_str(), registered.c_str());
    return false;
  }
  return true;
}

// The private registry root: the simulated LAN and the configuration.
bool PrepareRoot(const std::string& root, const std::string& format) {
  setenv("KAVEX_REGISTRY_ROOT", root.c_str(), 1);
  const std::string file = root + "/Kavex OPC.xml";
  if (!RootIsOurs(root, file)) return false;
  if (const DWORD rc = file::ReplaceFile(file, ConfigurationXml(format));
      rc != ERROR_SUCCESS) {
    std::fprintf(stderr, "kavex-live: cannot write %s: %s\n", file.c_str(),
                 Win32ErrorName(rc));
    return false;
  }
  const std::string adapter_key =
      std::string("SOFTWARE\\Kavex OPC\\Pkiolib\\Simulated\\") + kAdapterName;
  if (!SetString(adapter_key.c_str(), "Scenario", kScenario) ||
      !SetString(adapter_key.c_str(), "Description",
                 "Simulated plant LAN (kavex-live)") ||
      !SetString("SOFTWARE\\Kavex OPC", "Configuration File", file)) {
    std::fprintf(stderr, "kavex-live: cannot write the registry under %s\n",
                 root.c_str());
    return false;
  }
  return true;
}

// Registers the module as installation does: its own DllRegisterServer.
bool RegisterModule(const std::string& module) {
  void* handle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    std::fprintf(stderr, "kavex-live: cannot load %s: %s\n", module.c_str(),
                 dlerror());
    return false;
  }
  auto entry =
      reinterpret_cast<LPFNREGISTERSERVER>(dlsym(handle, "DllRegisterServer"));
  const HRESULT hr = entry != nullptr ? entry() : E_FAIL;
  dlclose(handle);
  if (FAILED(hr)) {
    std::fprintf(stderr, "kavex-live: registering %s failed: %s\n",
                 module.c_str(), HResultName(hr));
    return false;
  }
  return true;
}

// What one item showed last.
struct Cell {
  std::string text;
  WORD quality = OPC_QUALITY_UNCERTAIN;
  FILETIME time = {};
  bool known = false;
};

// The items on the screen, numbered by their client handles, and the screen
// made of them: one block per switch, one row per port, 80 columns.
class LiveView {
 public:
  LiveView() {
    for (const MappedSwitch& s : Mapping()) {
      const std::string a = s.alias;
      for (const char* name : kSwitchItems) Add(a + "." + name);
      for (int port : s.ports)
        for (const char* name : kPortItems)
          Add(a + "." + PortAlias(port) + "." + name);
    }
  }
  const std::vector<std::string>& ids() const { return ids_; }

  // New values of `count` items, as a data callback receives them.
  void OnValues(DWORD count, const OPCHANDLE* client_handles,
                const VARIANT* values, const WORD* qualities,
                const FILETIME* times, const HRESULT* errors) {
    for (DWORD i = 0; i < count; ++i) {
      if (client_handles[i] >= cells_.size()) continue;
      Cell& cell = cells_[client_handles[i]];
      cell.known = true;
      cell.quality = qualities[i];
      cell.time = times[i];
      if (FAILED(errors[i])) {
        cell.text = HResultName(errors[i]);
        continue;
      }
      com::Variant text;
      cell.text = SUCCEEDED(VariantChangeType(&text, &values[i], 0, VT_BSTR))
                      ? text::Utf16ToUtf8(com::BstrView(text.bstrVal))
                      : "?";
    }
    for (size_t s = 0; s < Mapping().size(); ++s) {
      const std::string a = Mapping()[s].alias;
      if (Text(a, "Status") == "Online") online_seen_[s] = true;
      for (int port : Mapping()[s].ports) {
        const std::string p = a + "." + PortAlias(port);
        const std::string link = Text(p, "Link_Status");
        if (link != "-" && link != "Offline") ports_seen_.insert(p);
      }
    }
  }

  std::string Screen(int refresh, bool terminal) const {
    std::string screen = terminal ? "\x1b[H\x1b[2J" : "";
    char line[256];
    std::snprintf(line, sizeof line,
                  "Kavex OPC Server items on %s  refresh %d  (Ctrl-C ends)\n",
                  kNdisName, refresh);
    screen += line;
    for (size_t s = 0; s < Mapping().size(); ++s) {
      const MappedSwitch& sw = Mapping()[s];
      const std::string a = sw.alias;
      std::string status = Text(a, "Status");
      if (!online_seen_[s] && status != "Online")
        status = "waiting for first frames";
      std::snprintf(line, sizeof line, "\n%-8.8s %-17.17s %-24.24s %s\n",
                    sw.alias, Text(a, "MAC_Address").c_str(), status.c_str(),
                    Quality(a + ".Status").c_str());
      screen += line;
      std::snprintf(
          line, sizeof line,
          "  IP %-15.15s ring %-6.6s/%-8.8s  last update %-8.8s %s\n",
          Text(a, "IP_Address").c_str(), Text(a, "ZRing.Manager").c_str(),
          Text(a, "ZRing.State").c_str(), Text(a, "Last_Update").c_str(),
          Time(a + ".Status").c_str());
      screen += line;
      std::snprintf(line, sizeof line,
                    "  %-4s %-5s %-5s %-4s %5s %12s %12s %5s %-4s %-8s\n",
                    "port", "link", "speed", "dup", "use%", "tx_octets",
                    "rx_octets", "fcs", "qual", "time");
      screen += line;
      for (int port : sw.ports) {
        const std::string p = a + "." + PortAlias(port);
        if (!ports_seen_.count(p)) {
          std::snprintf(line, sizeof line, "  %-4.4s %-57s %-4.4s %-8.8s\n",
                        PortAlias(port).c_str(), "waiting for first frames",
                        RowQuality(p).c_str(), RowTime(p).c_str());
          screen += line;
          continue;
        }
        std::snprintf(
            line, sizeof line,
            "  %-4.4s %-5.5s %-5.5s %-4.4s %5.5s %12.12s %12.12s %5.5s %-4.4s "
            "%-8.8s\n",
            PortAlias(port).c_str(), Text(p, "Link_Status").c_str(),
            Text(p, "Speed").c_str(), Text(p, "Duplex").c_str(),
            Text(p, "Usage").c_str(), Text(p, "tx_octets").c_str(),
            Text(p, "rx_octets").c_str(), Text(p, "rx_fcs_errors").c_str(),
            RowQuality(p).c_str(), RowTime(p).c_str());
        screen += line;
      }
    }
    screen +=
        "\n\"Ring\" falls silent 15 s after start: offline after its 5 s "
        "time-out,\nback at 35 s. qual/time: the row's worst quality, its "
        "newest timestamp.\n";
    return screen;
  }

 private:
  static constexpr const char* kSwitchItems[] = {
      "MAC_Address", "Status",        "Last_Update",
      "IP_Address",  "ZRing.Manager", "ZRing.State"};
  static constexpr const char* kPortItems[] = {
      "Link_Status", "Speed",     "Duplex",        "Usage",
      "tx_octets",   "rx_octets", "rx_fcs_errors", "Last_Update"};

  void Add(const std::string& id) {
    ids_.push_back(id);
    cells_.emplace_back();
  }
  const Cell* Find(const std::string& id) const {
    for (size_t i = 0; i < ids_.size(); ++i)
      if (ids_[i] == id) return &cells_[i];
    return nullptr;
  }
  std::string Text(const std::string& prefix, const char* name) const {
    const Cell* cell = Find(prefix + "." + name);
    return cell != nullptr && cell->known ? cell->text : "-";
  }
  static std::string QualityName(WORD quality) {
    switch (quality & OPC_QUALITY_MASK) {
      case OPC_QUALITY_GOOD:
        return "good";
      case OPC_QUALITY_UNCERTAIN:
        return "unc";
      default:
        return "bad";
    }
  }
  static std::string TimeText(const FILETIME& time) {
    const uint64_t ticks =
        (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
    if (ticks == 0) return "-";
    const time_t seconds =
        static_cast<time_t>(ticks / 10000000ULL - 11644473600ULL);
    tm local = {};
    localtime_r(&seconds, &local);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
  }
  std::string Quality(const std::string& id) const {
    const Cell* cell = Find(id);
    return cell != nullptr && cell->known ? QualityName(cell->quality) : "-";
  }
  std::string Time(const std::string& id) const {
    const Cell* cell = Find(id);
    return cell != nullptr && cell->known ? TimeText(cell->time) : "-";
  }
  std::string RowQuality(const std::string& prefix) const {
    bool any = false;
    WORD worst = OPC_QUALITY_GOOD;
    for (const char* name : kPortItems) {
      const Cell* cell = Find(prefix + "." + name);
      if (cell == nullptr || !cell->known) continue;
      any = true;
      if ((cell->quality & OPC_QUALITY_MASK) < (worst & OPC_QUALITY_MASK))
        worst = cell->quality;
    }
    return any ? QualityName(worst) : "-";
  }
  std::string RowTime(const std::string& prefix) const {
    FILETIME newest = {};
    uint64_t best = 0;
    for (const char* name : kPortItems) {
      const Cell* cell = Find(prefix + "." + name);
      if (cell == nullptr || !cell->known) continue;
      const uint64_t t = (uint64_t{cell->time.dwHighDateTime} << 32) |
                         cell->time.dwLowDateTime;
      if (t > best) {
        best = t;
        newest = cell->time;
      }
    }
    return TimeText(newest);
  }

  std::vector<std::string> ids_;
  std::vector<Cell> cells_;
  bool online_seen_[3] = {false, false, false};
  std::set<std::string> ports_seen_;  // ports whose frames came in
};

// The group's subscriber: values arrive on the server's update thread and
// go to the view under the lock the screen is drawn under.
class LiveSink : public com::ComObject<LiveSink, IOPCDataCallback> {
 public:
  LiveSink(LiveView* view, std::mutex* view_mu) : view_(view), mu_(view_mu) {}

  HRESULT OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD dwCount,
                       OPCHANDLE* phClientItems, VARIANT* pvValues,
                       WORD* pwQualities, FILETIME* pftTimeStamps,
                       HRESULT* pErrors) override {
    std::lock_guard<std::mutex> lock(*mu_);
    view_->OnValues(dwCount, phClientItems, pvValues, pwQualities,
                    pftTimeStamps, pErrors);
    return S_OK;
  }
  HRESULT OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*,
                         VARIANT*, WORD*, FILETIME*, HRESULT*) override {
    return S_OK;
  }
  HRESULT OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*,
                          HRESULT*) override {
    return S_OK;
  }
  HRESULT OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

 private:
  LiveView* view_;
  std::mutex* mu_;
};

// The OPC client side: a server object of this process, one active group
// of the view's items, subscribed to through IOPCDataCallback.
class LiveClient {
 public:
  ~LiveClient() { Close(); }

  HRESULT Open(LiveView* view, std::mutex* view_mu) {
    HRESULT hr = server::RegisterServerClassObjects(
        CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookies_);
    if (FAILED(hr)) return hr;
    // The server's classes in the private registry, served by this
    // program's class objects, so the ProgID leads to them as it does for
    // any client.
    hr = com::RegisterModule(server::ServerProgramModule(), com::ProgramPath());
    if (FAILED(hr)) return hr;
    CLSID clsid{};
    hr = CLSIDFromProgID(server::kServerProgId, &clsid);
    if (FAILED(hr)) return hr;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IOPCServer,
                          reinterpret_cast<void**>(server_.GetAddressOf()));
    if (FAILED(hr)) return hr;
    OPCHANDLE group_handle = 0;
    DWORD revised = 0;
    com::ComPtr<IUnknown> group;
    hr = server_->AddGroup(u"kavex-live", TRUE, 500, 0, nullptr, nullptr,
                           0x409, &group_handle, &revised, IID_IOPCItemMgt,
                           group.GetAddressOf());
    if (FAILED(hr)) return hr;
    hr = group->QueryInterface(IID_IOPCItemMgt,
                               reinterpret_cast<void**>(items_.GetAddressOf()));
    if (FAILED(hr)) return hr;

    std::vector<std::u16string> ids;
    for (const std::string& id : view->ids())
      ids.push_back(text::Utf8ToUtf16(id));
    std::vector<OPCITEMDEF> defs(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
      defs[i] = {};
      defs[i].szAccessPath = const_cast<LPWSTR>(u"");
      defs[i].szItemID = const_cast<LPWSTR>(ids[i].c_str());
      defs[i].bActive = TRUE;
      defs[i].hClient = static_cast<OPCHANDLE>(i);
      defs[i].vtRequestedDataType = VT_EMPTY;
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    hr = items_->AddItems(static_cast<DWORD>(defs.size()), defs.data(),
                          &results, &errors);
    if (FAILED(hr)) return hr;
    for (size_t i = 0; i < defs.size(); ++i) {
      if (FAILED(errors[i])) {
        std::fprintf(stderr, "kavex-live: %s: %s\n", view->ids()[i].c_str(),
                     HResultName(errors[i]));
      }
      CoTaskMemFree(results[i].pBlob);
    }
    CoTaskMemFree(results);
    CoTaskMemFree(errors);

    // Advising sends every item once; after that, what changes.
    com::ComPtr<IConnectionPointContainer> container;
    hr = group->QueryInterface(
        IID_IConnectionPointContainer,
        reinterpret_cast<void**>(container.GetAddressOf()));
    if (SUCCEEDED(hr))
      hr = container->FindConnectionPoint(IID_IOPCDataCallback,
                                          point_.GetAddressOf());
    com::ComPtr<LiveSink> sink;
    if (SUCCEEDED(hr)) hr = LiveSink::CreateInstance(&sink, view, view_mu);
    if (SUCCEEDED(hr)) hr = point_->Advise(sink.Get(), &advise_cookie_);
    return hr;
  }

  void Close() {
    if (point_ && advise_cookie_ != 0) point_->Unadvise(advise_cookie_);
    advise_cookie_ = 0;
    point_.Reset();
    items_.Reset();
    server_.Reset();
    server::RevokeServerClassObjects(&cookies_);
  }

 private:
  std::vector<DWORD> cookies_;
  com::ComPtr<IOPCServer> server_;
  com::ComPtr<IOPCItemMgt> items_;
  com::ComPtr<IConnectionPoint> point_;
  DWORD advise_cookie_ = 0;
};

// Where the registry and the configuration go, made private to the caller.
class Root {
 public:
  Root() = default;
  Root(const Root&) = delete;
  Root& operator=(const Root&) = delete;
  // A directory kavex-live made itself goes with everything in it.
  ~Root() {
    if (!made_.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(made_, ignored);
    }
  }

  // --root DIR, or $XDG_RUNTIME_DIR/kavex-live when $XDG_RUNTIME_DIR is
  // private to the caller, each created (mode 0700) when missing, or else a
  // new directory of mkdtemp's. False, with the reason on stderr, when it
  // cannot be made or is not private.
  bool Choose(const std::string& asked) {
    if (!asked.empty()) return Use(asked);
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        runtime != nullptr && runtime[0] != '\0') {
      // Not the caller's (after su, say): a directory of its own instead.
      file::DirectoryProblem problem;
      const DWORD rc = file::CheckPrivateDirectory(runtime, &problem);
      if (rc == ERROR_SUCCESS) return Use(std::string(runtime) + "/kavex-live");
      const std::string why = rc == ERROR_ACCESS_DENIED
                                  ? problem.path + " " + problem.reason
                                  : Win32ErrorName(rc);
      std::fprintf(stderr,
                   "kavex-live: $XDG_RUNTIME_DIR (%s) is not private to you "
                   "(%s); using a new directory instead\n",
                   runtime, why.c_str());
    }
    // Never a predictable name in a directory everybody writes.
    std::string pattern =
        (std::filesystem::temp_directory_path() / "kavex-live-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      std::fprintf(stderr, "kavex-live: cannot make a directory %s: %s\n",
                   pattern.c_str(), std::strerror(errno));
      return false;
    }
    made_ = pattern;
    return Use(pattern);
  }

  const std::string& path() const { return path_; }
  bool temporary() const { return !made_.empty(); }

 private:
  // Creates `path` if needed and checks that it is private.
  bool Use(const std::string& path) {
    path_ = path;
    if (const DWORD rc = file::CreateDirectories(path_, 0700);
        rc != ERROR_SUCCESS) {
      std::fprintf(stderr, "kavex-live: cannot create %s: %s\n", path_.c_str(),
                   Win32ErrorName(rc));
      return false;
    }
    file::DirectoryProblem problem;
    const DWORD rc = file::CheckPrivateDirectory(path_, &problem);
    if (rc == ERROR_ACCESS_DENIED) {
      std::fprintf(stderr,
                   "kavex-live: %s %s, so other users could change what "
                   "kavex-live writes under %s. Fix: %s, or choose another "
                   "directory with --root.\n",
                   problem.path.c_str(), problem.reason.c_str(), path_.c_str(),
                   problem.fix.c_str());
      return false;
    }
    if (rc != ERROR_SUCCESS) {
      std::fprintf(stderr, "kavex-live: cannot use %s: %s\n", path_.c_str(),
                   Win32ErrorName(rc));
      return false;
    }
    return true;
  }

  std::string path_;
  std::string made_;  // made here with mkdtemp: removed at exit
};

std::string DefaultModule() {
#ifdef KAVEX_DEVICE_MODULE_PATH
  if (std::filesystem::exists(KAVEX_DEVICE_MODULE_PATH)) {
    return KAVEX_DEVICE_MODULE_PATH;
  }
#endif
  // Beside the executable's lib directory, as installed and built.
  std::error_code error;
  const std::filesystem::path self =
      std::filesystem::read_symlink("/proc/self/exe", error);
  return (self.parent_path().parent_path() / "lib" / "libkavex-opc-device.so")
      .string();
}

// The module that serves simulated adapters, found the same ways.
std::string SimulatedAdaptersModule() {
#ifdef KAVEX_SIMULATED_ADAPTERS_MODULE_PATH
  if (std::filesystem::exists(KAVEX_SIMULATED_ADAPTERS_MODULE_PATH)) {
    return KAVEX_SIMULATED_ADAPTERS_MODULE_PATH;
  }
#endif
  std::error_code error;
  const std::filesystem::path self =
      std::filesystem::read_symlink("/proc/self/exe", error);
  return (self.parent_path().parent_path() / "lib" /
          "libkavex-simulated-adapters.so")
      .string();
}

constexpr char kUsage[] =
    "usage: kavex-live [--root DIR] [--module PATH] [--format String|Integer]\n"
    "                  [--refreshes N]\n"
    "Runs the device plug-in on a simulated Velto LAN of three switches and\n"
    "shows the server's live switch and port items (value, quality,\n"
    "timestamp) once a second until Ctrl-C.\n"
    "  --root DIR       private registry root (default $XDG_RUNTIME_DIR/"
    "kavex-live)\n"
    "  --module PATH    the device module (default: the built one)\n"
    "  --format F       item values as String (default) or Integer\n"
    "  --refreshes N    stop after N screens\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

int Main(int argc, char** argv) {
  std::string asked_root;
  std::string module = DefaultModule();
  std::string format = "String";
  long refreshes = 0;  // 0: until Ctrl-C
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("kavex-live %s\n", KAVEX_VERSION);
      return 0;
    }
    if (i + 1 >= argc) return Usage();
    const std::string value = argv[++i];
    if (arg == "--root" && !value.empty()) {
      asked_root = value;
    } else if (arg == "--module") {
      module = value;
    } else if (arg == "--format" && (value == "String" || value == "Integer")) {
      format = value;
    } else if (arg == "--refreshes") {
      char* end = nullptr;
      refreshes = std::strtol(value.c_str(), &end, 10);
      if (*end != '\0' || refreshes < 0) return Usage();
    } else {
      return Usage();
    }
  }

  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);
  Root root;
  if (!root.Choose(asked_root)) return 1;
  std::printf(
      "kavex-live: registry root %s%s\n", root.path().c_str(),
      root.temporary() ? " (a new private directory, removed at exit)" : "");
  std::fflush(stdout);
  if (!PrepareRoot(root.path(), format)) return 1;
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
  // The simulated LAN's adapter comes from its module, declared to the
  // driver library by its own registration.
  if (!RegisterModule(SimulatedAdaptersModule()) || !RegisterModule(module)) {
    CoUninitialize();
    return 1;
  }

  int status = 0;
  {
    // The device as the server program creates it, then a server object
    // of this process as an OPC client's.
    HRESULT hr = server::CreateProcessDevice();
    if (FAILED(hr)) {
      std::fprintf(stderr, "kavex-live: creating the device failed: %s\n",
                   HResultName(hr));
      status = 1;
    } else {
      LiveView view;
      std::mutex view_mu;
      LiveClient client;
      hr = client.Open(&view, &view_mu);
      if (FAILED(hr)) {
        std::fprintf(stderr,
                     "kavex-live: connecting to the server failed: %s\n",
                     HResultName(hr));
        status = 1;
      }
      const bool terminal = isatty(STDOUT_FILENO) == 1;
      for (long refresh = 1; status == 0 && !stop_requested; ++refresh) {
        std::string screen;
        {
          std::lock_guard<std::mutex> lock(view_mu);
          screen = view.Screen(static_cast<int>(refresh), terminal);
        }
        std::fputs(screen.c_str(), stdout);
        std::fflush(stdout);
        if (refreshes != 0 && refresh >= refreshes) break;
        for (int i = 0; i < 10 && !stop_requested; ++i) {
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
      }
      client.Close();
      std::printf("kavex-live: stopping the device\n");
    }
    server::SetProcessDevice(nullptr);
  }
  // The device is released: capture has stopped and the module may go.
  CoFreeUnusedLibraries();
  CoUninitialize();
  return status;
}

}  // namespace
}  // namespace kavex::tools

int main(int argc, char** argv) { return kavex::tools::Main(argc, argv); }
