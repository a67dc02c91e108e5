// tapdump: the packet dump utility.
#include "utilities/common/console.h"
#include "utilities/common/pkio_api.h"
#include "utilities/tapdump/tapdump.h"

int main(int argc, char** argv) {
  using namespace kavex::utilities;
  Console& console = ProcessConsole();
  Tapdump tapdump(RealPkio(), console);
  return tapdump.Run(argc, argv);
}
