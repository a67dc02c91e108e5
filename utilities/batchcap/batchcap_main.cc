// batchcap: the multi-packet read utility.
#include "utilities/batchcap/batchcap.h"
#include "utilities/common/console.h"
#include "utilities/common/pkio_api.h"

int main(int argc, char** argv) {
  using namespace kavex::utilities;
  Batchcap batchcap(RealPkio(), ProcessConsole());
  return batchcap.Run(argc, argv);
}
