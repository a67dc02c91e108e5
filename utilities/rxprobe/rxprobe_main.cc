// rxprobe: the two-adapter receive test.
#include "utilities/common/console.h"
#include "utilities/common/pkio_api.h"
#include "utilities/rxprobe/rxprobe.h"

int main(int argc, char** argv) {
  using namespace kavex::utilities;
  Rxprobe rxprobe(RealPkio(), ProcessConsole());
  return rxprobe.Run(argc, argv);
}
