// A newly mapped switch, generated from its catalog model and the chosen
// configuration: type code, alias, model text, ports and chip flags.
#ifndef KAVEX_CONFIGURATOR_CORE_SWITCH_GENERATION_H_
#define KAVEX_CONFIGURATOR_CORE_SWITCH_GENERATION_H_

#include <string>
#include <string_view>

#include "configurator/core/config_model.h"
#include "configurator/core/configuration_text.h"
#include "configurator/core/model_catalog.h"

namespace kavex::configurator {

// "_" and the last three bytes of the address text without their dots:
// "_1A2B3C" for 02.C4.7D.1A.2B.3C.
std::u16string AliasSuffix(std::u16string_view address);

// The switch at `address` as `model` with `choice`:
//   - type: the model's blank type when a modular model was chosen with
//     every slot blank and it has one, else its type;
//   - alias: the model's prefix, for a modular model the configuration text
//     from its "(" on, and the address suffix; model text: the
//     configuration text;
//   - ports: the fixed ports in catalog order, then the ports of each
//     chosen module numbered from its slot's start port, each inserted
//     before the first port whose number is equal or greater, with the
//     slot's prefix before its alias;
//   - chip flags: a fixed model's own; for a modular one, from the chassis'
//     start chips plus one for each module that adds a chip, at most its
//     maximum.
// Run-time fields start clear (the caller marks the switch heard).
ConfigSwitch GenerateSwitch(const CatalogModel& model,
                            const ConfigurationChoice& choice,
                            std::u16string_view address);

}  // namespace kavex::configurator

#endif  // KAVEX_CONFIGURATOR_CORE_SWITCH_GENERATION_H_
