// Configuration texts: what a switch's "Model" stores and what a switch
// reports in its frames. A fixed model's text is its name; a modular one's
// is the name followed by the short codes of the modules in its slots,
// "M(X,B,Y)" for slots A to C holding X, a blank (B) and Y.
#ifndef KAVEX_CONFIGURATOR_CORE_CONFIGURATION_TEXT_H_
#define KAVEX_CONFIGURATOR_CORE_CONFIGURATION_TEXT_H_

#include <string>
#include <string_view>
#include <vector>

#include "configurator/core/messages.h"
#include "configurator/core/model_catalog.h"
#include "configurator/core/slot_rules.h"

namespace kavex::configurator {

inline constexpr char16_t kFillInOrder[] =
    u"This model should be filled in order with no previous slots left "
    u"blank.";

// A configuration the operator chose: its text, whether every slot was
// blank, and the module chosen for each of the model's slot types (null:
// none).
struct ConfigurationChoice {
  std::u16string text;
  bool all_blank = false;
  std::vector<const CatalogModule*> modules;  // parallel to slot_types
};

// The configuration text of `model` from the slot boxes; `model_name` is the
// model box's text. False when the name is not the model's, a slot type's
// number is not 1 to 4, a chosen text names no module type or module, or the
// choice breaks the model's rules (then with its message in `messages`,
// captioned "Velto OPC. Switch details.").
bool BuildConfigurationText(const ModelCatalog& catalog,
                            const CatalogModel& model,
                            std::u16string_view model_name,
                            const ModelControls& controls,
                            ConfigurationChoice* choice, Messages* messages);

// Auto-selection: sets the model box and the slot boxes to what a switch
// reported, selecting the model (SelectModel) on the way. True when the
// text names a catalog model and, for a modular one, a module type of each
// of its slots by short code (tokens beyond the slots are ignored; a model
// with slot types beyond slot D is never recognised); otherwise false, and
// the boxes may show a partial choice.
bool SelectReportedConfiguration(const ModelCatalog& catalog,
                                 std::u16string_view reported,
                                 ModelControls* controls,
                                 const CatalogModel** current);

// The reported text of a frame: 8-bit characters, each taken as the code
// point of the same value.
std::u16string ReportedText(std::string_view bytes);

}  // namespace kavex::configurator

#endif  // KAVEX_CONFIGURATOR_CORE_CONFIGURATION_TEXT_H_
