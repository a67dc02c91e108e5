// What a simulated LAN hears: the switches, their types and port counts, the
// load on their ports and the events of their lives (link flaps, silence).
//
// Scenario language, one statement per line (or separated by ';'); '#'
// starts a comment:
//   dest 03.C4.7D.00.00.01            destination address of every frame
//   switch 02.C4.7D.00.00.01 [key=value ...]
// Switch keys (defaults in brackets):
//   type=1..5 [1]        type code; decides which frames carry port index 8
//   ports=N [8]          1..24; types 2 and 3 also 25 or 26
//   info=0..3 [3]        information area version; 0 sends 192-byte frames
//   ip=a.b.c.d [0.0.0.0] ring=V [0] ringflags=N [0]
//   config=TEXT [the model of its type in the shipped catalog,
//                CatalogConfigText]
//   load=PCT [10]        traffic on every link-up port, % of its speed
//   speed=10|100 [100]   speed of the ordinary ports (gigabit ports by type)
//   duplex=full|half [full]
//   cycle=MS [1000]      report cycle: every port once per cycle
//   down=P,Q,...         ports whose link is down
//   flap=P:MS            port P's link goes down and up every MS
//   ringflap=MS          ring state alternates Ok / Fault every MS
//   silent=FROM:TO       no frames from FROM to TO ms after start (TO empty:
//                        for ever)
//   errors=N [0]         rx_fcs_errors added per cycle on every port
//   extra=0|1 [1]        with info 3, an unknown extension record first
//   cpu=0|1 [1]          types 1-3: also send the frame of the port index 8
//                        that the receiver drops
#ifndef KAVEX_SIMULATOR_SCENARIO_H_
#define KAVEX_SIMULATOR_SCENARIO_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kavex::simulator {

using MacAddress = std::array<uint8_t, 6>;

struct SwitchSpec {
  MacAddress address{};
  int type = 1;
  int ports = 8;
  int info_version = 3;
  std::array<uint8_t, 4> ip{};
  uint8_t ring_version = 0;
  uint8_t ring_flags = 0;
  std::string config_text;
  double load_percent = 10;
  int speed = 100;
  bool full_duplex = true;
  uint32_t cycle_ms = 1000;
  std::vector<int> down_ports;
  int flap_port = 0;
  uint32_t flap_ms = 0;
  uint32_t ring_flap_ms = 0;
  uint32_t silent_from_ms = 0;
  uint32_t silent_to_ms = 0;  // 0 with silent_from_ms 0: never silent
  bool silent = false;
  bool silent_forever = false;
  uint32_t errors_per_cycle = 0;
  bool extra_record = true;
  bool cpu_frame = true;
};

struct Scenario {
  MacAddress destination{0x03, 0xC4, 0x7D, 0x00, 0x00, 0x01};
  std::vector<SwitchSpec> switches;
};

// Parses the language above. On error returns false with "line N: reason".
bool ParseScenario(std::string_view text, Scenario* scenario,
                   std::string* error);

// The configuration text a switch of this type reports unless the scenario
// says otherwise: a model of the configurator's catalog
// (configurator/Switches.xml), so that the configurator recognises it.
// Types 1 to 3 are fixed models; 4 and 5 chassis with every slot holding
// four copper ports, 14 and 18 ports in all. "" for any other type.
std::string CatalogConfigText(int type);

// A small mixed plant: a type 1 switch of 8 ports, a type 2 switch of 17
// ports with a flapping link, a type 3 ring manager of 26 ports.
Scenario DefaultScenario();

// "02.C4.7D.00.00.01" (also with ':' or '-'); false when malformed.
bool ParseMac(std::string_view text, MacAddress* mac);

}  // namespace kavex::simulator

#endif  // KAVEX_SIMULATOR_SCENARIO_H_
