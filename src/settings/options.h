// OptionsDialogLogic's logic: the server tab of the options dialog reads the stored
// server list and adds or renames entries in it. The proxy, e-mail and
// sources tabs are plain edits the main window fills and evaluates; the
// sources tab's read-only contact line follows the contact and e-mail boxes.
#pragma once

#include "settings/settings.h"
#include "shell/optiondialog.h"
#include "shell/services.h"

namespace sl::settings {

class OptionsDialogLogic final : public shell::OptionDialog {
 public:
  explicit OptionsDialogLogic(shell::ShellServices& services) : services_(services) {}

  // The settings file opened by the main window; null before it is opened
  // (the dialog then shows no hosts and stores nothing).
  void SetSettings(SettingsFile* settings) { settings_ = settings; }

  void FillFromSettings() override;
  void HandleActivation() override;
  void SelectServerHost(int index) override;
  void EditServerHost() override;
  void ToggleUtf8() override;
  void EditContact() override;
  void AddServer() override;
  void ApplyServer() override;
  int AcceptOptions() override;
  int CancelOptions() override;

  // Stores the typed host with the path box's text (and, when the check box
  // is enabled, its code) as entry editedEntry, or as a new last entry. A host
  // text that is empty, or that occurs inside a stored host, is not stored.
  // Returns true when an entry was written.
  bool ApplyServerEntry();

 private:
  int StoredCount() const;
  shell::ShellServices& services_;
  SettingsFile* settings_ = nullptr;
};

}  // namespace sl::settings
