// Costs of the sync primitives on the per-frame path: the tick read, an
// event round trip, and a completion routine queued to a waiting thread.
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

#include "platform/sync/sync.h"

namespace kavex::bench {
namespace {

void BM_GetTickCount(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(GetTickCount());
}
BENCHMARK(BM_GetTickCount);

void BM_SetEventThenWait(benchmark::State& state) {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  for (auto _ : state) {
    SetEvent(event);
    benchmark::DoNotOptimize(WaitForSingleObject(event, 0));
  }
  CloseHandle(event);
}
BENCHMARK(BM_SetEventThenWait);

void CountApc(uintptr_t counter) {
  reinterpret_cast<std::atomic<int64_t>*>(counter)->fetch_add(1);
}

// Another thread queues routines; this one runs them in alertable waits, as
// the receive thread runs read completions.
void BM_ApcDelivery(benchmark::State& state) {
  HANDLE self = sync::OpenCurrentThread();
  std::atomic<int64_t> ran{0};
  std::atomic<bool> stop{false};
  std::thread producer([&] {
    int64_t queued = 0;
    while (!stop) {
      if (queued - ran.load() < 64) {  // keep a bounded backlog
        QueueUserAPC(CountApc, self, reinterpret_cast<uintptr_t>(&ran));
        ++queued;
      } else {
        std::this_thread::yield();
      }
    }
  });
  int64_t expected = 0;
  for (auto _ : state) {
    ++expected;
    while (ran.load() < expected) SleepEx(INFINITE, TRUE);
  }
  stop = true;
  producer.join();
  SleepEx(0, TRUE);
  CloseHandle(self);
}
BENCHMARK(BM_ApcDelivery);

}  // namespace
}  // namespace kavex::bench

BENCHMARK_MAIN();
