#include "configurator/core/import_export.h"

#include <algorithm>
#include <mutex>

#include "configurator/core/config_file.h"
#include "configurator/core/config_rules.h"
#include "configurator/core/window_model.h"
#include "configurator/core/xml_attributes.h"
#include "xmldoc/xdomlib.h"

namespace kavex::configurator {

bool ReadImportDescriptions(const std::u16string& path,
                            std::vector<std::u16string>* descriptions) {
  descriptions->clear();
  xmldoc::CXDocument document;
  document.Load(path.c_str());
  if (!document.Valid()) return false;
  xmldoc::CXNodeList adapters = document.SelectNodes(u"ROOT/ADAPTER");
  for (xmldoc::CXNode a = adapters.FirstNode(); a.Valid();
       a = adapters.NextNode())
    descriptions->push_back(AttributeText(a, u"Description"));
  return true;
}

bool ImportAdapterSwitches(const std::u16string& path,
                           const std::u16string& description,
                           const std::vector<std::u16string>& models,
                           ConfigAdapter* target) {
  xmldoc::CXDocument document;
  document.Load(path.c_str());
  if (!document.Valid()) return false;
  xmldoc::CXNodeList adapters = document.SelectNodes(u"ROOT/ADAPTER");
  for (xmldoc::CXNode a = adapters.FirstNode(); a.Valid();
       a = adapters.NextNode()) {
    if (AttributeText(a, u"Description") != description) continue;
    xmldoc::CXNodeList switches = a.SelectNodes(u"SWITCH");
    for (xmldoc::CXNode s = switches.FirstNode(); s.Valid();
         s = switches.NextNode()) {
      ConfigSwitch sw = ReadConfigSwitch(s, models);
      std::erase_if(target->switches, [&](const ConfigSwitch& old) {
        return old.address == sw.address;
      });
      target->switches.push_back(std::move(sw));
    }
  }
  return true;
}

// --- The main window's side ----------------------------------------------------

bool MainWindowModel::Export(const std::u16string& path) {
  Lock lock(mu_);
  std::u16string error;
  const HRESULT hr =
      SaveConfigurationFile(path, adapters_, data_format_, LocalTimeNow(),
                            /*with_timeout=*/false, &error);
  // The file is either complete or not written at all; which one is said.
  state_.status.text = SUCCEEDED(hr) ? std::u16string() : error;
  Changed();
  return SUCCEEDED(hr);
}

std::unique_ptr<ImportWindow> MainWindowModel::OpenImportWindow(
    const std::u16string& path) {
  {
    Lock lock(mu_);
    if (details_open_) return nullptr;
  }
  return std::make_unique<ImportWindow>(this, path);
}

ImportWindow::ImportWindow(MainWindowModel* main, std::u16string path)
    : main_(main), path_(std::move(path)) {
  std::vector<std::u16string> descriptions;
  const bool loaded = ReadImportDescriptions(path_, &descriptions);
  for (std::u16string& description : descriptions)
    state_.imported.Add(std::move(description));
  std::lock_guard<std::mutex> lock(main_->mu_);
  for (const ConfigAdapter& adapter : main_->adapters_)
    state_.current.Add(adapter.friendly_name);
  if (!loaded) {
    main_->state_.status.text = kNotAnImportFile;
    main_->Changed();
  }
}

void ImportWindow::Import() {
  if (state_.imported.selection() < 0 || state_.current.selection() < 0) {
    ShowMessage({kSelectBothAdapters, kImportCaption, MB_OK});
    return;
  }
  state_.closed = true;
  const int answer = ShowMessage(
      {kImportQuestion, kImportCaption, MB_YESNO | MB_ICONEXCLAMATION});
  if (answer != IDYES) return;

  const std::u16string description = state_.imported.SelectedText();
  const std::u16string local = state_.current.SelectedText();
  std::lock_guard<std::mutex> lock(main_->mu_);
  auto target = std::find_if(
      main_->adapters_.begin(), main_->adapters_.end(),
      [&](const ConfigAdapter& a) { return a.friendly_name == local; });
  ConfigAdapter nowhere;  // no such local adapter: nothing is kept
  if (!ImportAdapterSwitches(
          path_, description, main_->catalog_.ModelNames(),
          target != main_->adapters_.end() ? &*target : &nowhere)) {
    main_->state_.status.text = kImportTerminated;
  }
  main_->RebuildAddressIndex();
  main_->RebuildMapped();
  main_->Changed();
}

}  // namespace kavex::configurator
