// The Select Adapter window ("Select Adapter") of an import over its model:
// the imported file's adapters and the local ones; "Import" asks before it
// imports and closes the window unless a selection was missing.
#ifndef KAVEX_CONFIGURATOR_QT_SELECT_ADAPTER_DIALOG_H_
#define KAVEX_CONFIGURATOR_QT_SELECT_ADAPTER_DIALOG_H_

#include <QDialog>
#include <QListWidget>
#include <memory>

#include "configurator/core/import_export.h"

namespace kavex::configurator::qt {

class SelectAdapterDialog : public QDialog {
 public:
  SelectAdapterDialog(std::unique_ptr<ImportWindow> window, QWidget* parent);

  ImportWindow& window() { return *window_; }

 private:
  void Redraw();

  std::unique_ptr<ImportWindow> window_;
  QListWidget* imported_;
  QListWidget* current_;
};

}  // namespace kavex::configurator::qt

#endif  // KAVEX_CONFIGURATOR_QT_SELECT_ADAPTER_DIALOG_H_
