#include "simulator/scenario.h"

#include <charconv>
#include <cstdio>

namespace kavex::simulator {
namespace {

bool ParseUint(std::string_view text, uint64_t max, uint64_t* value) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  if (text.empty()) return false;
  uint64_t v = 0;
  auto [end, ec] =
      std::from_chars(text.data(), text.data() + text.size(), v, base);
  if (ec != std::errc() || end != text.data() + text.size() || v > max) {
    return false;
  }
  *value = v;
  return true;
}

template <typename T>
bool ParseNumber(std::string_view text, uint64_t min, uint64_t max, T* out) {
  uint64_t v = 0;
  if (!ParseUint(text, max, &v) || v < min) return false;
  *out = static_cast<T>(v);
  return true;
}

bool ParseIp(std::string_view text, std::array<uint8_t, 4>* ip) {
  for (int i = 0; i < 4; ++i) {
    size_t dot = i < 3 ? text.find('.') : text.size();
    if (dot == std::string_view::npos) return false;
    if (!ParseNumber(text.substr(0, dot), 0, 255, &(*ip)[i])) return false;
    text.remove_prefix(i < 3 ? dot + 1 : dot);
  }
  return text.empty();
}

bool ParsePortList(std::string_view text, std::vector<int>* ports) {
  while (!text.empty()) {
    size_t comma = text.find(',');
    int port = 0;
    if (!ParseNumber(text.substr(0, comma), 1, 26, &port)) return false;
    ports->push_back(port);
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return !ports->empty();
}

// Splits a line into words; a value may be double-quoted to hold blanks.
std::vector<std::string> Words(std::string_view line, bool* ok) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false, quoted = false;
  for (char c : line) {
    if (quoted) {
      if (c == '"') {
        quoted = false;
      } else {
        word += c;
      }
    } else if (c == '"') {
      quoted = true;
      in_word = true;
    } else if (c == ' ' || c == '\t' || c == '\r') {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (in_word) words.push_back(std::move(word));
  *ok = !quoted;
  return words;
}

bool ApplyKey(std::string_view key, std::string_view value, SwitchSpec* s,
              std::string* why) {
  bool ok = true;
  if (key == "type") {
    ok = ParseNumber(value, 1, 5, &s->type);
  } else if (key == "ports") {
    ok = ParseNumber(value, 1, 26, &s->ports);
  } else if (key == "info") {
    ok = ParseNumber(value, 0, 3, &s->info_version);
  } else if (key == "ip") {
    ok = ParseIp(value, &s->ip);
  } else if (key == "ring") {
    ok = ParseNumber(value, 0, 255, &s->ring_version);
  } else if (key == "ringflags") {
    ok = ParseNumber(value, 0, 255, &s->ring_flags);
  } else if (key == "config") {
    ok = value.size() <= 32;
    s->config_text = std::string(value);
  } else if (key == "load") {
    uint32_t load = 0;
    ok = ParseNumber(value, 0, 100, &load);
    s->load_percent = load;
  } else if (key == "speed") {
    ok = ParseNumber(value, 10, 100, &s->speed) &&
         (s->speed == 10 || s->speed == 100);
  } else if (key == "duplex") {
    ok = value == "full" || value == "half";
    s->full_duplex = value == "full";
  } else if (key == "cycle") {
    ok = ParseNumber(value, 1, 3600000, &s->cycle_ms);
  } else if (key == "down") {
    ok = ParsePortList(value, &s->down_ports);
  } else if (key == "flap") {
    size_t colon = value.find(':');
    ok = colon != std::string_view::npos &&
         ParseNumber(value.substr(0, colon), 1, 26, &s->flap_port) &&
         ParseNumber(value.substr(colon + 1), 1, 3600000, &s->flap_ms);
  } else if (key == "ringflap") {
    ok = ParseNumber(value, 1, 3600000, &s->ring_flap_ms);
  } else if (key == "silent") {
    size_t colon = value.find(':');
    ok = colon != std::string_view::npos &&
         ParseNumber(value.substr(0, colon), 0, UINT32_MAX, &s->silent_from_ms);
    if (ok && colon + 1 == value.size()) {
      s->silent_forever = true;
    } else if (ok) {
      ok = ParseNumber(value.substr(colon + 1), 0, UINT32_MAX,
                       &s->silent_to_ms) &&
           s->silent_to_ms > s->silent_from_ms;
    }
    s->silent = ok;
  } else if (key == "errors") {
    ok = ParseNumber(value, 0, 1000000, &s->errors_per_cycle);
  } else if (key == "extra") {
    ok = ParseNumber(value, 0, 1, &s->extra_record);
  } else if (key == "cpu") {
    ok = ParseNumber(value, 0, 1, &s->cpu_frame);
  } else {
    *why = "unknown key \"" + std::string(key) + "\"";
    return false;
  }
  if (!ok)
    *why = "bad value for " + std::string(key) + ": \"" + std::string(value) +
           "\"";
  return ok;
}

bool CheckSwitch(const SwitchSpec& s, std::string* why) {
  int max_ports = (s.type == 2 || s.type == 3) ? 26 : 24;
  if (s.ports > max_ports) {
    *why = "type " + std::to_string(s.type) + " has at most " +
           std::to_string(max_ports) + " ports";
    return false;
  }
  for (int p : s.down_ports) {
    if (p > s.ports) {
      *why = "down port " + std::to_string(p) + " does not exist";
      return false;
    }
  }
  if (s.flap_port > s.ports) {
    *why = "flap port does not exist";
    return false;
  }
  return true;
}

}  // namespace

bool ParseMac(std::string_view text, MacAddress* mac) {
  if (text.size() != 17) return false;
  for (int i = 0; i < 6; ++i) {
    if (i > 0 && text[i * 3 - 1] != '.' && text[i * 3 - 1] != ':' &&
        text[i * 3 - 1] != '-') {
      return false;
    }
    const char* first = text.data() + i * 3;
    uint8_t byte = 0;
    auto [end, ec] = std::from_chars(first, first + 2, byte, 16);
    if (ec != std::errc() || end != first + 2) return false;
    (*mac)[i] = byte;
  }
  return true;
}

bool ParseScenario(std::string_view text, Scenario* scenario,
                   std::string* error) {
  Scenario result;
  int line_number = 0;
  while (!text.empty()) {
    size_t end = text.find_first_of("\n;");
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++line_number;
    if (size_t hash = line.find('#'); hash != std::string_view::npos) {
      line = line.substr(0, hash);
    }
    bool ok = true;
    std::vector<std::string> words = Words(line, &ok);
    auto fail = [&](const std::string& why) {
      *error = "line " + std::to_string(line_number) + ": " + why;
      return false;
    };
    if (!ok) return fail("unterminated quote");
    if (words.empty()) continue;
    if (words[0] == "dest") {
      if (words.size() != 2 || !ParseMac(words[1], &result.destination)) {
        return fail("dest needs one address");
      }
      continue;
    }
    if (words[0] != "switch")
      return fail("unknown statement \"" + words[0] + "\"");
    SwitchSpec sw;
    if (words.size() < 2 || !ParseMac(words[1], &sw.address)) {
      return fail("switch needs an address like 02.C4.7D.00.00.01");
    }
    bool config_given = false;
    for (size_t i = 2; i < words.size(); ++i) {
      size_t eq = words[i].find('=');
      if (eq == std::string::npos)
        return fail("expected key=value: " + words[i]);
      config_given = config_given || words[i].compare(0, eq, "config") == 0;
      std::string why;
      if (!ApplyKey(std::string_view(words[i]).substr(0, eq),
                    std::string_view(words[i]).substr(eq + 1), &sw, &why)) {
        return fail(why);
      }
    }
    if (!config_given) sw.config_text = CatalogConfigText(sw.type);
    std::string why;
    if (!CheckSwitch(sw, &why)) return fail(why);
    result.switches.push_back(std::move(sw));
  }
  *scenario = std::move(result);
  return true;
}

std::string CatalogConfigText(int type) {
  switch (type) {
    case 1:
      return "KX-108";
    case 2:
      return "KX-217";
    case 3:
      return "KX-326G";
    case 4:
      return "KM-414(T4,T4,T4)";
    case 5:
      return "KM-518(T4,T4,T4,T4)";
    default:
      return std::string();
  }
}

Scenario DefaultScenario() {
  Scenario scenario;
  std::string error;
  ParseScenario(
      "switch 02.C4.7D.00.00.01 type=1 ports=8 ip=192.168.1.11 "
      "config=\"KX-108\" load=5\n"
      "switch 02.C4.7D.00.00.02 type=2 ports=17 ip=192.168.1.12 ring=1 "
      "ringflags=0x0E config=\"KX-217\" load=20 flap=3:10000 down=16\n"
      "switch 02.C4.7D.00.00.03 type=3 ports=26 ip=192.168.1.13 ring=1 "
      "ringflags=0x0D config=\"KX-326G\" load=40 errors=1 ringflap=30000\n",
      &scenario, &error);
  return scenario;
}

}  // namespace kavex::simulator
