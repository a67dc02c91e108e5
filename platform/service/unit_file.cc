#include "platform/service/unit_file.h"

#include "platform/base/results.h"
#include "platform/service/service_names.h"

namespace kavex::service {
namespace {

bool HasControlCharacters(const std::string& text) {
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7F) return true;
  return false;
}

bool IsVariableName(const std::string& name) {
  if (name.empty() || (name[0] >= '0' && name[0] <= '9')) return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
              (c >= '0' && c <= '9') || c == '_';
    if (!ok) return false;
  }
  return true;
}

// One double-quoted word of a unit file. systemd un-escapes C escapes in
// quoted words and expands "%" specifiers everywhere; on ExecStart= lines it
// also expands "$NAME", which `dollars` escapes.
std::string Quote(const std::string& word, bool dollars) {
  std::string out = "\"";
  for (char c : word) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '%') out += '%';
    if (c == '$' && dollars) out += '$';
    out += c;
  }
  out += '"';
  return out;
}

bool IsCredentialId(const std::string& id) {
  if (id.empty() || id == "." || id == "..") return false;
  for (char c : id) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
              (c >= '0' && c <= '9') || c == '_' || c == '.' || c == '-';
    if (!ok) return false;
  }
  return true;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() > suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// "%" doubled: systemd expands specifiers in these values.
std::string Percents(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '%' ? std::string("%%") : std::string(1, c);
  return out;
}

}  // namespace

void AddUnitResources(const std::string& unit, UnitSpec* spec) {
  if (unit != kServerUnitName) return;
  spec->sockets.push_back(kServerSocketUnitName);
  spec->credentials.emplace_back(kServerAccountsCredentialId,
                                 kServerAccountsPath);
}

DWORD GenerateUnitText(const UnitSpec& spec, std::string* text) {
  if (spec.command.empty() || spec.command[0].empty() ||
      spec.command[0][0] != '/' || spec.description.empty() ||
      HasControlCharacters(spec.description))
    return ERROR_INVALID_PARAMETER;
  for (const std::string& word : spec.command)
    if (HasControlCharacters(word)) return ERROR_INVALID_PARAMETER;
  for (const auto& [name, value] : spec.environment)
    if (!IsVariableName(name) || HasControlCharacters(value))
      return ERROR_INVALID_PARAMETER;
  for (const std::string& socket : spec.sockets)
    if (!IsValidUnitName(socket) || !EndsWith(socket, ".socket"))
      return ERROR_INVALID_PARAMETER;
  for (const auto& [id, path] : spec.credentials)
    if (!IsCredentialId(id) || path.empty() || path[0] != '/' ||
        HasControlCharacters(path))
      return ERROR_INVALID_PARAMETER;
  std::string after;
  std::string requires_units;
  for (const UnitDependency& dep : spec.dependencies) {
    if (!IsValidUnitName(dep.after) ||
        (!dep.requires_unit.empty() && !IsValidUnitName(dep.requires_unit)))
      return ERROR_INVALID_PARAMETER;
    after += (after.empty() ? "" : " ") + dep.after;
    if (!dep.requires_unit.empty())
      requires_units += (requires_units.empty() ? "" : " ") + dep.requires_unit;
  }
  std::string sockets;
  for (const std::string& socket : spec.sockets) {
    after += (after.empty() ? "" : " ") + socket;
    requires_units += (requires_units.empty() ? "" : " ") + socket;
    sockets += (sockets.empty() ? "" : " ") + socket;
  }

  std::string exec;
  for (const std::string& word : spec.command)
    exec += (exec.empty() ? "" : " ") + Quote(word, /*dollars=*/true);

  std::string out;
  out += "# Written when the service was registered; registering it again\n";
  out += "# rewrites this file and removing it deletes the file.\n";
  out += "[Unit]\n";
  std::string description;
  for (char c : spec.description)
    description += c == '%' ? "%%" : std::string(1, c);
  out += "Description=" + description + "\n";
  if (!after.empty()) out += "After=" + after + "\n";
  if (!requires_units.empty()) out += "Requires=" + requires_units + "\n";
  out += "StartLimitIntervalSec=60\n";
  out += "StartLimitBurst=3\n";
  out += "\n[Service]\n";
  out += "Type=notify\n";
  out += "NotifyAccess=main\n";
  out += "ExecStart=" + exec + "\n";
  for (const auto& [name, value] : spec.environment)
    out += "Environment=" + Quote(name + "=" + value, /*dollars=*/false) + "\n";
  if (!sockets.empty()) out += "Sockets=" + sockets + "\n";
  for (const auto& [id, path] : spec.credentials)
    out += "LoadCredential=" + id + ":" + Percents(path) + "\n";
  out += "Restart=on-abnormal\n";
  out += "RestartSec=5s\n";
  out += "DynamicUser=yes\n";
  out += "AmbientCapabilities=CAP_NET_RAW\n";
  out += "CapabilityBoundingSet=CAP_NET_RAW\n";
  out += "NoNewPrivileges=yes\n";
  out += "ProtectSystem=strict\n";
  out += "ProtectHome=yes\n";
  out += "ProtectKernelTunables=yes\n";
  out += "ProtectKernelModules=yes\n";
  out += "ProtectControlGroups=yes\n";
  out +=
      "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK AF_PACKET\n";
  // "-": a machine without the directory still starts the service, which
  // then reports the missing configuration itself.
  out += "ReadOnlyPaths=-/etc/kavex-opc\n";
  out += "LogsDirectory=kavex-opc\n";
  out += "WorkingDirectory=/var/log/kavex-opc\n";
  out += "\n[Install]\n";
  out += "WantedBy=multi-user.target\n";
  *text = std::move(out);
  return ERROR_SUCCESS;
}

bool SplitCommandLine(const std::string& line,
                      std::vector<std::string>* words) {
  words->clear();
  size_t i = 0;
  const size_t n = line.size();
  while (true) {
    while (i < n && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= n) return true;
    std::string word;
    bool quoted = false;
    while (i < n && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
      if (line[i] == '\\') {
        size_t run = 0;
        while (i < n && line[i] == '\\') ++run, ++i;
        if (i < n && line[i] == '"') {
          word.append(run / 2, '\\');
          if (run % 2 == 1) {
            word += '"';
            ++i;
          }
        } else {
          word.append(run, '\\');
        }
      } else if (line[i] == '"') {
        quoted = !quoted;
        ++i;
      } else {
        word += line[i++];
      }
    }
    if (quoted) return false;
    words->push_back(std::move(word));
  }
}

}  // namespace kavex::service
