// netroster: the bound adapter list.
#include "utilities/common/console.h"
#include "utilities/common/pkio_api.h"
#include "utilities/netroster/netroster.h"

int main(int argc, char** argv) {
  using namespace kavex::utilities;
  return RunNetroster(RealPkio(), ProcessConsole(), argc, argv);
}
