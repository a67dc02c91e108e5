// svcstop: stops the OPC server's service for the package's maintainer
// scripts. Reads no arguments (any given are ignored), prints nothing, does
// not wait for the service to stop, and always exits 0.
#include "installer/svcstop.h"
#include "platform/log/logger.h"

int main() {
  // Nothing of the service layer's chatter may reach the terminal.
  kavex::log::SetSink(kavex::log::Sink{});
  return kavex::installer::StopServerService();
}
