#include "platform/registry/reg_tool.h"

#include <cerrno>
#include <cstdlib>
#include <istream>
#include <optional>
#include <ostream>

#include "platform/registry/hive.h"
#include "platform/registry/registry.h"

namespace kavex::registry {
namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

const char kUsageText[] =
    "usage: kavex-reg query  <KEY> [/v name | /ve] [/s]\n"
    "       kavex-reg add    <KEY> [/v name | /ve] "
    "[/t REG_SZ|REG_EXPAND_SZ|REG_DWORD] [/d data] [/f]\n"
    "       kavex-reg delete <KEY> [/v name | /ve | /va] [/f]\n"
    "KEY: HKLM\\path or HKCR\\path (HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT)\n";

std::string ErrorText(LONG rc) {
  switch (rc) {
    case ERROR_FILE_NOT_FOUND:
      return "not found";
    case ERROR_KEY_DELETED:
      return "the key was deleted meanwhile";
    case ERROR_ACCESS_DENIED:
      return "access denied (a key with subkeys, no write permission on the "
             "registry directory, or a registry directory other users can "
             "write: see the message above)";
    case ERROR_BADDB:
      return "the hive file is damaged (see the message above); fix it first";
    case ERROR_BAD_PATHNAME:
      return "invalid key path";
    case ERROR_CANTREAD:
      return "cannot read the hive file";
    case ERROR_CANTWRITE:
      return "cannot write the hive file (see the message above); it is "
             "left as it was";
    default:
      return "error " + std::to_string(rc);
  }
}

struct Command {
  std::string verb;
  std::string key_text;  // as typed, for messages
  HKEY hive = nullptr;
  std::string root_name;  // HKEY_LOCAL_MACHINE or HKEY_CLASSES_ROOT
  std::string sub;
  std::optional<std::string> value;  // "" = default value
  bool all_values = false;
  bool recursive = false;
  bool force = false;
  std::optional<std::string> type;
  std::optional<std::string> data;
};

bool ParseKey(const std::string& text, Command* cmd) {
  size_t slash = text.find('\\');
  std::string root = text.substr(0, slash);
  cmd->sub = slash == std::string::npos ? "" : text.substr(slash + 1);
  if (NamesEqual(root, "HKLM") || NamesEqual(root, "HKEY_LOCAL_MACHINE")) {
    cmd->hive = HKEY_LOCAL_MACHINE;
    cmd->root_name = "HKEY_LOCAL_MACHINE";
  } else if (NamesEqual(root, "HKCR") ||
             NamesEqual(root, "HKEY_CLASSES_ROOT")) {
    cmd->hive = HKEY_CLASSES_ROOT;
    cmd->root_name = "HKEY_CLASSES_ROOT";
  } else {
    return false;
  }
  while (!cmd->sub.empty() && cmd->sub.back() == '\\') cmd->sub.pop_back();
  return true;
}

// Empty string on success, else the complaint.
std::string ParseCommand(const std::vector<std::string>& args, Command* cmd) {
  if (args.size() < 2) return "missing command or key";
  cmd->verb = args[0];
  for (char& c : cmd->verb) c = static_cast<char>(tolower(c));
  if (cmd->verb != "query" && cmd->verb != "add" && cmd->verb != "delete")
    return "unknown command '" + args[0] + "'";
  cmd->key_text = args[1];
  if (!ParseKey(args[1], cmd))
    return "the key must start with HKLM\\ or HKCR\\: '" + args[1] + "'";
  for (size_t i = 2; i < args.size(); ++i) {
    std::string option = args[i];
    if (option.size() < 2 || (option[0] != '/' && option[0] != '-'))
      return "unexpected argument '" + option + "'";
    option = option.substr(1);
    for (char& c : option) c = static_cast<char>(tolower(c));
    auto next = [&]() -> std::optional<std::string> {
      if (i + 1 >= args.size()) return std::nullopt;
      return args[++i];
    };
    if (option == "v" || option == "t" || option == "d") {
      std::optional<std::string> arg = next();
      if (!arg) return "/" + option + " needs an argument";
      if (option == "v") {
        if (cmd->value) return "give one of /v, /ve, /va";
        cmd->value = *arg;
      } else if (option == "t") {
        cmd->type = *arg;
      } else {
        cmd->data = *arg;
      }
    } else if (option == "ve") {
      if (cmd->value) return "give one of /v, /ve, /va";
      cmd->value = "";
    } else if (option == "va" && cmd->verb == "delete") {
      cmd->all_values = true;
    } else if (option == "s" && cmd->verb == "query") {
      cmd->recursive = true;
    } else if (option == "f" && cmd->verb != "query") {
      cmd->force = true;
    } else {
      return "unknown option '" + args[i] + "' for " + cmd->verb;
    }
  }
  if (cmd->all_values && cmd->value) return "give one of /v, /ve, /va";
  if (cmd->verb == "add" && !cmd->value && (cmd->type || cmd->data))
    return "/t and /d need /v or /ve";
  return "";
}

bool Confirm(const std::string& question, std::istream& in, std::ostream& out) {
  out << question << " (Yes/No)? " << std::flush;
  std::string answer;
  if (!std::getline(in, answer)) {
    out << "\n";
    return false;
  }
  return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

std::string TypeName(DWORD type) {
  switch (type) {
    case REG_NONE:
      return "REG_NONE";
    case REG_SZ:
      return "REG_SZ";
    case REG_EXPAND_SZ:
      return "REG_EXPAND_SZ";
    case REG_BINARY:
      return "REG_BINARY";
    case REG_DWORD:
      return "REG_DWORD";
    case REG_MULTI_SZ:
      return "REG_MULTI_SZ";
    default:
      return "REG_TYPE_" + std::to_string(type);
  }
}

std::string Hex(const std::vector<BYTE>& data) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (BYTE b : data) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 15]);
  }
  return out;
}

// Texts without their terminating NUL; a text stored without one is marked.
std::string DataText(DWORD type, const std::vector<BYTE>& data) {
  std::string bytes(data.begin(), data.end());
  if (type == REG_SZ || type == REG_EXPAND_SZ) {
    if (!bytes.empty() && bytes.back() == '\0') {
      bytes.pop_back();
      return bytes;
    }
    return bytes + "  (stored without terminating NUL)";
  }
  if (type == REG_DWORD && data.size() == 4) {
    char buf[16];
    snprintf(
        buf, sizeof(buf), "0x%x",
        data[0] | (data[1] << 8) | (data[2] << 16) | (uint32_t{data[3]} << 24));
    return buf;
  }
  if (type == REG_MULTI_SZ) {
    while (!bytes.empty() && bytes.back() == '\0') bytes.pop_back();
    std::string out;
    for (char c : bytes)
      out += c == '\0' ? std::string("\\0") : std::string(1, c);
    return out;
  }
  return Hex(data);
}

LONG ReadValue(HKEY key, const char* name, DWORD* type,
               std::vector<BYTE>* data) {
  DWORD size = 0;
  LONG rc = RegQueryValueExA(key, name, nullptr, type, nullptr, &size);
  for (int attempt = 0; rc == ERROR_SUCCESS && attempt < 3; ++attempt) {
    data->assign(size, 0);
    rc = RegQueryValueExA(key, name, nullptr, type, data->data(), &size);
    if (rc == ERROR_MORE_DATA) {  // changed in between; try again
      rc = ERROR_SUCCESS;
      continue;
    }
    data->resize(size);
    return rc;
  }
  return rc;
}

void PrintValue(std::ostream& out, const std::string& name, DWORD type,
                const std::vector<BYTE>& data) {
  out << "    " << (name.empty() ? "(Default)" : name) << "    "
      << TypeName(type) << "    " << DataText(type, data) << "\n";
}

LONG QueryKey(HKEY key, const std::string& path, bool recursive,
              std::ostream& out) {
  out << path << "\n";
  for (DWORD i = 0;; ++i) {
    char name[16384];
    DWORD cch = sizeof(name);
    DWORD type = 0;
    LONG rc =
        RegEnumValueA(key, i, name, &cch, nullptr, &type, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) return rc;
    std::vector<BYTE> data;
    if ((rc = ReadValue(key, name, &type, &data)) != ERROR_SUCCESS) return rc;
    PrintValue(out, name, type, data);
  }
  out << "\n";
  for (DWORD i = 0;; ++i) {
    char name[1024];
    DWORD cch = sizeof(name);
    LONG rc =
        RegEnumKeyExA(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) return rc;
    std::string sub_path = path + "\\" + name;
    if (!recursive) {
      out << sub_path << "\n";
      continue;
    }
    HKEY sub;
    if ((rc = RegOpenKeyExA(key, name, 0, KEY_READ, &sub)) != ERROR_SUCCESS)
      return rc;
    rc = QueryKey(sub, sub_path, true, out);
    RegCloseKey(sub);
    if (rc != ERROR_SUCCESS) return rc;
  }
  return ERROR_SUCCESS;
}

// Closes an opened key on every path out.
class KeyHolder {
 public:
  KeyHolder() = default;
  KeyHolder(const KeyHolder&) = delete;
  KeyHolder& operator=(const KeyHolder&) = delete;
  ~KeyHolder() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  HKEY* out() { return &key_; }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

int Fail(std::ostream& err, const std::string& what, LONG rc) {
  err << "kavex-reg: " << what << ": " << ErrorText(rc) << "\n";
  return kFailed;
}

int RunQuery(const Command& cmd, std::ostream& out, std::ostream& err) {
  KeyHolder key;
  std::string path = cmd.root_name + (cmd.sub.empty() ? "" : "\\" + cmd.sub);
  LONG rc = RegOpenKeyExA(cmd.hive, cmd.sub.c_str(), 0, KEY_READ, key.out());
  if (rc != ERROR_SUCCESS) return Fail(err, path, rc);
  if (cmd.value) {
    DWORD type = 0;
    std::vector<BYTE> data;
    rc = ReadValue(key.get(), cmd.value->c_str(), &type, &data);
    if (rc != ERROR_SUCCESS) {
      return Fail(err, path + " value \"" + *cmd.value + "\"", rc);
    }
    out << path << "\n";
    PrintValue(out, *cmd.value, type, data);
    return kOk;
  }
  rc = QueryKey(key.get(), path, cmd.recursive, out);
  return rc == ERROR_SUCCESS ? kOk : Fail(err, path, rc);
}

// The bytes to store for /t and /d, or a complaint in *error.
bool EncodeData(const Command& cmd, DWORD* type, std::vector<BYTE>* bytes,
                std::string* error) {
  std::string type_name = cmd.type.value_or("REG_SZ");
  for (char& c : type_name) c = static_cast<char>(toupper(c));
  std::string data = cmd.data.value_or("");
  if (type_name == "REG_SZ" || type_name == "REG_EXPAND_SZ") {
    *type = type_name == "REG_SZ" ? REG_SZ : REG_EXPAND_SZ;
    bytes->assign(data.begin(), data.end());
    bytes->push_back(0);
    return true;
  }
  if (type_name == "REG_DWORD") {
    char* end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(data.c_str(), &end, 0);
    if (data.empty() || data[0] == '-' || *end != '\0' || errno == ERANGE ||
        v > 0xFFFFFFFFull) {
      *error =
          "REG_DWORD data must be a number from 0 to 4294967295 "
          "(decimal or 0x hex): '" +
          data + "'";
      return false;
    }
    *type = REG_DWORD;
    *bytes = {static_cast<BYTE>(v), static_cast<BYTE>(v >> 8),
              static_cast<BYTE>(v >> 16), static_cast<BYTE>(v >> 24)};
    return true;
  }
  *error = "unsupported type '" + cmd.type.value_or("") +
           "' (REG_SZ, REG_EXPAND_SZ or REG_DWORD)";
  return false;
}

int RunAdd(const Command& cmd, std::istream& in, std::ostream& out,
           std::ostream& err) {
  std::string path = cmd.root_name + (cmd.sub.empty() ? "" : "\\" + cmd.sub);
  DWORD type = REG_SZ;
  std::vector<BYTE> bytes;
  std::string error;
  if (cmd.value && !EncodeData(cmd, &type, &bytes, &error)) {
    err << "kavex-reg: " << error << "\n";
    return kUsage;
  }
  KeyHolder key;
  LONG rc = RegCreateKeyExA(cmd.hive, cmd.sub.c_str(), 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, key.out(), nullptr);
  if (rc != ERROR_SUCCESS) return Fail(err, path, rc);
  if (!cmd.value) {
    out << "The operation completed successfully.\n";
    return kOk;
  }
  std::string shown = cmd.value->empty() ? "(Default)" : *cmd.value;
  bool exists = RegQueryValueExA(key.get(), cmd.value->c_str(), nullptr,
                                 nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  if (exists && !cmd.force &&
      !Confirm("Value " + shown + " exists, overwrite", in, out)) {
    err << "kavex-reg: not overwritten; use /f to overwrite without asking\n";
    return kFailed;
  }
  rc = RegSetValueExA(key.get(), cmd.value->c_str(), 0, type, bytes.data(),
                      static_cast<DWORD>(bytes.size()));
  if (rc != ERROR_SUCCESS) return Fail(err, path + " value " + shown, rc);
  out << "The operation completed successfully.\n";
  return kOk;
}

int RunDelete(const Command& cmd, std::istream& in, std::ostream& out,
              std::ostream& err) {
  std::string path = cmd.root_name + (cmd.sub.empty() ? "" : "\\" + cmd.sub);
  LONG rc;
  if (cmd.value || cmd.all_values) {
    KeyHolder key;
    rc = RegOpenKeyExA(cmd.hive, cmd.sub.c_str(), 0, KEY_ALL_ACCESS, key.out());
    if (rc != ERROR_SUCCESS) return Fail(err, path, rc);
    std::string what =
        cmd.all_values ? "all values of " + path
                       : "the registry value " +
                             (cmd.value->empty() ? "(Default)" : *cmd.value);
    if (!cmd.force && !Confirm("Delete " + what, in, out)) {
      err << "kavex-reg: nothing deleted\n";
      return kFailed;
    }
    if (cmd.all_values) {
      std::vector<std::string> names;
      for (DWORD i = 0;; ++i) {
        char name[16384];
        DWORD cch = sizeof(name);
        rc = RegEnumValueA(key.get(), i, name, &cch, nullptr, nullptr, nullptr,
                           nullptr);
        if (rc != ERROR_SUCCESS) break;
        names.push_back(name);
      }
      if (rc != ERROR_NO_MORE_ITEMS) return Fail(err, path, rc);
      for (const std::string& name : names) {
        rc = RegDeleteValueA(key.get(), name.c_str());
        if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
          return Fail(err, path + " value " + name, rc);
      }
    } else {
      rc = RegDeleteValueA(key.get(), cmd.value->c_str());
      if (rc != ERROR_SUCCESS) return Fail(err, path + " value", rc);
    }
  } else {
    if (cmd.sub.empty()) {
      err << "kavex-reg: refusing to delete a whole hive\n";
      return kFailed;
    }
    KeyHolder probe;
    rc = RegOpenKeyExA(cmd.hive, cmd.sub.c_str(), 0, KEY_READ, probe.out());
    if (rc != ERROR_SUCCESS) return Fail(err, path, rc);
    if (!cmd.force &&
        !Confirm("Delete the registry key " + path + " and everything below",
                 in, out)) {
      err << "kavex-reg: nothing deleted\n";
      return kFailed;
    }
    rc = RegDeleteTreeA(cmd.hive, cmd.sub.c_str());
    if (rc != ERROR_SUCCESS) return Fail(err, path, rc);
  }
  out << "The operation completed successfully.\n";
  return kOk;
}

}  // namespace

int RunRegTool(const std::vector<std::string>& args, std::istream& in,
               std::ostream& out, std::ostream& err) {
  if (args.size() == 1 &&
      (args[0] == "/?" || args[0] == "--help" || args[0] == "-h")) {
    out << kUsageText;
    return kOk;
  }
  if (args.size() == 1 && args[0] == "--version") {
    out << "kavex-reg " << KAVEX_VERSION << "\n";
    return kOk;
  }
  Command cmd;
  std::string problem = ParseCommand(args, &cmd);
  if (!problem.empty()) {
    err << "kavex-reg: " << problem << "\n" << kUsageText;
    return kUsage;
  }
  if (cmd.verb == "query") return RunQuery(cmd, out, err);
  if (cmd.verb == "add") return RunAdd(cmd, in, out, err);
  return RunDelete(cmd, in, out, err);
}

}  // namespace kavex::registry
