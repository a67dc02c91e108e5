// kavex-opc-server: the OPC DA server program (command_line.h).
#include <cstdio>

#include "platform/base/results.h"
#include "server/program/server_program.h"

int main(int argc, char** argv) {
  HRESULT hr = kavex::server::RunServerProgram(argc, argv);
  if (FAILED(hr))
    fprintf(stderr, "kavex-opc-server: failed: %s (0x%08X)\n",
            kavex::HResultName(hr), static_cast<unsigned>(hr));
  return kavex::server::ExitStatusFor(hr);
}
