#include "platform/pkio/simulated_adapter.h"

#include <linux/if_packet.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/pkio/bpf.h"
#include "platform/sync/clock.h"
#include "simulator/generator.h"

namespace kavex::pkio {
namespace {

// Longest real-time pause between looks at the clock; the clock may be a
// test's, which moves without notice.
constexpr int kClockPollMs = 5;

class SimulatedAdapter : public Adapter, private FrameSource {
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

  AdapterProperties Properties() override {
    AdapterProperties p;
    p.address = config_.address;
    p.description = "Kavex simulated Velto LAN \"" + config_.name + "\"";
    p.connected = true;
    p.link_speed_mbit = 100;
    return p;
  }

 private:
  // FrameSource
  void Wait(int timeout_ms) override {
    std::unique_lock<std::mutex> lock(mu_);
    uint64_t due = generator_.NextDueMs();
    uint64_t now =
        elapsed_ms_ + (sync::CurrentClock()->TickCount() - last_tick_);
    if (due <= now) return;
    int ms = std::min<uint64_t>(
        {due - now, uint64_t(timeout_ms), uint64_t(kClockPollMs)});
    wake_.wait_for(lock, std::chrono::milliseconds(ms),
                   [this] { return woken_; });
    woken_ = false;
  }

  void NextBatch(std::vector<RxFrame>* frames, uint64_t*) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (!storage_.empty()) return;  // the last batch is still out
    uint32_t tick = sync::CurrentClock()->TickCount();
    elapsed_ms_ += tick - last_tick_;
    last_tick_ = tick;
    generator_.EmitDue(elapsed_ms_, [this](const std::vector<uint8_t>& frame) {
      uint32_t keep = static_cast<uint32_t>(frame.size());
      if (!program_.empty()) {
        keep = std::min(keep, BpfRun(program_, frame.data(), keep));
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
  simulator::Generator generator_;
  std::vector<bpf_insn> program_;
  uint32_t last_tick_;
  uint64_t elapsed_ms_ = 0;
  std::vector<std::vector<uint8_t>> storage_;
  std::vector<uint32_t> wirelen_;
};

}  // namespace

std::unique_ptr<Adapter> OpenSimulatedAdapter(
    Adapter::Mode mode, const SimulatedAdapterConfig& config) {
  return std::make_unique<SimulatedAdapter>(mode, config);
}

}  // namespace kavex::pkio
