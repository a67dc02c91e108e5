// The text of the systemd unit that CreateServiceA writes for a service of
// this system, and the command-line handling that goes with it.
//
// The unit runs the program as a notify service: it reports READY=1 once it
// runs and STOPPING=1 when told to stop (service_dispatcher.h), and SIGTERM
// is its stop control. It runs as a transient unprivileged user
// (DynamicUser=yes) that holds only CAP_NET_RAW, which raw-Ethernet capture
// needs, behind the usual sandbox: the whole file system read-only
// (ProtectSystem=strict) but for its log directory /var/log/kavex-opc, which
// is also its working directory (the trace log is written there), no home
// directories, no new privileges, the configuration under /etc/kavex-opc
// read-only.
//
// Restart=on-abnormal: a crash (a signal, a watchdog or time-out) restarts
// the server after 5 s, at most 3 times a minute, so clients get it back; a
// server that ends with an exit code of its own (a device that could not
// start, a bad configuration) stays stopped, as it would under a manager
// that does not restart services, so the operator sees it stopped and its
// error in the journal instead of a restart loop; a stop request never
// restarts it.
#ifndef KAVEX_PLATFORM_SERVICE_UNIT_FILE_H_
#define KAVEX_PLATFORM_SERVICE_UNIT_FILE_H_

#include <string>
#include <utility>
#include <vector>

#include "platform/base/types.h"
#include "platform/service/service_names.h"

namespace kavex::service {

struct UnitSpec {
  std::string description;           // the service's display name
  std::vector<std::string> command;  // program (absolute path) and arguments
  std::vector<UnitDependency> dependencies;
  // Environment= lines, e.g. {"KAVEX_REGISTRY_ROOT", "/srv/kavex/registry"}.
  std::vector<std::pair<std::string, std::string>> environment;
  // Socket units whose listening sockets the service is handed (Sockets=;
  // each is also required and started before the service).
  std::vector<std::string> sockets;
  // LoadCredential= lines: {id, absolute path}, the file the service
  // manager reads for the service into $CREDENTIALS_DIRECTORY/<id>.
  std::vector<std::pair<std::string, std::string>> credentials;
};

// What a unit of this system's own services needs beyond the generic
// spec: for the server's unit, its socket unit (kServerSocketUnitName) and
// the accounts credential. Other units get nothing.
void AddUnitResources(const std::string& unit, UnitSpec* spec);

// ERROR_SUCCESS and the unit text, or ERROR_INVALID_PARAMETER for a spec that
// cannot be written as meant: no command, a program path that is not
// absolute, control characters (a line break would start a directive of its
// own) or NUL anywhere, an empty description, a variable name that is not
// [A-Za-z_][A-Za-z0-9_]*, a dependency or socket that is not a unit name
// (a socket must end in ".socket"), a credential id that is not
// [A-Za-z0-9_.-]+ or a credential path that is not absolute. Quotes,
// backslashes, "%" and "$" are escaped so systemd passes them on unchanged.
DWORD GenerateUnitText(const UnitSpec& spec, std::string* text);

// Splits a Windows command line (CreateServiceA's binary path) into words:
// words are separated by blanks; double quotes group blanks into a word;
// 2n backslashes before a quote give n backslashes and the quote groups, 2n+1
// give n backslashes and a literal quote; other backslashes are literal.
// False for an unterminated quote.
bool SplitCommandLine(const std::string& line, std::vector<std::string>* words);

}  // namespace kavex::service

#endif  // KAVEX_PLATFORM_SERVICE_UNIT_FILE_H_
