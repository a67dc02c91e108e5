#include "simulator/simulated_adapters.h"

#include <linux/if_packet.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "platform/base/results.h"
#include "platform/log/logger.h"
#include "platform/pkio/adapter.h"
#include "platform/pkio/bpf.h"
#include "platform/registry/registry.h"
#include "platform/sync/clock.h"
#include "simulator/generator.h"

namespace kavex::simulator {
namespace {

// Longest real-time pause between looks at the clock; the clock may be a
// test's, which moves without notice.
constexpr int kClockPollMs = 5;

// Runs the filter program itself, with the library's interpreter, as the
// kernel would for an interface.
class SimulatedAdapter : public pkio::Adapter, private pkio::FrameSource {
 public:
  SimulatedAdapter(Mode mode, const SimulatedAdapterConfig& config)
      : Adapter(mode, config.ndis_name),
        config_(config),
        generator_(config.scenario),
        last_tick_(sync::CurrentClock()->TickCount()) {
    StartReceiving(this);
  }

  ~SimulatedAdapter() override { Close(); }

 protected:
  bool ApplyBpf(std::span<const bpf_insn> program, std::string*) override {
    std::lock_guard<std::mutex> lock(mu_);
    program_.assign(program.begin(), program.end());
    return true;
  }

  bool ApplyPacketFilter(DWORD, std::string*) override { return true; }

  bool SendFrame(const uint8_t*, uint32_t, std::string*) override {
    return true;  // the simulated LAN has nobody to hear it
  }

  pkio::AdapterProperties Properties() override {
    pkio::AdapterProperties p;
    p.address = config_.address;
    p.description = "Kavex simulated Velto LAN \"" + config_.name + "\"";
    p.connected = true;
    p.link_speed_mbit = 100;
    return p;
  }

 private:
  // pkio::FrameSource
  void Wait(int timeout_ms) override {
    std::unique_lock<std::mutex> lock(mu_);
    uint64_t due = generator_.NextDueMs();
    uint64_t now =
        elapsed_ms_ + (sync::CurrentClock()->TickCount() - last_tick_);
    if (due <= now) return;
    if (timeout_ms < 0) timeout_ms = kClockPollMs;
    int ms = std::min<uint64_t>(
        {due - now, uint64_t(timeout_ms), uint64_t(kClockPollMs)});
    wake_.wait_for(lock, std::chrono::milliseconds(ms),
                   [this] { return woken_; });
    woken_ = false;
  }

  void NextBatch(std::vector<pkio::RxFrame>* frames, uint64_t*) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (!storage_.empty()) return;  // the last batch is still out
    uint32_t tick = sync::CurrentClock()->TickCount();
    elapsed_ms_ += tick - last_tick_;
    last_tick_ = tick;
    generator_.EmitDue(elapsed_ms_, [this](const std::vector<uint8_t>& frame) {
      uint32_t keep = static_cast<uint32_t>(frame.size());
      if (!program_.empty()) {
        keep = std::min(keep, pkio::BpfRun(program_, frame.data(), keep));
        if (keep == 0) return;
      }
      storage_.emplace_back(frame.begin(), frame.begin() + keep);
      wirelen_.push_back(static_cast<uint32_t>(frame.size()));
    });
    uint64_t timestamp = elapsed_ms_ * 10000;
    for (size_t i = 0; i < storage_.size(); ++i) {
      const std::vector<uint8_t>& f = storage_[i];
      frames->push_back({f.data(), static_cast<uint32_t>(f.size()), wirelen_[i],
                         timestamp, PacketType(f)});
    }
  }

  void ReleaseBatch() override {
    std::lock_guard<std::mutex> lock(mu_);
    storage_.clear();
    wirelen_.clear();
  }

  void Wake() override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      woken_ = true;
    }
    wake_.notify_all();
  }

  uint8_t PacketType(const std::vector<uint8_t>& f) const {
    if (f.size() < 6) return PACKET_OTHERHOST;
    if (memcmp(f.data(), "\xff\xff\xff\xff\xff\xff", 6) == 0)
      return PACKET_BROADCAST;
    if (f[0] & 1) return PACKET_MULTICAST;
    if (memcmp(f.data(), config_.address.data(), 6) == 0) return PACKET_HOST;
    return PACKET_OTHERHOST;
  }

  const SimulatedAdapterConfig config_;
  std::mutex mu_;
  std::condition_variable wake_;
  bool woken_ = false;
  Generator generator_;
  std::vector<bpf_insn> program_;
  uint32_t last_tick_;
  uint64_t elapsed_ms_ = 0;
  std::vector<std::vector<uint8_t>> storage_;
  std::vector<uint32_t> wirelen_;
};

// Logs a line the first time it comes up: declarations are read again at
// every enumeration.
void ReportOnce(const std::string& message) {
  static std::mutex mu;
  static auto* reported = new std::set<std::string>;
  {
    std::lock_guard<std::mutex> lock(mu);
    if (!reported->insert(message).second) return;
  }
  log::Log(log::Level::kWarning, "pkio", message);
}

// A REG_SZ or REG_MULTI_SZ value as text; REG_MULTI_SZ strings become lines.
bool ReadText(HKEY key, const char* name, std::string* text) {
  DWORD type = 0, size = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) !=
      ERROR_SUCCESS) {
    return false;
  }
  if (type != REG_SZ && type != REG_MULTI_SZ && type != REG_EXPAND_SZ) {
    return false;
  }
  std::string data(size, '\0');
  if (RegQueryValueExA(key, name, nullptr, &type,
                       reinterpret_cast<BYTE*>(data.data()),
                       &size) != ERROR_SUCCESS) {
    return false;
  }
  data.resize(size);
  while (!data.empty() && data.back() == '\0') data.pop_back();
  std::replace(data.begin(), data.end(), '\0', '\n');
  *text = data;
  return true;
}

std::vector<std::string> SimulatedNames() {
  std::vector<std::string> names;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSimulatedKey, 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return names;
  }
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD size = sizeof name;
    LONG rc =
        RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_MORE_DATA) continue;
    if (rc != ERROR_SUCCESS) break;
    names.emplace_back(name, size);
  }
  RegCloseKey(key);
  return names;
}

void Enumerate(std::vector<pkio::AdapterListing>* adapters) {
  for (const std::string& name : SimulatedNames()) {
    SimulatedAdapterConfig config;
    DWORD error = 0;
    std::string reason;
    pkio::AdapterListing listing;
    listing.ndis_name = kSimulatedNdisPrefix + name;
    listing.friendly_name = ReadSimulatedAdapter(name, &config, &error, &reason)
                                ? config.friendly_name
                                : name + " (simulated Velto LAN)";
    adapters->push_back(std::move(listing));
  }
}

std::unique_ptr<pkio::Adapter> Open(pkio::Adapter::Mode mode,
                                    const std::string& ndis_name, DWORD* error,
                                    std::string* reason) {
  SimulatedAdapterConfig config;
  if (!ReadSimulatedAdapter(ndis_name.substr(strlen(kSimulatedNdisPrefix)),
                            &config, error, reason)) {
    return nullptr;
  }
  return std::make_unique<SimulatedAdapter>(mode, config);
}

const pkio::FrameSourceType kSimulatedSource = {
    "simulated adapters", kSimulatedNdisPrefix, PKIO_BINDING_USER, &Enumerate,
    &Open};

}  // namespace

bool ReadSimulatedAdapter(const std::string& name,
                          SimulatedAdapterConfig* config, DWORD* error,
                          std::string* reason) {
  HKEY key = nullptr;
  const std::string path = std::string(kSimulatedKey) + "\\" + name;
  if (name.empty() || RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0,
                                    KEY_READ, &key) != ERROR_SUCCESS) {
    *error = ERROR_FILE_NOT_FOUND;
    *reason = "no simulated adapter \"" + name + "\" in the registry";
    return false;
  }
  SimulatedAdapterConfig c;
  c.name = name;
  c.ndis_name = kSimulatedNdisPrefix + name;
  if (!ReadText(key, "Description", &c.friendly_name) ||
      c.friendly_name.empty()) {
    c.friendly_name = name + " (simulated Velto LAN)";
  }
  std::string text;
  bool ok = true;
  if (ReadText(key, "Scenario", &text)) {
    std::string parse_error;
    if (!ParseScenario(text, &c.scenario, &parse_error)) {
      *error = ERROR_INVALID_DATA;
      *reason = "simulated adapter \"" + name + "\": scenario " + parse_error;
      ok = false;
    }
  } else {
    c.scenario = DefaultScenario();
  }
  if (ReadText(key, "Address", &text)) {
    MacAddress mac;
    if (ParseMac(text, &mac)) {
      c.address = mac;
    } else {
      ReportOnce("simulated adapter \"" + name + "\": \"Address\" \"" + text +
                 "\" is not an address like 02.00.00.00.00.01; the default is "
                 "used");
    }
  }
  RegCloseKey(key);
  if (ok) *config = std::move(c);
  return ok;
}

const pkio::FrameSourceType* SimulatedFrameSource() {
  return &kSimulatedSource;
}

}  // namespace kavex::simulator
