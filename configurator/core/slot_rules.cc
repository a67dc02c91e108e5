#include "configurator/core/slot_rules.h"

#include <algorithm>

namespace kavex::configurator {
namespace {

// The usual choice of a box: the first module rather than a leading blank.
void SelectFirstModule(ComboControl* box) {
  if (box->size() > 1 && box->item(0) == kBlankChoice) {
    box->Select(1);
  } else {
    box->Select(0);
  }
}

bool ShowsBlank(const ComboControl& box) { return box.text == kBlankChoice; }

void HideSlots(ModelControls* controls) {
  controls->slot_hint.visible = false;
  for (int i = 0; i < kMaxSlots; ++i) {
    controls->slot_labels[i].visible = false;
    controls->slot_boxes[i].visible = false;
  }
}

void FillSlot(const ModelCatalog& catalog, const CatalogModel& model,
              const CatalogSlotType& slot_type, ModelControls* controls) {
  const int index = slot_type.number - 1;
  ComboControl& box = controls->slot_boxes[index];
  bool selected = false;
  if (const CatalogSlot* slot = catalog.FindSlot(slot_type.slot_name)) {
    for (const CatalogModType& choice : slot->mod_types) {
      if (choice.blank && slot_type.number == 1 && model.add_in_order &&
          !model.all_blank) {
        continue;
      }
      if (choice.blank && !slot_type.blank_allowed) continue;
      const int at = box.Add(choice.text);
      if (choice.module_name == slot_type.default_mod_type) {
        box.Select(at);
        selected = true;
      }
    }
  }
  if (!selected) SelectFirstModule(&box);
  controls->slot_labels[index].text = slot_type.label;
}

}  // namespace

const CatalogModel* SelectModel(const ModelCatalog& catalog,
                                ModelControls* controls) {
  if (controls->model_box.selection() < 0) return nullptr;
  for (ComboControl& box : controls->slot_boxes) box.Clear();
  const CatalogModel* model =
      catalog.FindModel(controls->model_box.SelectedText());
  if (model == nullptr || !model->modular) {
    HideSlots(controls);
    return model;
  }
  for (const CatalogSlotType& slot_type : model->slot_types) {
    if (slot_type.number == 0 || slot_type.number > kMaxSlots) break;
    FillSlot(catalog, *model, slot_type, controls);
  }
  Messages unused;  // silent
  ValidateSlots(*model, 0, /*silent=*/true, controls, &unused);
  return model;
}

void ValidateSlots(const CatalogModel& model, int changed, bool silent,
                   ModelControls* controls, Messages* messages) {
  const int count =
      static_cast<int>(std::min<size_t>(model.slot_types.size(), kMaxSlots));
  if (changed < 0 || changed >= kMaxSlots) return;
  for (int d = changed;; ++d) {
    for (int i = 0; i < kMaxSlots; ++i) {
      const bool shown = i < count;
      controls->slot_labels[i].visible = shown;
      controls->slot_boxes[i].visible = shown;
      controls->slot_boxes[i].enabled = shown && !model.add_in_order;
    }
    if (!model.all_blank && count > 0 &&
        std::all_of(controls->slot_boxes, controls->slot_boxes + count,
                    ShowsBlank)) {
      if (!silent) {
        messages->push_back({kAllBlanksRefused, kVeltoCaption, MB_OK});
      }
      SelectFirstModule(&controls->slot_boxes[d]);
    }
    if (!model.add_in_order || d >= count) break;
    for (int i = 0; i <= d && i < count; ++i)
      controls->slot_boxes[i].enabled = true;
    if (ShowsBlank(controls->slot_boxes[d])) {
      for (int i = d + 1; i < count; ++i) {
        controls->slot_boxes[i].SelectExact(kBlankChoice);
        controls->slot_boxes[i].enabled = false;
      }
      break;
    }
    if (d + 1 >= count) break;
    controls->slot_boxes[d + 1].enabled = true;
  }
  controls->slot_hint.text = kSlotHint;
  controls->slot_hint.visible = true;
}

}  // namespace kavex::configurator
