// The main sequence the packet dump utilities share (Tapdump on single
// reads, Batchcap on multi-packet reads): banner and options, the adapter
// and its report, the start prompt, the Ctrl-C handler with its statistics,
// reception on a receive thread, the quiet progress line, and the orderly
// end.
//
// Threads: the main thread runs Run(); the receive thread runs
// ReceiveThreadBody(), and every read completion runs in its alertable
// waits; the console's control thread runs the Ctrl-C handler. One stop flag
// ends them all.
#ifndef KAVEX_UTILITIES_COMMON_DUMP_UTILITY_H_
#define KAVEX_UTILITIES_COMMON_DUMP_UTILITY_H_

#include <atomic>
#include <memory>
#include <mutex>

#include "platform/base/unique_handle.h"
#include "utilities/common/adapter_record.h"
#include "utilities/common/console.h"
#include "utilities/common/dump_options.h"
#include "utilities/common/packet_print.h"
#include "utilities/common/pkio_api.h"
#include "utilities/common/read_packages.h"
#include "utilities/common/statistics.h"

namespace kavex::utilities {

// Exit codes.
constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;  // after /h or /?
constexpr int kExitReceptionFailed = 3;

struct DumpUtilityText {
  const char* program;        // "tapdump", for --version
  const char* banner_format;  // with %s for the version text
  const char* notice;         // one line: what the program is for
  DumpProgramText usage;
};

class DumpUtility {
 public:
  DumpUtility(const DumpUtility&) = delete;
  DumpUtility& operator=(const DumpUtility&) = delete;
  virtual ~DumpUtility() = default;

  // The whole program; returns its exit code.
  int Run(int argc, char** argv);

 protected:
  DumpUtility(const PkioApi& api, Console& console, const DumpUtilityText& text,
              PacketFormat format);

  // --- What the programs do differently -----------------------------------
  virtual PKIO_HANDLE OpenAdapter(const char* name) = 0;
  virtual void CloseAdapter(PKIO_HANDLE handle) = 0;
  // Runs on the receive thread until the stop flag is set.
  virtual DWORD ReceiveThreadBody() = 0;
  // Right after the receive thread was started (thread_id: its kernel id,
  // 0 when it could not be started).
  virtual void AfterReceiveThreadStarted(DWORD /*thread_id*/) {}
  // Once reception runs / before the end waits for the receive thread.
  virtual void StartOtherThreads() {}
  virtual void StopOtherThreads() {}
  virtual DWORD progress_interval_ms() const = 0;
  virtual void PrintProgressLine(const ReceiveSnapshot& s) = 0;
  virtual void PrintApplicationStatistics(const ReceiveSnapshot& s) = 0;
  // Tapdump waits for a key before it exits; Batchcap does not.
  virtual bool prompt_before_exit() const = 0;

  // --- For the programs ---------------------------------------------------
  Request request() const {
    return Request{api_, record_.handle, event_.get()};
  }
  bool stopping() const { return stop_.load(std::memory_order_relaxed); }
  uint32_t ElapsedMs() const;
  // The packet print format on the record, from a completion routine.
  void PrintPacket(const PKIO_PACKET_HEADER& header, const BYTE* frame,
                   DWORD size) {
    printer_.Print(&record_, header, frame, size, options_.quiet);
  }

  const PkioApi& api_;
  Console& console_;
  FILE* const out_;
  DumpOptions options_;
  AdapterRecord record_;
  // Made by the receive thread; freed by the main thread once the adapter
  // is closed (and so no completion can touch them).
  std::unique_ptr<ReadPackages> packages_;

 private:
  static DWORD ReceiveThreadMain(void* self);
  bool OnCtrl(DWORD event);
  // Closes the adapter (the Ctrl-C handler then finds it closed).
  void CloseRecordAdapter();
  // Frees the read packages unless the receive thread is still running, in
  // which case it keeps them for good: it may still post or complete one.
  void FreePackages(bool receive_thread_ended);

  const DumpUtilityText& text_;
  PacketPrinter printer_;
  kavex::UniqueHandle event_;
  std::atomic<bool> stop_{false};
  std::atomic<uint32_t> start_tick_{0};
  // Held by the Ctrl-C handler while it uses the adapter, and for closing
  // it.
  std::mutex adapter_mu_;
};

}  // namespace kavex::utilities

#endif  // KAVEX_UTILITIES_COMMON_DUMP_UTILITY_H_
