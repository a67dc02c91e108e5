#include "platform/pkio/testing/test_lan.h"

#include <linux/if_packet.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>

#include "platform/base/results.h"
#include "platform/pkio/adapter.h"
#include "platform/pkio/bpf.h"
#include "platform/pkio/frame_source.h"

namespace kavex::pkio::testing {
namespace {

class TestAdapter;

struct Lans {
  std::mutex mu;
  std::vector<std::pair<std::string, std::string>> declared;  // name, friendly
  std::multiset<std::pair<std::string, TestAdapter*>> open;
};
Lans& GetLans() {
  static auto* lans = new Lans;
  return *lans;
}

struct Queued {
  std::vector<uint8_t> bytes;
  uint32_t wire_length;
};

class TestAdapter : public Adapter, private FrameSource {
 public:
  TestAdapter(Mode mode, const std::string& ndis_name, std::string lan)
      : Adapter(mode, ndis_name), lan_(std::move(lan)) {
    {
      std::lock_guard<std::mutex> lock(GetLans().mu);
      GetLans().open.insert({lan_, this});
    }
    StartReceiving(this);
  }
  ~TestAdapter() override {
    {
      std::lock_guard<std::mutex> lock(GetLans().mu);
      GetLans().open.erase(GetLans().open.find({lan_, this}));
    }
    Close();
  }

  void Hear(const std::vector<uint8_t>& frame, uint32_t wire_length) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      queue_.push_back({frame, wire_length});
    }
    ready_.notify_all();
  }

 protected:
  bool ApplyBpf(std::span<const bpf_insn> program, std::string*) override {
    std::lock_guard<std::mutex> lock(mu_);
    program_.assign(program.begin(), program.end());
    return true;
  }
  bool ApplyPacketFilter(DWORD, std::string*) override { return true; }
  bool SendFrame(const uint8_t*, uint32_t, std::string*) override {
    return true;
  }
  AdapterProperties Properties() override {
    AdapterProperties p;
    p.description = "test LAN \"" + lan_ + "\"";
    return p;
  }

 private:
  void Wait(int timeout_ms) override {
    std::unique_lock<std::mutex> lock(mu_);
    ready_.wait_for(lock,
                    std::chrono::milliseconds(timeout_ms < 0 ? 50 : timeout_ms),
                    [this] { return !queue_.empty() || woken_; });
    woken_ = false;
  }
  void NextBatch(std::vector<RxFrame>* frames, uint64_t*) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (!batch_.empty()) return;
    for (Queued& q : queue_) {
      uint32_t keep = static_cast<uint32_t>(q.bytes.size());
      if (!program_.empty()) {
        keep = std::min(keep, BpfRun(program_, q.bytes.data(), keep));
        if (keep == 0) continue;
      }
      q.bytes.resize(keep);
      batch_.push_back(std::move(q));
    }
    queue_.clear();
    for (const Queued& q : batch_) {
      frames->push_back({q.bytes.data(), static_cast<uint32_t>(q.bytes.size()),
                         q.wire_length, 0, PACKET_BROADCAST});
    }
  }
  void ReleaseBatch() override {
    std::lock_guard<std::mutex> lock(mu_);
    batch_.clear();
  }
  void Wake() override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      woken_ = true;
    }
    ready_.notify_all();
  }

  const std::string lan_;
  std::mutex mu_;
  std::condition_variable ready_;
  bool woken_ = false;
  std::vector<bpf_insn> program_;
  std::vector<Queued> queue_;
  std::vector<Queued> batch_;
};

void Enumerate(std::vector<AdapterListing>* adapters) {
  std::lock_guard<std::mutex> lock(GetLans().mu);
  for (const auto& [name, friendly] : GetLans().declared) {
    adapters->push_back({kTestPrefix + name, friendly});
  }
}

std::unique_ptr<Adapter> Open(Adapter::Mode mode, const std::string& ndis_name,
                              DWORD* error, std::string* reason) {
  const std::string name = ndis_name.substr(sizeof kTestPrefix - 1);
  {
    std::lock_guard<std::mutex> lock(GetLans().mu);
    const auto& declared = GetLans().declared;
    if (std::none_of(declared.begin(), declared.end(),
                     [&](const auto& d) { return d.first == name; })) {
      *error = ERROR_FILE_NOT_FOUND;
      *reason = "no test LAN \"" + name + "\"";
      return nullptr;
    }
  }
  return std::make_unique<TestAdapter>(mode, ndis_name, name);
}

const FrameSourceType kTestLanSource = {"test LANs", kTestPrefix,
                                        PKIO_BINDING_USER, &Enumerate, &Open};

}  // namespace

void InstallTestLan() { AddFrameSource(&kTestLanSource); }

void DeclareTestLan(const std::string& name, const std::string& friendly_name) {
  InstallTestLan();
  std::lock_guard<std::mutex> lock(GetLans().mu);
  auto& declared = GetLans().declared;
  if (std::none_of(declared.begin(), declared.end(),
                   [&](const auto& d) { return d.first == name; })) {
    declared.emplace_back(name, friendly_name);
  }
}

void RemoveTestLan(const std::string& name) {
  std::lock_guard<std::mutex> lock(GetLans().mu);
  auto& declared = GetLans().declared;
  declared.erase(std::remove_if(declared.begin(), declared.end(),
                                [&](const auto& d) { return d.first == name; }),
                 declared.end());
}

int SendOnTestLan(const std::string& name, const std::vector<uint8_t>& frame,
                  uint32_t wire_length) {
  std::lock_guard<std::mutex> lock(GetLans().mu);
  int heard = 0;
  for (auto it = GetLans().open.lower_bound({name, nullptr});
       it != GetLans().open.end() && it->first == name; ++it) {
    it->second->Hear(frame, wire_length != 0
                                ? wire_length
                                : static_cast<uint32_t>(frame.size()));
    ++heard;
  }
  return heard;
}

}  // namespace kavex::pkio::testing
