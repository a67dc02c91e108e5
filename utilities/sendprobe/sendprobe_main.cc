// sendprobe: the transmit test.
#include "utilities/common/console.h"
#include "utilities/common/pkio_api.h"
#include "utilities/sendprobe/sendprobe.h"

int main(int argc, char** argv) {
  using namespace kavex::utilities;
  return RunSendprobe(RealPkio(), ProcessConsole(), argc, argv);
}
