// Service names and the systemd units that stand for them: the one table
// that maps "Kavex OPC Server" to kavex-opc-server.service, and what the
// service dependencies the programs name mean here.
#ifndef KAVEX_PLATFORM_SERVICE_SERVICE_NAMES_H_
#define KAVEX_PLATFORM_SERVICE_SERVICE_NAMES_H_

#include <string>

namespace kavex::service {

// The OPC server's service: its name (also its display name and its event
// log source) and its unit.
inline constexpr char kServerServiceName[] = "Kavex OPC Server";
inline constexpr char kServerUnitName[] = "kavex-opc-server.service";
// The socket unit that listens on the server's DCOM ports (135 and the
// object port) and starts the service on a client's first connection.
inline constexpr char kServerSocketUnitName[] = "kavex-opc-server.socket";
// The accounts file the service reads as a credential: the service's
// unprivileged user cannot read root's 0600 file itself, so the service
// manager hands it a private copy ($CREDENTIALS_DIRECTORY/accounts). The
// same path as the network logon's default accounts file.
inline constexpr char kServerAccountsCredentialId[] = "accounts";
inline constexpr char kServerAccountsPath[] = "/etc/kavex-opc/accounts";

// The unit of a service: the table's unit for a name of the table (compared
// without regard to case, as service names are); otherwise the name itself
// when it is a valid unit name of our own making: 1 to 255 characters of
// letters, digits and "-_.@:", not starting with "." or "-", with
// ".service" appended when it has no such ending. False for anything else
// ("", "../x", names with spaces, slashes or control characters).
bool UnitForServiceName(const std::string& name, std::string* unit);

// Whether `unit` is a unit name of the characters above ending in
// ".service", ".socket" or ".target".
bool IsValidUnitName(const std::string& unit);

// The service name shown for a unit: the table's name, else the unit name.
std::string ServiceNameForUnit(const std::string& unit);

// What a service dependency means for a unit: the units it must start after
// and the units it requires. "RPCSS", the process launcher and endpoint
// mapper of the component runtime, stands for nothing to start here (the
// endpoints live in our own processes) and only asks that the network be up:
// After=network.target. A service of the table gives Requires= and After= its
// unit. False for any other name.
struct UnitDependency {
  std::string after;
  std::string requires_unit;  // empty: none
};
bool DependencyForServiceName(const std::string& name, UnitDependency* dep);

}  // namespace kavex::service

#endif  // KAVEX_PLATFORM_SERVICE_SERVICE_NAMES_H_
