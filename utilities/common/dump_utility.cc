#include "utilities/common/dump_utility.h"

#include "platform/sync/clock.h"
#include "platform/sync/event.h"
#include "platform/sync/thread.h"
#include "platform/sync/wait.h"
#include "utilities/common/adapter_info.h"
#include "utilities/common/version.h"

namespace kavex::utilities {
namespace {

// The end waits this long for each thread; a failed start this long for the
// receive thread.
constexpr DWORD kThreadEndWaitMs = 5000;
constexpr DWORD kFailedStartWaitMs = 10000;

bool Ended(HANDLE thread, DWORD ms) {
  return thread == nullptr || WaitForSingleObject(thread, ms) == WAIT_OBJECT_0;
}

}  // namespace

DumpUtility::DumpUtility(const PkioApi& api, Console& console,
                         const DumpUtilityText& text, PacketFormat format)
    : api_(api),
      console_(console),
      out_(console.out()),
      text_(text),
      printer_(api, format, console.out()) {}

uint32_t DumpUtility::ElapsedMs() const {
  return GetTickCount() - start_tick_.load(std::memory_order_relaxed);
}

DWORD DumpUtility::ReceiveThreadMain(void* self) {
  return static_cast<DumpUtility*>(self)->ReceiveThreadBody();
}

void DumpUtility::CloseRecordAdapter() {
  std::lock_guard<std::mutex> lock(adapter_mu_);
  const PKIO_HANDLE handle = record_.handle.exchange(PKIO_INVALID_HANDLE);
  if (handle != PKIO_INVALID_HANDLE) CloseAdapter(handle);
}

void DumpUtility::FreePackages(bool receive_thread_ended) {
  if (receive_thread_ended) {
    packages_.reset();
  } else {
    (void)packages_.release();  // still the receive thread's
  }
}

bool DumpUtility::OnCtrl(DWORD /*event*/) {
  std::lock_guard<std::mutex> lock(adapter_mu_);
  // Before the adapter is open (or after it is closed) the process ends.
  if (record_.handle == PKIO_INVALID_HANDLE) return false;
  stop_ = true;
  fputs("\nStopping Packet Reception\n", out_);
  StopReception(request());
  PrintApplicationStatistics(TakeSnapshot(record_, ElapsedMs()));
  PrintProtocolStatistics(QueryProtocolStatistics(request()), out_);
  fflush(out_);
  return true;
}

int DumpUtility::Run(int argc, char** argv) {
  if (AnswerHelpOrVersion(
          argc, argv, text_.program,
          [this](FILE* out) { PrintDumpUsage(text_.usage, out); }, out_)) {
    return kExitOk;
  }
  fprintf(out_, text_.banner_format, VersionText().c_str());
  fputs(text_.notice, out_);
  if (!ParseDumpOptions(argc, argv, text_.usage, &options_, out_)) {
    return kExitUsage;
  }
  DumpFilterProgram(api_, options_.filter, options_.dump_level, out_);
  if (!options_.adapter_name) {
    PrintDumpUsage(text_.usage, out_);
    return kExitOk;
  }

  const char* name = options_.adapter_name->c_str();
  fprintf(out_, "AdapterName : \"%s\"\n", name);
  {
    const PKIO_HANDLE handle = OpenAdapter(name);
    if (handle == PKIO_INVALID_HANDLE) {
      const DWORD error = api_.GetLastError();
      fprintf(out_, "Could Not Open Adapter; Error 0x%8.8X\n", error);
      PrintPrivilegeHint(error, out_);
      return kExitOk;
    }
    std::lock_guard<std::mutex> lock(adapter_mu_);
    record_.handle = handle;
  }
  fputs("Adapter Opened\n", out_);

  event_.reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  if (!event_) {
    CloseRecordAdapter();
    fputs("Could Not Create Event\n", out_);
    return kExitOk;
  }
  if (!ReportAdapterInformation(request(), &record_, out_)) {
    event_.reset();
    CloseRecordAdapter();
    fputs("Could Not Get Adapter Information\n", out_);
    return kExitOk;
  }
  console_.SetTitle(record_.description);
  if (!options_.loopback) DisableLoopback(api_, record_);

  if (!options_.auto_run) {
    fputs("\nPress ENTER To Start...\n", out_);
    console_.WaitForKey();
  }
  start_tick_ = GetTickCount();
  console_.SetCtrlHandler([this](DWORD event) { return OnCtrl(event); });
  // This object may go once Run returns; the handler must go first.
  struct Uninstall {
    Console& console;
    ~Uninstall() { console.SetCtrlHandler({}); }
  } uninstall{console_};
  if (!options_.auto_run) fputs("Press Ctrl-C To Exit...\n", out_);
  fputs("Starting Packet Reception...\n", out_);

  if (!options_.filter.empty()) {
    api_.SetBPFProgram(record_.handle, options_.filter.instructions().data(),
                       options_.filter.length_bytes());
  }
  options_.filter.Clear();
  if (api_.SetTimestampResolution(record_.handle, 1)) {
    fputs("Set High-Resolution Timestamp Mode\n", out_);
  }
  fflush(out_);

  DWORD receive_thread_id = 0;
  kavex::UniqueHandle receive_thread(
      CreateThread(nullptr, 0, &DumpUtility::ReceiveThreadMain, this, 0,
                   &receive_thread_id));
  if (!receive_thread) {
    fputs("Could Not Start Receive Thread\n", out_);
    receive_thread_id = 0;
  }
  AfterReceiveThreadStarted(receive_thread_id);

  const bool receiving = StartReception(request(), &record_);
  start_tick_ = GetTickCount();
  if (!receiving) {
    fputs("Start Reception Failed\n", console_.err());
    stop_ = true;
    const bool ended = Ended(receive_thread.get(), kFailedStartWaitMs);
    CloseRecordAdapter();
    FreePackages(ended);
    return kExitReceptionFailed;
  }
  StartOtherThreads();

  while (!stopping()) {
    // Without a receive thread there is nothing to wait for but the time.
    const DWORD result =
        receive_thread
            ? WaitForSingleObjectEx(receive_thread.get(),
                                    progress_interval_ms(), TRUE)
            : (SleepEx(progress_interval_ms(), TRUE) == 0 ? WAIT_TIMEOUT
                                                          : WAIT_IO_COMPLETION);
    if (result == WAIT_OBJECT_0 || result == WAIT_FAILED) break;
    if (result == WAIT_TIMEOUT && options_.quiet && !stopping()) {
      PrintProgressLine(TakeSnapshot(record_, ElapsedMs()));
    }
  }

  StopOtherThreads();
  const bool ended = Ended(receive_thread.get(), kThreadEndWaitMs);
  StopReception(request());
  CloseRecordAdapter();
  FreePackages(ended);
  event_.reset();
  if (prompt_before_exit()) {
    fputs("\nPress Any Key To Exit After Examining Statistics...\n", out_);
    console_.WaitForKey();
  }
  fflush(out_);
  return kExitOk;
}

}  // namespace kavex::utilities
