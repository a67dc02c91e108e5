// The content of one registry hive and its text file format.
//
// A hive file is UTF-8/8-bit text, one entry per line:
//
//   ; comment (also #); blank lines are ignored
//   [SOFTWARE\Kavex OPC]                    a key, by its path from the hive
//   "Configuration File"=sz:"/etc/kavex-opc/config.xml"
//   @=sz:"Server Class"                     @ is the key's default value
//   "Logging Level"=dword:00000004          4 bytes, written as hex
//   "Path"=expand_sz:"%ProgramFiles%\\x"
//   "Raw"=hex(3):01,02,ff                   any type (decimal) as bytes
//
// A key's line comes before its values; keys are created with their parents;
// `[]` is the hive's own key. sz/expand_sz hold the text followed by one NUL
// (a string stored without its NUL, or of another size, is written as hex).
// In quoted texts \\ \" \0 \n \r \t and \xHH are escapes; other bytes stand
// for themselves. Key names are everything between the brackets and may not
// hold control characters. Names compare case-insensitively (ASCII) and keep
// the case they were created with.
#ifndef KAVEX_PLATFORM_REGISTRY_HIVE_H_
#define KAVEX_PLATFORM_REGISTRY_HIVE_H_

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/types.h"

namespace kavex::registry {

bool NamesEqual(std::string_view a, std::string_view b);

struct Value {
  std::string name;  // "" = the default value
  DWORD type = 0;
  std::vector<BYTE> data;  // strings as 8-bit/UTF-8 bytes, as stored
};

class Key {
 public:
  explicit Key(std::string name = {}) : name_(std::move(name)) {}
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;

  const std::string& name() const { return name_; }
  // Subkeys in case-insensitive order; values in the order first set.
  const std::vector<std::unique_ptr<Key>>& subkeys() const { return subkeys_; }
  const std::vector<Value>& values() const { return values_; }

  Key* FindSubkey(std::string_view name) const;
  // Returns the existing subkey of that name, or a new one.
  Key* AddSubkey(std::string_view name);
  bool RemoveSubkey(std::string_view name);

  const Value* FindValue(std::string_view name) const;
  // Replaces the data (and type) of an existing value in place.
  void SetValue(std::string_view name, DWORD type, std::vector<BYTE> data);
  bool RemoveValue(std::string_view name);
  void Clear();

 private:
  std::string name_;
  std::vector<std::unique_ptr<Key>> subkeys_;
  std::vector<Value> values_;
};

// Splits a key path at backslashes. An empty path is the key itself; a
// trailing backslash is allowed; a leading one or an empty component makes
// it invalid (false).
bool SplitKeyPath(std::string_view path, std::vector<std::string>* parts);
// Key names keep to printable text: no control characters.
bool IsValidKeyName(std::string_view name);

struct ParseError {
  int line = 0;
  std::string message;
};

// Parses hive text into *root (cleared first). On failure *error names the
// first bad line and *root is unspecified.
bool ParseHive(std::string_view text, Key* root, ParseError* error);
// The text form; ParseHive(SerializeHive(k)) gives back the same content.
std::string SerializeHive(const Key& root, std::string_view title);

}  // namespace kavex::registry

#endif  // KAVEX_PLATFORM_REGISTRY_HIVE_H_
