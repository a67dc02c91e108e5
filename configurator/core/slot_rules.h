// Choosing a model and its modules in the main window: the model box, the
// four slot boxes (slots A to D) with their labels, and the hint above them.
// Selecting a model fills the slot boxes from the catalog; validating keeps
// the choice within the model's rules:
//   - a slot whose type forbids it never offers "Blank", nor does slot A of
//     a model filled in order that may not be all blank;
//   - a model that may not be all blank refuses "Blank" in every slot;
//   - a model filled in order ("AddInOrder") enables the slots from A up to
//     the first blank one and blanks and disables those after it.
#ifndef KAVEX_CONFIGURATOR_CORE_SLOT_RULES_H_
#define KAVEX_CONFIGURATOR_CORE_SLOT_RULES_H_

#include "configurator/core/controls.h"
#include "configurator/core/messages.h"
#include "configurator/core/model_catalog.h"

namespace kavex::configurator {

inline constexpr char16_t kAllBlanksRefused[] =
    u"All Blanks is not a valid selection for this model.";
inline constexpr char16_t kSlotHint[] =
    u"Select configuration from the drop down lists below and press 'Map'.";

struct ModelControls {
  ComboControl model_box{/*sorted=*/true};  // 1068
  ComboControl slot_boxes[kMaxSlots];       // 1072, 1073, 1075, 1081
  TextControl slot_labels[kMaxSlots];       // 1076, 1077, 1078, 1083
  TextControl slot_hint;                    // 1080
};

// The model box closed up: the current model becomes the catalog model named
// by the selected entry (none when nothing is selected or no name matches);
// a modular one fills the slot boxes, preselects each slot's default and is
// validated silently from slot A; otherwise the slot controls are hidden.
const CatalogModel* SelectModel(const ModelCatalog& catalog,
                                ModelControls* controls);

// Slot box `changed` (0 to 3) closed up, or a silent check after a model
// was selected. A refusal of an all-blank choice goes to `messages` unless
// `silent`.
void ValidateSlots(const CatalogModel& model, int changed, bool silent,
                   ModelControls* controls, Messages* messages);

}  // namespace kavex::configurator

#endif  // KAVEX_CONFIGURATOR_CORE_SLOT_RULES_H_
