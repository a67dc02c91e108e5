#include "platform/registry/hive.h"

#include <algorithm>
#include <cstdio>

namespace kavex::registry {
namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c; }

bool NameLess(std::string_view a, std::string_view b) {
  return std::lexicographical_compare(
      a.begin(), a.end(), b.begin(), b.end(),
      [](char x, char y) { return Lower(x) < Lower(y); });
}

void AppendQuoted(std::string* out, std::string_view bytes) {
  static const char kHex[] = "0123456789abcdef";
  out->push_back('"');
  for (unsigned char c : bytes) {
    switch (c) {
      case '\\':
        out->append("\\\\");
        break;
      case '"':
        out->append("\\\"");
        break;
      case '\0':
        out->append("\\0");
        break;
      case '\n':
        out->append("\\n");
        break;
      case '\r':
        out->append("\\r");
        break;
      case '\t':
        out->append("\\t");
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          out->append("\\x");
          out->push_back(kHex[c >> 4]);
          out->push_back(kHex[c & 15]);
        } else {
          out->push_back(static_cast<char>(c));
        }
    }
  }
  out->push_back('"');
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = Lower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Reads a quoted text at *pos (which is at the opening quote).
bool ReadQuoted(std::string_view line, size_t* pos, std::string* out,
                std::string* error) {
  size_t i = *pos + 1;
  out->clear();
  while (i < line.size() && line[i] != '"') {
    char c = line[i++];
    if (c != '\\') {
      out->push_back(c);
      continue;
    }
    if (i >= line.size()) break;
    char e = line[i++];
    switch (e) {
      case '\\':
        out->push_back('\\');
        break;
      case '"':
        out->push_back('"');
        break;
      case '0':
        out->push_back('\0');
        break;
      case 'n':
        out->push_back('\n');
        break;
      case 'r':
        out->push_back('\r');
        break;
      case 't':
        out->push_back('\t');
        break;
      case 'x': {
        int hi = i < line.size() ? HexDigit(line[i]) : -1;
        int lo = i + 1 < line.size() ? HexDigit(line[i + 1]) : -1;
        if (hi < 0 || lo < 0) {
          *error = "bad \\x escape";
          return false;
        }
        out->push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        break;
      }
      default:
        *error = std::string("unknown escape \\") + e;
        return false;
    }
  }
  if (i >= line.size()) {
    *error = "missing closing quote";
    return false;
  }
  *pos = i + 1;
  return true;
}

bool IsBlank(std::string_view s) {
  return s.find_first_not_of(" \t") == std::string_view::npos;
}

std::string_view Trim(std::string_view s) {
  size_t first = s.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

// "01,ab,ff" (blanks allowed around the bytes); "" is no bytes.
bool ParseHexBytes(std::string_view text, std::vector<BYTE>* out) {
  out->clear();
  text = Trim(text);
  if (text.empty()) return true;
  for (;;) {
    size_t comma = text.find(',');
    std::string_view byte = Trim(text.substr(0, comma));
    if (byte.size() != 2 || HexDigit(byte[0]) < 0 || HexDigit(byte[1]) < 0)
      return false;
    out->push_back(
        static_cast<BYTE>(HexDigit(byte[0]) * 16 + HexDigit(byte[1])));
    if (comma == std::string_view::npos) return true;
    text.remove_prefix(comma + 1);
  }
}

// `"name"=type:data` or `@=type:data` into *value.
bool ParseValueLine(std::string_view line, Value* value, std::string* error) {
  size_t pos = 0;
  if (line[0] == '@') {
    value->name.clear();
    pos = 1;
  } else if (!ReadQuoted(line, &pos, &value->name, error)) {
    return false;
  }
  if (pos >= line.size() || line[pos] != '=') {
    *error = "expected = after the value name";
    return false;
  }
  ++pos;
  size_t colon = line.find(':', pos);
  if (colon == std::string_view::npos) {
    *error = "expected type:data after =";
    return false;
  }
  std::string_view type = line.substr(pos, colon - pos);
  std::string_view data = line.substr(colon + 1);
  if (type == "sz" || type == "expand_sz") {
    value->type = type == "sz" ? 1 : 2;
    if (data.empty() || data[0] != '"') {
      *error = "expected a quoted text";
      return false;
    }
    size_t end = 0;
    std::string text;
    if (!ReadQuoted(data, &end, &text, error)) return false;
    if (!IsBlank(data.substr(end))) {
      *error = "unexpected text after the closing quote";
      return false;
    }
    value->data.assign(text.begin(), text.end());
    value->data.push_back(0);
    return true;
  }
  if (type == "dword") {
    uint32_t v = 0;
    if (data.size() != 8) {
      *error = "a dword needs 8 hex digits";
      return false;
    }
    for (char c : data) {
      int d = HexDigit(c);
      if (d < 0) {
        *error = "a dword needs 8 hex digits";
        return false;
      }
      v = v * 16 + static_cast<uint32_t>(d);
    }
    value->type = 4;
    value->data = {static_cast<BYTE>(v), static_cast<BYTE>(v >> 8),
                   static_cast<BYTE>(v >> 16), static_cast<BYTE>(v >> 24)};
    return true;
  }
  if (type.size() > 5 && type.substr(0, 4) == "hex(" && type.back() == ')') {
    std::string_view number = type.substr(4, type.size() - 5);
    uint64_t t = 0;
    for (char c : number) {
      if (c < '0' || c > '9' || t > 0xFFFFFFFFu / 10) {
        *error = "bad type number in hex(...)";
        return false;
      }
      t = t * 10 + static_cast<uint64_t>(c - '0');
    }
    if (t > 0xFFFFFFFFu) {
      *error = "bad type number in hex(...)";
      return false;
    }
    value->type = static_cast<DWORD>(t);
    if (!ParseHexBytes(data, &value->data)) {
      *error = "bad hex bytes (expected e.g. 01,ab,ff)";
      return false;
    }
    return true;
  }
  *error = "unknown value type '" + std::string(type) + "'";
  return false;
}

void AppendValue(std::string* out, const Value& value) {
  if (value.name.empty()) {
    out->push_back('@');
  } else {
    AppendQuoted(out, value.name);
  }
  out->push_back('=');
  const auto& d = value.data;
  bool is_text =
      (value.type == 1 || value.type == 2) && !d.empty() && d.back() == 0;
  if (is_text) {
    out->append(value.type == 1 ? "sz:" : "expand_sz:");
    AppendQuoted(out, std::string_view(reinterpret_cast<const char*>(d.data()),
                                       d.size() - 1));
  } else if (value.type == 4 && d.size() == 4) {
    char buf[16];
    snprintf(buf, sizeof(buf), "dword:%08x",
             d[0] | (d[1] << 8) | (d[2] << 16) | (uint32_t{d[3]} << 24));
    out->append(buf);
  } else {
    out->append("hex(" + std::to_string(value.type) + "):");
    char buf[4];
    for (size_t i = 0; i < d.size(); ++i) {
      snprintf(buf, sizeof(buf), i ? ",%02x" : "%02x", d[i]);
      out->append(buf);
    }
  }
  out->push_back('\n');
}

void AppendKey(std::string* out, const Key& key, const std::string& path) {
  if (!path.empty() || !key.values().empty()) {
    out->append("\n[" + path + "]\n");
    for (const Value& value : key.values()) AppendValue(out, value);
  }
  for (const auto& sub : key.subkeys()) {
    AppendKey(out, *sub,
              path.empty() ? sub->name() : path + "\\" + sub->name());
  }
}

}  // namespace

bool NamesEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

Key* Key::FindSubkey(std::string_view name) const {
  for (const auto& sub : subkeys_)
    if (NamesEqual(sub->name(), name)) return sub.get();
  return nullptr;
}

Key* Key::AddSubkey(std::string_view name) {
  if (Key* existing = FindSubkey(name)) return existing;
  auto it =
      std::lower_bound(subkeys_.begin(), subkeys_.end(), name,
                       [](const std::unique_ptr<Key>& k, std::string_view n) {
                         return NameLess(k->name(), n);
                       });
  return subkeys_.insert(it, std::make_unique<Key>(std::string(name)))->get();
}

bool Key::RemoveSubkey(std::string_view name) {
  for (auto it = subkeys_.begin(); it != subkeys_.end(); ++it) {
    if (NamesEqual((*it)->name(), name)) {
      subkeys_.erase(it);
      return true;
    }
  }
  return false;
}

const Value* Key::FindValue(std::string_view name) const {
  for (const Value& value : values_)
    if (NamesEqual(value.name, name)) return &value;
  return nullptr;
}

void Key::SetValue(std::string_view name, DWORD type, std::vector<BYTE> data) {
  for (Value& value : values_) {
    if (NamesEqual(value.name, name)) {
      value.type = type;
      value.data = std::move(data);
      return;
    }
  }
  values_.push_back(Value{std::string(name), type, std::move(data)});
}

bool Key::RemoveValue(std::string_view name) {
  for (auto it = values_.begin(); it != values_.end(); ++it) {
    if (NamesEqual(it->name, name)) {
      values_.erase(it);
      return true;
    }
  }
  return false;
}

void Key::Clear() {
  subkeys_.clear();
  values_.clear();
}

bool IsValidKeyName(std::string_view name) {
  if (name.empty()) return false;
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7F || c == '\\') return false;
  return true;
}

bool SplitKeyPath(std::string_view path, std::vector<std::string>* parts) {
  parts->clear();
  if (path.empty()) return true;
  if (path.front() == '\\') return false;
  if (path.back() == '\\') path.remove_suffix(1);
  size_t start = 0;
  for (;;) {
    size_t end = path.find('\\', start);
    std::string_view part = path.substr(start, end - start);
    if (part.empty()) return false;
    parts->emplace_back(part);
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

bool ParseHive(std::string_view text, Key* root, ParseError* error) {
  root->Clear();
  Key* current = nullptr;
  int number = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos) continue;
    line.remove_prefix(first);
    if (line[0] == ';' || line[0] == '#') continue;

    auto fail = [&](std::string message) {
      error->line = number;
      error->message = std::move(message);
      return false;
    };
    if (line[0] == '[') {
      size_t close = line.rfind(']');
      if (close == std::string_view::npos || !IsBlank(line.substr(close + 1)))
        return fail("a key line must be [path]");
      std::vector<std::string> parts;
      if (!SplitKeyPath(line.substr(1, close - 1), &parts))
        return fail("empty key name in the path");
      current = root;
      for (const std::string& part : parts) {
        if (!IsValidKeyName(part))
          return fail("control character in a key name");
        current = current->AddSubkey(part);
      }
      continue;
    }
    if (line[0] != '"' && line[0] != '@')
      return fail("expected [key] or \"name\"=type:data");
    if (current == nullptr) return fail("value before the first [key] line");
    Value value;
    std::string message;
    if (!ParseValueLine(line, &value, &message)) return fail(message);
    current->SetValue(value.name, value.type, std::move(value.data));
  }
  return true;
}

std::string SerializeHive(const Key& root, std::string_view title) {
  std::string out = "; ";
  out.append(title);
  out.append(
      "\n; [key\\path] starts a key; \"name\"=type:data sets a value, @ the "
      "default one.\n; Types: sz:\"text\", expand_sz:\"text\", "
      "dword:0000002a, hex(<type>):01,02.\n");
  AppendKey(&out, root, "");
  return out;
}

}  // namespace kavex::registry
