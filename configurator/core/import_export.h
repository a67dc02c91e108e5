// Moving mappings between machines: the export file (extension
// ".KavexExp") is the configuration file's tree without "Timeout"; an import
// adds the switches of one adapter of such a file, chosen by its
// "Description", to one local adapter, replacing those of the same address.
#ifndef KAVEX_CONFIGURATOR_CORE_IMPORT_EXPORT_H_
#define KAVEX_CONFIGURATOR_CORE_IMPORT_EXPORT_H_

#include <memory>
#include <string>
#include <vector>

#include "configurator/core/config_model.h"
#include "configurator/core/controls.h"
#include "configurator/core/messages.h"

namespace kavex::configurator {

class MainWindowModel;

inline constexpr char16_t kExportFilter[] =
    u"Config Files (*.KavexExp)|*.KavexExp|All Files (*.*)|*.*||";
inline constexpr char16_t kExportExtension[] = u".KavexExp";
inline constexpr char16_t kNotAnImportFile[] =
    u"Imported file is either not a Velto import file type or a corrupt file.";
inline constexpr char16_t kImportTerminated[] =
    u"Imported file is either not a Velto import file type or a corrupt file. "
    u"Operation terminated.";
inline constexpr char16_t kSelectBothAdapters[] =
    u"You must select both Imported and Current adapters for import "
    u"operation.";
inline constexpr char16_t kImportQuestion[] =
    u"This import operation will add all the switches from the selected "
    u"adapter in imported file to selected current adapter. Switches that "
    u"have the same MAC Address will be overwriten in current adapter. This "
    u"operation can not be undone. Do you want to proceed?";

// The "Description" of every ADAPTER of the file at `path`, in file order;
// false when it is not an XML document.
bool ReadImportDescriptions(const std::u16string& path,
                            std::vector<std::u16string>* descriptions);

// Appends to `target` the switches of every ADAPTER of the file whose
// "Description" equals `description`, in file order, each replacing the
// target's switches of its address; they are read as the configuration
// loader reads them (`models` for a switch stored without one). The file's
// "DataFormat" and "Timeout" are not applied. False, with nothing changed,
// when the file is not an XML document.
bool ImportAdapterSwitches(const std::u16string& path,
                           const std::u16string& description,
                           const std::vector<std::u16string>& models,
                           ConfigAdapter* target);

// The Select Adapter window ("Select Adapter"): the imported file's
// adapters and the local ones; "Import" asks before it imports.
struct ImportWindowState {
  ListControl imported{/*sorted=*/true};  // 1067 "Imported File"
  ListControl current{/*sorted=*/true};   // 1066 "Current Adapters"
  bool closed = false;
};

class ImportWindow {
 public:
  ImportWindow(MainWindowModel* main, std::u16string path);
  ImportWindow(const ImportWindow&) = delete;
  ImportWindow& operator=(const ImportWindow&) = delete;

  const ImportWindowState& state() const { return state_; }
  void SelectImported(int index) { state_.imported.Select(index); }
  void SelectCurrent(int index) { state_.current.Select(index); }
  // "Import": without both selections a message and nothing else;
  // otherwise the question, and on Yes the import. Closes the window
  // unless the selections were missing.
  void Import();
  void Cancel() { state_.closed = true; }

 private:
  MainWindowModel* const main_;
  const std::u16string path_;
  ImportWindowState state_;
};

}  // namespace kavex::configurator

#endif  // KAVEX_CONFIGURATOR_CORE_IMPORT_EXPORT_H_
