// Rxprobe: the smallest receive test of the driver. Opens one or two
// adapters, reports a few of their properties, keeps ten reads posted on
// each and prints a line at every entry point of the completion path and
// one per completed read, until Ctrl-C. Every completion runs on the main
// thread during its alertable waits.
#ifndef KAVEX_UTILITIES_RXPROBE_RXPROBE_H_
#define KAVEX_UTILITIES_RXPROBE_RXPROBE_H_

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/base/unique_handle.h"
#include "utilities/common/console.h"
#include "utilities/common/pkio_api.h"
#include "utilities/common/read_packages.h"

namespace kavex::utilities {

constexpr size_t kRxprobeReadNodes = 10;
// Frames larger than this are cut; an adapter claiming more is not
// believed.
constexpr LONG kRxprobeMaxBuffer = 65535;

class Rxprobe {
 public:
  // One opened adapter.
  struct Adapter {
    Rxprobe* probe = nullptr;
    std::string name;
    PKIO_HANDLE handle = PKIO_INVALID_HANDLE;
    std::string description;  // empty: none
    LONG medium = -1;
    LONG max_total_size = -1;
    kavex::UniqueHandle event;
    // The identity printed with every read: 1 for /a, 2 for /b.
    DWORD identity = 0;
    std::unique_ptr<ReadPackages> nodes;
    const PkioApi* api = nullptr;

    ~Adapter();  // closes the handle, then frees the nodes
  };

  Rxprobe(const PkioApi& api, Console& console);
  Rxprobe(const Rxprobe&) = delete;
  Rxprobe& operator=(const Rxprobe&) = delete;

  int Run(int argc, char** argv);

  // Adapter opening: prints the description, maximum total size and
  // medium; null (with the failure printed) when it cannot be opened or
  // queried.
  std::unique_ptr<Adapter> OpenAdapter(const std::string& name, DWORD identity);
  // Posts the adapter's ten reads, then sets its packet filter.
  void StartReceiving(Adapter* adapter);
  bool OnCtrl(DWORD event);

 private:
  static void ReadComplete(DWORD error, DWORD bytes, OVERLAPPED* overlapped);
  void HandleReadComplete(Adapter* adapter, ReadPackage* node, DWORD status);

  const PkioApi& api_;
  Console& console_;
  FILE* const out_;
  std::atomic<bool> stop_{false};
  kavex::UniqueHandle stop_event_;
};

}  // namespace kavex::utilities

#endif  // KAVEX_UTILITIES_RXPROBE_RXPROBE_H_
