// Tapdump: prints the frames one adapter receives (or, quiet, their rate),
// optionally sends bursts of test frames, and prints the statistics on
// Ctrl-C. 512 single reads stay posted on the receive thread.
#ifndef KAVEX_UTILITIES_TAPDUMP_TAPDUMP_H_
#define KAVEX_UTILITIES_TAPDUMP_TAPDUMP_H_

#include <cstddef>
#include <memory>
#include <unordered_map>

#include "utilities/common/dump_utility.h"

namespace kavex::utilities {

constexpr size_t kTapdumpReadPackages = 512;
constexpr size_t kTestPayloadLength = 50;
constexpr size_t kTestBurstFrames = 20;
constexpr DWORD kTestBurstIntervalMs = 5000;

// A test frame for the medium, payload_length bytes of the letter, with the
// station address as source: 802.3 (broadcast destination, source, 60 00,
// payload), 802.5 (access and frame control, destination, source,
// payload) or LocalTalk (destination node, source node, type, payload).
// Returns the frame's length, 0 for other media (nothing is sent).
size_t BuildTestFrame(DWORD medium, const BYTE address[6], char letter,
                      size_t payload_length, BYTE* frame, size_t capacity);

class Tapdump : public DumpUtility {
 public:
  Tapdump(const PkioApi& api, Console& console);
  ~Tapdump() override;

 protected:
  PKIO_HANDLE OpenAdapter(const char* name) override;
  void CloseAdapter(PKIO_HANDLE handle) override;
  DWORD ReceiveThreadBody() override;
  void StartOtherThreads() override;
  void StopOtherThreads() override;
  DWORD progress_interval_ms() const override { return 5000; }
  void PrintProgressLine(const ReceiveSnapshot& s) override;
  void PrintApplicationStatistics(const ReceiveSnapshot& s) override;
  bool prompt_before_exit() const override { return true; }

 private:
  struct TestFrame;

  static void ReadComplete(DWORD error, DWORD bytes, OVERLAPPED* overlapped);
  static void SendComplete(DWORD error, DWORD bytes, OVERLAPPED* overlapped);
  static DWORD SendThreadMain(void* self);
  void OnRead(ReadPackage* package, DWORD status);
  DWORD SendThreadBody();
  void SendTestPacket();

  kavex::UniqueHandle send_thread_;
  // The send thread's: frames issued and not yet completed, by their
  // overlapped block. Those still here when the thread ends are freed then
  // (their completions can no longer run).
  std::unordered_map<OVERLAPPED*, std::unique_ptr<TestFrame>> in_flight_;
  char next_letter_ = 'A';
};

}  // namespace kavex::utilities

#endif  // KAVEX_UTILITIES_TAPDUMP_TAPDUMP_H_
